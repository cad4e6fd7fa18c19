// The control messages of a running session, and its statistics line.
#include <QFile>
#include <QPointer>
#include <pthread.h>
#include <sys/utsname.h>
#include <algorithm>
#include <chrono>
#include <stop_token>
#include <thread>

#include "host/model/host_model.h"
#include "host/model/host_model_internal.h"
#include "host/runtime/runtime.h"
#include "quillcore/base/quick_wake.h"

namespace quill::host {

using detail::qs;

namespace {

// This system's name and version, as /etc/os-release gives it ("Debian GNU/Linux 12 (bookworm)"),
// else the kernel's.
std::string systemDescription() {
    QFile file(QStringLiteral("/etc/os-release"));
    if (file.open(QIODevice::ReadOnly)) {
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (!line.startsWith(QStringLiteral("PRETTY_NAME="))) continue;
            QString value = line.mid(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.mid(1, value.size() - 2);
            if (!value.isEmpty()) return value.toStdString();
        }
    }
    struct utsname names {};
    if (uname(&names) == 0) return std::string(names.sysname) + " " + names.release;
    return "Linux";
}

// Takes the session's control messages until they end, `stop` is requested or a Hello of
// another major version arrives (its version goes to `unsupported`).
void applyControlMessages(HostSession& session, InputInjector* injector, AsyncStream<std::uint32_t>& unsupported,
                          std::stop_token stop) {
    while (std::optional<Quillmate_V0_Envelope> message = session.messages->next(stop)) {
        if (message->has_hello()) {
            if (const std::uint32_t major = message->hello().protocol_major(); major != 0) {
                unsupported.push(major);
                break;
            }
        } else if (message->has_ping()) {
            Quillmate_V0_Envelope pong;
            pong.mutable_pong()->set_t(message->ping().t());
            try {
                session.sendControl(pong);
            } catch (...) {
            }
        } else if (injector) {
            injector->inject(*message, stop);
        }
    }
    unsupported.finish();
}

double uptimeSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Quillmate_V0_Envelope HostModel::makeHello() const {
    Quillmate_V0_Envelope envelope;
    auto* hello = envelope.mutable_hello();
    hello->set_protocol_major(0);
    hello->set_protocol_minor(1);
    hello->set_app_version(env_.appVersion.empty() ? "0.1.0" : env_.appVersion);
    hello->set_os(env_.operatingSystem.empty() ? systemDescription() : env_.operatingSystem);
    hello->add_features("cursor-shape");
    hello->add_features("cursor-position");
    hello->set_view_only(false);
    return envelope;
}

QCoro::Task<> HostModel::runControlInput(std::shared_ptr<HostSession> session, CancelToken token) {
    auto injector = env_.inputInjector;
    // What the host user allowed in the prompt holds for the whole session.
    if (approvedViewOnly_.lock() == session) injector.reset();
    // Input is applied on a thread of its own, in the order it came, so that it never waits
    // for this thread (video, menus, timers). What needs the model comes back here: a Hello of
    // another major version, after which nothing more is applied.
    auto unsupported = AsyncStream<std::uint32_t>::make();
    std::jthread input([session, injector, unsupported](std::stop_token stop) {
        pthread_setname_np(pthread_self(), "host.input");
        preferQuickWakeUps();
        applyControlMessages(*session, injector.get(), *unsupported, stop);
    });
    // Cancelling the task stops the thread before the caller releases held keys, and a stopped
    // thread injects nothing more (the injector checks under its lock).
    std::stop_callback stopInput(token.stopToken(), [&input] { input.request_stop(); });
    const std::optional<std::uint32_t> major = co_await next(unsupported, token);
    if (major && !token.isCancelled())
        co_await closeSession(session, "unsupported protocol version " + std::to_string(*major));
}

QString HostModel::statisticsLine(double hostFps, const SessionStats& stats) {
    const std::string path(rawValue(stats.path()));
    return QString::asprintf("Host %.0f fps, controller %.0f fps, %s, %.1f Mbit/s", hostFps, stats.fps(), path.c_str(),
                             stats.bitrateKbps() / 1000.0);
}

double HostModel::hostFrameRate(std::int64_t frames, double seconds) {
    return static_cast<double>(std::max<std::int64_t>(frames, 0)) / std::max(seconds, 0.001);
}

QCoro::Task<> HostModel::runStatistics(std::shared_ptr<HostSession> session, std::shared_ptr<CaptureEngine> engine,
                                       CancelToken token) {
    QPointer<HostModel> self(this);
    std::int64_t baselineFrames = engine ? engine->frames() : 0;
    double baselineUptime = uptimeSeconds();
    const double period = env_.timing.statisticsPeriod;
    for (;;) {
        if (token.isCancelled()) co_return;
        if (!session->connectionState().is(SessionConnectionState::Kind::connected)) co_return;
        // A cancelled sleep still finishes this pass.
        co_await sleepFor(period, token);
        const double uptime = uptimeSeconds();
        const std::int64_t frames = engine ? engine->frames() : 0;
        std::optional<SessionStats> stats;
        try {
            stats = co_await onWorker(&HostSession::statistics, session);
        } catch (...) {
            stats.reset();
        }
        if (!self) co_return;
        if (stats) {
            const double hostFps = hostFrameRate(frames - baselineFrames, uptime - baselineUptime);
            // A pass that finishes after the session did must not bring its line back.
            if (token.isCancelled()) co_return;
            setSessionDetail(statisticsLine(hostFps, *stats));
        }
        baselineUptime = uptime;
        baselineFrames = frames;
    }
}

}  // namespace quill::host
