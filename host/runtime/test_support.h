#pragma once

// Helpers for tests of main-thread coroutine code (not part of the library). A test may run
// the event loop itself; production code never does.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace quill::host::testing {

// Runs the event loop until `done()` holds or `seconds` pass; returns done().
inline bool pumpUntil(const std::function<bool()>& done, double seconds = 5.0) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > static_cast<qint64>(seconds * 1000)) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::usleep(200);
    }
    return true;
}

// Runs the event loop for `seconds`.
inline void pumpFor(double seconds) {
    pumpUntil([] { return false; }, seconds);
}

}  // namespace quill::host::testing
