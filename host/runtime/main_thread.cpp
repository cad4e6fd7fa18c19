#include "host/runtime/main_thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace quill::host {

void postToMain(std::function<void()> fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !fn) return;
    QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

bool onMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

}  // namespace quill::host
