// The life of an admitted session: its start, its watch with the watchdog, and its end.
#include <QPointer>
#include <QTimer>

#include "host/model/host_model.h"
#include "host/model/host_model_internal.h"
#include "host/runtime/runtime.h"
#include "quillcore/base/base64.h"

namespace quill::host {

using detail::qs;

namespace {

// A session that finished (or was replaced) or closed while its start was suspended gets no more
// of the host's machinery: its teardown has run or is on its way.
bool sessionOver(const std::shared_ptr<HostSession>& active, const std::shared_ptr<HostSession>& session) {
    if (active != session) return true;
    const auto kind = session->connectionState().kind();
    return kind == SessionConnectionState::Kind::closed || kind == SessionConnectionState::Kind::failed;
}

}  // namespace

QCoro::Task<> HostModel::beginSession(std::shared_ptr<HostSession> session, PeerRecord peer, SessionMode mode,
                                      QString remoteAddress) {
    QPointer<HostModel> self(this);
    cursorBroadcaster_->start(session);
    if (env_.notifier) env_.notifier->postSessionStartedNotification(qs(peer.name));

    if (auto log = env_.activityLog) {
        const QUuid id = QUuid::createUuid();
        const ActivityEntry entry = detail::makeActivityEntry(
            id, qs(peer.name), qs(Base64URL::encode(peer.fingerprint)), env_.clock->now(),
            mode == SessionMode::control ? QStringLiteral("control") : QStringLiteral("view"), remoteAddress);
        QString problem;
        bool failed = false;
        try {
            co_await onWorker(activityQueue_, &detail::activityAppend, log, entry);
        } catch (...) {
            failed = true;
            problem = describeCurrentException();
        }
        if (!self) co_return;
        if (failed) {
            setStartupError(QStringLiteral("Could not write the activity log: ") + problem);
        } else if (activeSession_ != session) {
            // Finished while the entry was written: nothing else would ever close it.
            const QString reason =
                finishedSession_.lock() == session ? finishedReason_ : QStringLiteral("Connection closed");
            const SystemTime now = env_.clock->now();
            try {
                co_await onWorker(activityQueue_, &detail::activityFinish, log, id, now, reason);
            } catch (...) {
            }
            if (!self) co_return;
        } else {
            setActiveActivityID(id);
        }
        spawn(this, [self]() -> QCoro::Task<> {
            if (self) co_await self->reloadActivity();
        });
        if (sessionOver(activeSession_, session)) co_return;
    }

    if (env_.keepAwake) env_.keepAwake->hold();

    std::shared_ptr<CaptureEngine> engine;
    QString captureProblem;
    for (int attempt = 0;; ++attempt) {
        bool started = false;
        // An engine that cannot even be made counts as a failed start: an exception leaving
        // here would keep the session and its reservation for good.
        try {
            engine = env_.makeCaptureEngine ? env_.makeCaptureEngine(session) : nullptr;
            if (!engine) throw std::runtime_error("no screen capture is available");
        } catch (...) {
            engine = nullptr;
            captureProblem = describeCurrentException();
        }
        setCaptureEngine(engine);
        if (engine) {
            // A capture that dies later closes the session as any close from this side does.
            std::weak_ptr<HostModel*> alive = alive_;
            std::weak_ptr<HostSession> weakSession = session;
            engine->onStopped([alive, weakSession](const std::string& reason) {
                postToMain([alive, weakSession, reason] {
                    auto model = alive.lock();
                    auto s = weakSession.lock();
                    if (!model || !s) return;
                    HostModel* m = *model;
                    spawn(m, [m, s, reason]() -> QCoro::Task<> { co_await m->closeSession(s, reason); });
                });
            });
            try {
                co_await onWorker([](std::shared_ptr<CaptureEngine> e) { e->start({}); }, engine);
                started = true;
            } catch (...) {
                captureProblem = describeCurrentException();
            }
        }
        if (!self) co_return;
        if (sessionOver(activeSession_, session)) {
            // An engine that started for a session gone by now would capture on for nobody.
            if (started) {
                if (captureEngine_ == engine) setCaptureEngine(nullptr);
                try {
                    co_await onWorker(&CaptureEngine::stop, engine);
                } catch (...) {
                }
            }
            co_return;
        }
        if (started) break;
        if (attempt + 1 >= env_.timing.captureAttempts) {
            if (env_.keepAwake) env_.keepAwake->release();
            setStartupError(QStringLiteral("Screen capture could not start: ") + captureProblem);
            co_await closeSession(session, "Screen capture could not start on the host (" +
                                               captureProblem.toStdString() + ")");
            co_return;
        }
        co_await sleepFor(env_.timing.captureRetryPause);
        if (!self || sessionOver(activeSession_, session)) co_return;
    }

    try {
        session->sendControl(makeHello());
    } catch (...) {
    }

    std::weak_ptr<HostSession> weakSession = session;
    TaskHandle control = spawn(this, [self, weakSession](CancelToken token) -> QCoro::Task<> {
        auto s = weakSession.lock();
        if (!self || !s) co_return;
        co_await self->runControlInput(s, token);
    });
    TaskHandle statistics = spawn(this, [self, weakSession, engine](CancelToken token) -> QCoro::Task<> {
        auto s = weakSession.lock();
        if (!self || !s) co_return;
        co_await self->runStatistics(s, engine, token);
    });
    setSessionTasks({control, statistics});
}

QCoro::Task<QString> HostModel::watchSession(std::shared_ptr<HostSession> session) {
    QPointer<HostModel> self(this);
    QString reason = QStringLiteral("Connection closed");
    std::optional<TaskHandle> watchdog;
    auto stopWatchdog = [&watchdog] {
        if (watchdog) watchdog->cancel();
        watchdog.reset();
    };
    for (;;) {
        std::optional<SessionConnectionState> state = co_await next(session->states);
        if (!self) {
            stopWatchdog();
            co_return reason;
        }
        if (!state) {
            stopWatchdog();
            co_return reason;
        }
        switch (state->kind()) {
            case SessionConnectionState::Kind::idle:
            case SessionConnectionState::Kind::connecting:
                break;
            case SessionConnectionState::Kind::connected:
                stopWatchdog();
                setSessionStateText(QStringLiteral("Connected"));
                break;
            case SessionConnectionState::Kind::disconnected:
                // Closing from this side ends the signalling first, which the session reports
                // as a disconnection on its way to closed: that is not the controller's doing.
                if (isClosingFromHost(session)) break;
                reason = QStringLiteral("The controller stopped responding");
                if (!watchdog || watchdog->isFinished()) watchdog = startWatchdog(session);
                break;
            case SessionConnectionState::Kind::closed:
                stopWatchdog();
                if (quitting_) co_return QStringLiteral("session ended by the host user");
                co_return reason == QStringLiteral("Connection closed") ? QStringLiteral("Session closed by the controller")
                                                                         : reason;
            case SessionConnectionState::Kind::failed:
                stopWatchdog();
                co_return QStringLiteral("Session failed: ") + qs(state->message());
        }
    }
}

bool HostModel::isClosingFromHost(const std::shared_ptr<HostSession>& session) {
    std::erase_if(hostClosing_, [](const std::weak_ptr<HostSession>& w) { return w.expired(); });
    for (const auto& w : hostClosing_)
        if (w.lock() == session) return true;
    return false;
}

TaskHandle HostModel::startWatchdog(std::shared_ptr<HostSession> session) {
    std::weak_ptr<HostSession> weak = session;
    const double delay = env_.timing.watchdogDelay;
    return spawn(this, [weak, delay](CancelToken token) -> QCoro::Task<> {
        co_await sleepFor(delay, token);
        if (token.isCancelled()) co_return;
        auto s = weak.lock();
        if (!s) co_return;
        co_await onWorker([](std::shared_ptr<HostSession> x) { x->close("The controller stopped responding"); }, s);
    });
}

QCoro::Task<> HostModel::finishSession(std::shared_ptr<HostSession> session, QString reason) {
    QPointer<HostModel> self(this);
    if (!activeSession_ || activeSession_ != session) co_return;
    finishedSession_ = session;
    finishedReason_ = reason;
    for (const auto& task : sessionTasks_) task.cancel();
    setSessionTasks({});
    cursorBroadcaster_->stop();
    if (env_.keepAwake) env_.keepAwake->release();
    // Keys and buttons the controller still held would stay down on this desktop.
    if (env_.inputInjector) env_.inputInjector->releaseAll();
    co_await closeSession(session, reason.toStdString());
    if (!self) co_return;
    if (auto engine = captureEngine_) {
        co_await onWorker(&CaptureEngine::stop, engine);
        if (!self) co_return;
        setCaptureEngine(nullptr);
    }
    if (activeActivityID_) {
        if (auto log = env_.activityLog) {
            const QUuid id = *activeActivityID_;
            const SystemTime now = env_.clock->now();
            try {
                co_await onWorker(activityQueue_, &detail::activityFinish, log, id, now, reason);
            } catch (...) {
            }
            if (!self) co_return;
        }
        setActiveActivityID(std::nullopt);
    }
    setActiveSession(nullptr);
    setActivePeerName(std::nullopt);
    setActivePeerFingerprint(std::nullopt);
    setSessionStateText(QStringLiteral("Ready"));
    setSessionDetail(QString());
    setIsSessionReserved(false);
    spawn(this, [self]() -> QCoro::Task<> {
        if (self) co_await self->reloadActivity();
    });
    refreshPeers();
}

QCoro::Task<> HostModel::endSession(std::shared_ptr<HostSession> session) {
    co_await closeSession(session, "session ended by the host user");
}

QCoro::Task<> HostModel::prepareToQuit() {
    QPointer<HostModel> self(this);
    if (env_.inputInjector) env_.inputInjector->releaseAll();
    // Other closes from this side keep their logged reason; quitting is recorded as the user's.
    quitting_ = true;
    CancelToken bound;
    QTimer::singleShot(static_cast<int>(env_.timing.quitBound * 1000), this, [bound] { bound.cancel(); });
    // Nothing may be left waiting on a worker when the process goes: a pairing decision, a read,
    // a negotiation. They end now, and take their last steps (a cancel, a bye) within the bound.
    endConnections();
    auto session = activeSession_;
    if (session) co_await endSession(session);
    // The session's teardown runs in its own chain.
    while (self && ((session && self->activeSession_ == session) || self->connectionsBusy()) && !bound.isCancelled())
        co_await sleepFor(0.01, bound);
}

}  // namespace quill::host
