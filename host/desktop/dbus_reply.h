#pragma once

#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QMetaObject>
#include <QObject>
#include <functional>

namespace quill::host {

// Calls `done` on `context`'s thread once `call` has its reply. A call that failed at once (a
// disconnected bus) never makes a watcher emit, so that case is queued by hand.
inline void onReply(const QDBusPendingCall& call, QObject* context, std::function<void(const QDBusPendingCall&)> done) {
    if (call.isFinished()) {
        QMetaObject::invokeMethod(context, [call, done = std::move(done)] { done(call); }, Qt::QueuedConnection);
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(call, context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [done = std::move(done)](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         done(*w);
                     });
}

}  // namespace quill::host
