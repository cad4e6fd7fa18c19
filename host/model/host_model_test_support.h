#pragma once

// A host model on fakes: the desktop and the user interface are recorded, WebRTC is scripted
// (sessions still negotiate over real sealed envelopes on loopback TCP), DNS-SD is in-process.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <future>
#include <map>
#include <mutex>

#include "host/model/host_model.h"
#include "host/runtime/runtime.h"
#include "host/runtime/test_support.h"
#include "quillcore/envelope/envelope_test_support.h"
#include "quillcore/net/dnssd_fake.h"
#include "quillcore/session/roles_test_support.h"

namespace quill::host::testing {

class FakeWindows : public HostWindowManager {
public:
    void show(const QString& id, const QString&, WindowSize) override {
        visible[id] = true;
        ++shows[id];
    }
    void present(const QString& id, const QString& title, WindowSize size) override { show(id, title, size); }
    void close(const QString& id) override { visible[id] = false; }
    bool isVisible(const QString& id) const override {
        auto it = visible.find(id);
        return it != visible.end() && it->second;
    }
    std::map<QString, bool> visible;
    std::map<QString, int> shows;
};

class FakePermissions : public PermissionProbe {
public:
    bool screenRecordingGranted() const override { return screen; }
    bool accessibilityGranted() const override { return accessibility; }
    std::atomic<bool> screen{true};
    std::atomic<bool> accessibility{true};
};

class FakeNotifier : public SessionNotifier {
public:
    void postSessionStartedNotification(const QString& name) override { names.push_back(name); }
    std::vector<QString> names;
};

class FakeLoginItem : public LoginItem {
public:
    bool isEnabled() const override { return enabled; }
    void setEnabled(bool value) override {
        if (refuse) throw std::runtime_error("Read-only file system");
        enabled = value;
    }
    bool enabled = false;
    bool refuse = false;
};

// Answers when the test says so.
class FakePrompt : public SessionPrompt {
public:
    QCoro::Task<bool> askToAllowSession(QString peerName, SessionMode mode) override {
        asked.push_back({peerName, mode});
        while (!answer) co_await sleepFor(0.005);
        const bool result = *answer;
        co_return result;
    }
    std::vector<std::pair<QString, SessionMode>> asked;
    std::optional<bool> answer;
};

class FakeWorkspace : public Workspace {
public:
    void openURL(const QString& url) override { opened.push_back(url); }
    void revealFile(const QString& path) override { revealed.push_back(path); }
    std::vector<QString> opened, revealed;
};

class RecordingSink : public InputEventSink {
public:
    void post(const InputEvent& event) override {
        std::lock_guard l(mutex);
        events.push_back(event);
    }
    void releaseAll() override { ++releases; }
    std::size_t count() {
        std::lock_guard l(mutex);
        return events.size();
    }
    std::mutex mutex;
    std::vector<InputEvent> events;
    std::atomic<int> releases{0};
};

class FakePower : public PowerBackend {
public:
    void declareUserActivity(const std::string&, std::uint32_t) override {}
    std::optional<std::uint32_t> createAssertion(const std::string&, std::uint32_t, const std::string&) override { return 7; }
    void releaseAssertion(std::uint32_t) override {}
};

class FakeCapture : public CaptureEngine {
public:
    // `pause`, when set, runs at the start of each start() and stop() on the worker thread,
    // so a test can hold either call there.
    using Pause = std::shared_ptr<std::function<void(const char* call)>>;
    FakeCapture(std::shared_ptr<std::atomic<int>> failuresLeft, std::shared_ptr<std::atomic<int>> stops, Pause pause)
        : failuresLeft_(std::move(failuresLeft)), stops_(std::move(stops)), pause_(std::move(pause)) {}
    void start(const std::set<std::uint32_t>&) override {
        if (*pause_) (*pause_)("start");
        if (failuresLeft_->fetch_sub(1) > 0) throw std::runtime_error("no display to capture");
        frames_ = 0;
    }
    void stop() override {
        if (*pause_) (*pause_)("stop");
        ++*stops_;
    }
    std::int64_t frames() const override { return frames_; }
    void onStopped(std::function<void(const std::string&)> handler) override { stopped = std::move(handler); }
    std::function<void(const std::string&)> stopped;
    std::atomic<std::int64_t> frames_{0};

private:
    std::shared_ptr<std::atomic<int>> failuresLeft_;
    std::shared_ptr<std::atomic<int>> stops_;
    Pause pause_;
};

// One host session made by the model, with its scripted WebRTC layer.
struct MadeSession {
    std::shared_ptr<fake::FakePeerConnection> pc;
    std::shared_ptr<HostSession> session;
    std::shared_ptr<rolestest::FakeConnector> connector;

    // The control messages the host sent on "ctl".
    std::vector<Quillmate_V0_Envelope> sentControl() const {
        std::vector<Quillmate_V0_Envelope> out;
        auto ctl = connector->remote("ctl");
        if (!ctl) return out;
        std::lock_guard l(ctl->mutex);
        for (const auto& [bytes, binary] : ctl->sent) out.push_back(parseEnvelope(bytes));
        return out;
    }
};

// The controller's end: sealed signalling over a loopback connection to the host's listener.
struct Controller {
    DeviceIdentity identity;
    PeerRecord record;
    PeerRecord hostRecord;
    std::shared_ptr<InMemoryPeerStore> store;
    std::shared_ptr<EnvelopeLink> link;

    void connect(std::uint16_t port) {
        link = std::make_shared<EnvelopeLink>(FrameChannel::connectLocal(port), identity, store);
    }
    void send(const SignallingMessage& message) { link->send(message, hostRecord); }
    // A new connection that starts with this offer.
    void offer(std::uint16_t port, const Offer& offer) {
        connect(port);
        send(offer);
    }
    // The host's next message, read off the main thread while the event loop runs; none when
    // the link ended or nothing came in time.
    std::optional<SignallingMessage> reply(double seconds = 5) {
        auto l = link;
        auto f = std::async(std::launch::async, [l, seconds]() -> std::optional<SignallingMessage> {
            try {
                auto opened = l->next(seconds);
                if (!opened) return std::nullopt;
                return opened->message;
            } catch (...) {
                return std::nullopt;
            }
        });
        pumpUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, seconds + 2);
        return f.get();
    }
};

// The reason of the Bye the controller sees after whatever else the host sent.
inline std::optional<std::string> byeReason(Controller& c) {
    for (int i = 0; i < 5; ++i) {
        auto m = c.reply(3);
        if (!m) return std::nullopt;
        if (const Bye* bye = m->get<Bye>()) return bye->reason();
    }
    return std::nullopt;
}

struct ModelHarness {
    QTemporaryDir folder;
    DeviceIdentity hostIdentity = quill::testing::makeIdentity(1);
    std::shared_ptr<InMemoryPeerStore> hostStore = std::make_shared<InMemoryPeerStore>();
    std::shared_ptr<dnssd::FakeNetwork> network = dnssd::FakeNetwork::make();
    std::shared_ptr<FakeWindows> windows = std::make_shared<FakeWindows>();
    std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
    std::shared_ptr<FakeNotifier> notifier = std::make_shared<FakeNotifier>();
    std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
    std::shared_ptr<FakePrompt> prompt = std::make_shared<FakePrompt>();
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::shared_ptr<FakePower> power = std::make_shared<FakePower>();
    std::shared_ptr<StaticDisplaySource> displays = std::make_shared<StaticDisplaySource>(
        DisplayList{{DisplayDescriptor{41, DisplayRect{0, 0, 1920, 1080}, DisplaySize{1920, 1080}}}, 41});
    std::shared_ptr<std::atomic<int>> captureFailures = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> captureStops = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::vector<std::shared_ptr<FakeCapture>>> captures =
        std::make_shared<std::vector<std::shared_ptr<FakeCapture>>>();
    FakeCapture::Pause capturePause = std::make_shared<std::function<void(const char*)>>();
    std::shared_ptr<std::vector<MadeSession>> sessions = std::make_shared<std::vector<MadeSession>>();
    std::shared_ptr<ActivityLog> activityLog;
    // Runs on the main thread right after the model made a session, before it negotiates.
    std::shared_ptr<std::function<void()>> onSessionMade = std::make_shared<std::function<void()>>();
    // While set, new sessions answer but their channels do not open until openChannels().
    std::shared_ptr<bool> holdConnection = std::make_shared<bool>(false);
    std::unique_ptr<HostModel> model;

    ModelHarness() { activityLog = std::make_shared<ActivityLog>(folder.path()); }

    HostEnvironment environment() {
        HostEnvironment env;
        env.hostName = QStringLiteral("Test Host");
        env.peerStore = hostStore;
        env.keyStore = std::make_shared<InMemoryKeyStore>(hostIdentity.storedKeys());
        env.activityLog = activityLog;
        env.permissions = permissions;
        env.displays = displays;
        env.inputInjector = std::make_shared<InputInjector>(sink, displays);
        env.keepAwake = std::make_shared<DisplayKeepAwake>(power);
        env.notifier = notifier;
        env.loginItem = loginItem;
        env.prompt = prompt;
        env.windowManager = windows;
        env.workspace = workspace;
        env.localAddresses = [](std::uint16_t port) { return std::vector<std::string>{"127.0.0.1:" + std::to_string(port)}; };
        env.makeQRCode = [](const QString& text, double) { return std::make_shared<const QImage>(int(text.size()), 1, QImage::Format_Mono); };
        auto failures = captureFailures;
        auto stops = captureStops;
        auto made = captures;
        auto pause = capturePause;
        env.makeCaptureEngine = [failures, stops, made, pause](std::shared_ptr<HostSession>) {
            auto engine = std::make_shared<FakeCapture>(failures, stops, pause);
            made->push_back(engine);
            return engine;
        };
        auto list = sessions;
        auto hook = onSessionMade;
        auto hold = holdConnection;
        env.makeSession = [list, hook, hold](DeviceIdentity identity, std::shared_ptr<PeerStore> store, SessionConfiguration config) {
            auto provider = std::make_shared<fake::FakeProvider>();
            MadeSession made;
            made.pc = provider->next;
            made.pc->statsReport = StatsReport{1, {}};
            made.session = HostSession::make(std::move(identity), std::move(store), std::move(config), provider);
            if (!*hold)
                made.connector = std::make_shared<rolestest::FakeConnector>(made.pc, made.session->sessionCore(), true);
            list->push_back(made);
            if (*hook) (*hook)();
            return made.session;
        };
        auto net = network;
        env.makeAdvertiser = [net](std::string name, Bytes fp, HostAdvertiser::ConnectionHandler handler) {
            HostAdvertiser::Dependencies deps;
            deps.publisher = net->publisherFactory();
            return std::make_shared<HostAdvertiser>(std::move(name), std::move(fp), std::move(handler), deps);
        };
        env.appVersion = "1.2.3";
        env.operatingSystem = "Linux test";
        env.timing.maintenancePeriod = 0.05;
        env.timing.watchdogDelay = 0.6;
        env.timing.captureRetryPause = 0.05;
        env.timing.replacementPoll = 0.01;
        env.timing.statisticsPeriod = 0.05;
        env.timing.cursorPeriod = 0.02;
        env.timing.rejectWait = 2;
        env.timing.firstFrameLimit = 1;
        env.timing.quitBound = 2;
        return env;
    }

    void openChannels() {
        auto& made = sessions->back();
        made.connector = std::make_shared<rolestest::FakeConnector>(made.pc, made.session->sessionCore(), true);
    }

    // Builds the model and waits for its start-up (advertiser listening).
    HostModel& start(std::function<void(HostEnvironment&)> adjust = {}) {
        HostEnvironment env = environment();
        if (adjust) adjust(env);
        model = std::make_unique<HostModel>(std::move(env));
        pumpUntil([&] { return model->pairingLink().has_value() || (model->startupError() && !model->identity()); });
        return *model;
    }

    // A controller paired with this host.
    Controller pairedController(std::uint8_t seed, const std::string& name,
                                PeerPermissions permissions = PeerPermissions::defaults()) {
        Controller c{quill::testing::makeIdentity(seed), quill::testing::recordOf(quill::testing::makeIdentity(seed), name),
                     quill::testing::recordOf(hostIdentity, "Test Host"), nullptr, nullptr};
        c.record.permissions = permissions;
        hostStore->save(c.record);
        c.store = std::make_shared<InMemoryPeerStore>(std::vector{c.hostRecord});
        return c;
    }

    // Connects, offers, and waits for the answer; the session is then active.
    MadeSession connectSession(Controller& c, SessionMode mode = SessionMode::control, const std::string& id = "S-1") {
        c.offer(*model->listenerPort(), Offer(id, "offer-sdp", mode, {}));
        auto answer = c.reply();
        EXPECT_TRUE(answer && answer->get<Answer>()) << (answer ? std::string(answer->typeName()) : "nothing");
        const std::size_t count = sessions->size();
        EXPECT_TRUE(pumpUntil([&] { return model->activeSession() && model->activeSession() == sessions->back().session && !model->sessionTasks().empty(); }));
        return count ? sessions->back() : MadeSession{};
    }
};

}  // namespace quill::host::testing
