// Incoming connections: the first frame decides between pairing and a session request. Strangers
// stay off the main thread until they earned it: the intake holds each connection on the network
// side until its first frame, and a screening thread reads that frame (the envelope opened
// against the peer store) before anything reaches the main thread, in batches. A comparison
// waits on that thread too, after the host's commitment, until its peer answered.
#include <QPointer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <iterator>
#include <unordered_map>
#include <mutex>
#include <thread>

#include "host/model/host_model.h"
#include "host/model/host_model_internal.h"
#include "host/runtime/runtime.h"
#include "quillcore/base/json.h"
#include "quillcore/envelope/envelope.h"
#include "quillcore/envelope/envelope_receiver.h"
#include "quillcore/pairing/pairing_error.h"
#include "quillcore/transport/connection_intake.h"

namespace quill::host {

using detail::qs;

namespace detail {

namespace {

// Offers that wait for the main thread; beyond this many the newest are closed, so a main
// thread that falls behind costs a bounded number of sockets. Pairing requests are bounded by
// the pairing's places instead, which they enter here.
constexpr std::size_t kMaxHandedOffers = 16;
constexpr std::size_t kScreeningBatch = 16;

// Opening an envelope checks a signature: half the cores (two to four) keep up with a flood.
int screeningThreads() { return static_cast<int>(std::clamp(std::thread::hardware_concurrency() / 2, 2u, 4u)); }

}  // namespace

// A first frame that deserves the main thread: a pairing request, or an offer from a paired
// controller, opened.
struct HandedConnection {
    FrameChannelPtr channel;
    QString remoteAddress;
    std::optional<PairingMessage> pairing;
    std::optional<OpenedEnvelope> offer;
    // A pairing request counts (for quitting, which waits for them) until this goes, wherever
    // it is dropped.
    std::shared_ptr<void> attempt;
};

class ConnectionStage {
public:
    ConnectionStage(ConnectionIntake::Limits limits, std::shared_ptr<OffenceRecord> offences,
                    std::shared_ptr<EnvelopeReceiver> receiver, std::shared_ptr<HostPairing> pairing,
                    std::shared_ptr<WallClock> clock, std::weak_ptr<HostModel*> model)
        : receiver_(std::move(receiver)), pairing_(std::move(pairing)), clock_(std::move(clock)), model_(std::move(model)) {
        std::weak_ptr<State> weak = state_;
        intake = ConnectionIntake::make(
            limits,
            [weak] {
                if (auto state = weak.lock()) state->wake(true);
            },
            std::move(offences));
        // They screen side by side, so that a flood of frames to open keeps up with the intake;
        // the first also keeps the comparisons that wait for their answer.
        for (int i = 0, count = screeningThreads(); i < count; ++i)
            threads_.emplace_back([this, keeper = i == 0](std::stop_token stop) { run(stop, keeper); });
    }

    ~ConnectionStage() {
        close();
        for (auto& t : threads_) t.request_stop();
        state_->wake(false);
    }

    // Main thread: what the screening handed on since the last call.
    std::vector<HandedConnection> takeHanded() {
        std::lock_guard lock(state_->mutex);
        state_->posted = false;
        return std::exchange(state_->handed, {});
    }

    // Any thread: a refused connection's reason; the menu shows the latest once per tick.
    void refused(QString reason) {
        std::lock_guard lock(state_->mutex);
        state_->refusal = std::move(reason);
    }
    std::optional<QString> takeRefusal() {
        std::lock_guard lock(state_->mutex);
        return std::exchange(state_->refusal, std::nullopt);
    }
    // The latest pairing request refused on arrival (another had the host user's attention).
    std::optional<QString> takePairingRefusal() {
        std::lock_guard lock(state_->mutex);
        return std::exchange(state_->pairingRefusal, std::nullopt);
    }

    // Pairing requests handed on and not finished yet.
    int pairingAttempts() const { return *attempts_; }

    // Closes what waits here and refuses what comes later (comparisons waiting for their
    // answer close on the screening thread, at once).
    void close() {
        intake->close();
        std::vector<HandedConnection> handed;
        {
            std::lock_guard lock(state_->mutex);
            state_->closed = true;
            handed.swap(state_->handed);
        }
        state_->wake(false);
        for (auto& h : handed) h.channel->close();
    }

    std::shared_ptr<ConnectionIntake> intake;
    // Sessions negotiating now (main thread), so that quitting can end them.
    std::vector<std::weak_ptr<HostSession>> negotiating;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable_any cv;
        bool framesWaiting = false;  // for any screening thread
        bool keeperDue = false;      // for the one that keeps the comparisons
        bool posted = false;
        bool closed = false;
        std::vector<HandedConnection> handed;
        // Channels of comparisons that waited for their answer and have news since.
        std::vector<const FrameChannel*> changed;
        std::optional<QString> refusal;
        std::optional<QString> pairingRefusal;
        void wake(bool frames) {
            {
                std::lock_guard lock(mutex);
                (frames ? framesWaiting : keeperDue) = true;
            }
            cv.notify_all();
        }
        // The comparison on `channel` has news for the keeper.
        void note(const FrameChannel* channel) {
            {
                std::lock_guard lock(mutex);
                changed.push_back(channel);
                keeperDue = true;
            }
            cv.notify_all();
        }
    };

    void run(std::stop_token stop, bool keeper) {
        for (;;) {
            const auto limit = (pairing_ && keeper ? pairing_->nextLimit() : std::nullopt).value_or(SteadyClock::time_point::max());
            {
                std::unique_lock lock(state_->mutex);
                auto due = [&] { return state_->framesWaiting || (keeper && state_->keeperDue); };
                if (limit != SteadyClock::time_point::max()) state_->cv.wait_until(lock, stop, limit, due);
                else state_->cv.wait(lock, stop, due);
                if (stop.stop_requested()) return;
                state_->framesWaiting = false;
                if (keeper) state_->keeperDue = false;
            }
            // A few at a time, and a full batch wakes another thread: a flood is shared by all
            // of them, and the keeper looks at the comparisons' answers between its batches.
            bool checked = false;
            for (std::vector<ConnectionIntake::FirstFrame> batch; !(batch = intake->take(kScreeningBatch)).empty();) {
                if (batch.size() == kScreeningBatch) state_->wake(true);
                for (auto& first : batch) {
                    try {
                        screen(first);
                    } catch (const std::exception&) {
                        // No memory for this one, say: it alone is closed.
                        intake->refuse(first, false);
                    }
                }
                if (pairing_ && keeper) checkAnswers(SteadyClock::now() >= limit);
                checked = true;
            }
            if (pairing_ && keeper && !checked) checkAnswers(SteadyClock::now() >= limit);
        }
    }

    // Hands on the comparisons whose peer answered, and lets go of those that are over: those
    // whose channel had news, or every one when `all` (a limit passed).
    void checkAnswers(bool all) {
        std::vector<const FrameChannel*> changed;
        bool closed;
        {
            std::lock_guard lock(state_->mutex);
            changed.swap(state_->changed);
            closed = state_->closed;
        }
        std::lock_guard lock(askedMutex_);
        if (closed) {
            for (auto& [channel, h] : asked_) h.channel->close();
            asked_.clear();
            return;
        }
        const auto now = SteadyClock::now();
        auto check = [&](std::unordered_map<const FrameChannel*, HandedConnection>::iterator it) {
            HostPairing::Progress progress;
            try {
                progress = pairing_->progress(*it->second.channel, now);
            } catch (const std::exception&) {
                progress = HostPairing::Progress::over;  // no memory, say: this exchange only
            }
            if (progress == HostPairing::Progress::waiting) return std::next(it);
            HandedConnection h = std::move(it->second);
            h.channel->setChangeNotifier(nullptr);
            auto next = asked_.erase(it);
            if (progress != HostPairing::Progress::runnable) {
                h.channel->close();
                return next;
            }
            try {
                post(std::move(h));
            } catch (const std::exception&) {
                // Dropped with what it held: its channel closes as it goes.
            }
            return next;
        };
        if (all) {
            for (auto it = asked_.begin(); it != asked_.end();) it = check(it);
            return;
        }
        for (const FrameChannel* channel : changed)
            if (auto it = asked_.find(channel); it != asked_.end()) check(it);
    }

    void screen(ConnectionIntake::FirstFrame& first) {
        // A peer that already left costs nothing more: nobody would read the reply.
        if (first.peerLeft()) return intake->refuse(first, false);
        std::optional<json::Json> parsed;
        QString problem;
        try {
            parsed.emplace(json::parse(ByteView(first.frame)));
        } catch (...) {
            problem = describeCurrentException();
        }
        HandedConnection handed{nullptr, {}, std::nullopt, std::nullopt, nullptr};
        // Every pairing message names its type; an envelope never does.
        if (parsed && parsed->is_object() && parsed->contains("type")) {
            try {
                handed.pairing.emplace(PairingMessage::fromJSON(*parsed));
            } catch (...) {
            }
        }
        if (handed.pairing) {
            // Only the two openers start an exchange, in a frame the size of a pairing message;
            // anything else is closed without a word.
            if (!pairing_ || !(handed.pairing->is<PairStart>() || handed.pairing->is<PairRequest>()) ||
                first.frame.size() > HostPairing::channelLimits().maxFrameSize) {
                return intake->refuse(first, true);
            }
            return handOn(std::move(first), std::move(handed));
        }
        std::optional<Envelope> envelope;
        if (parsed) {
            try {
                envelope.emplace(Envelope::fromJSON(*parsed));
            } catch (...) {
                problem = describeCurrentException();
            }
        }
        // One receiver for every first envelope: a copied offer on another connection is a replay.
        if (envelope) {
            try {
                handed.offer.emplace(receiver_->open(*envelope, clock_->now()));
            } catch (...) {
                problem = describeCurrentException();
            }
        }
        if (!handed.offer) {
            refused(problem);
            return intake->refuse(first, true);
        }
        // Only an offer starts a session; anything else is closed without a word.
        if (!handed.offer->message.get<Offer>()) {
            return intake->refuse(first, true);
        }
        handOn(std::move(first), std::move(handed));
    }

    void handOn(ConnectionIntake::FirstFrame first, HandedConnection handed) {
        handed.remoteAddress = first.peer ? qs(net::endpointText(*first.peer)) : QStringLiteral("unknown");
        // A pairing's channel takes only what its exchange needs from a stranger.
        handed.channel = FrameChannel::make(std::move(first.connection), std::move(first.frame),
                                            handed.pairing ? HostPairing::channelLimits() : FrameChannel::Limits{});
        // Later frames go to the channel's readers only; the stream keeps nothing more.
        handed.channel->frames->detach();
        if (!handed.pairing) return post(std::move(handed));
        const auto admission = pairing_->admit(*handed.channel, *handed.pairing);
        if (admission.givesWay) drop(admission.givesWay);
        if (!admission.admitted) {
            handed.channel->close();
            std::lock_guard lock(state_->mutex);
            if (admission.refusal) state_->pairingRefusal = qs(admission.refusal->description());
            return;
        }
        ++*attempts_;
        handed.attempt = std::shared_ptr<void>(nullptr, [attempts = attempts_](void*) { --*attempts; });
        // Its answer (or its end, also one from this side) wakes this thread, which then hands it
        // on or lets it go.
        const FrameChannel* key = handed.channel.get();
        handed.channel->setChangeNotifier([weak = std::weak_ptr<State>(state_), key] {
            if (auto state = weak.lock()) state->note(key);
        });
        {
            std::lock_guard lock(askedMutex_);
            asked_.emplace(key, std::move(handed));
        }
        // The answer may have come before the notifier was set.
        state_->note(key);
    }

    // One that gave way before the main thread took it is dropped here: the pairing's places
    // bound the requests that wait.
    void drop(const FrameChannelPtr& givesWay) {
        std::optional<HandedConnection> dropped;
        std::lock_guard lock(state_->mutex);
        auto& list = state_->handed;
        if (auto it = std::find_if(list.begin(), list.end(), [&](const auto& h) { return h.channel == givesWay; });
            it != list.end()) {
            dropped = std::move(*it);
            list.erase(it);
        }
    }

    void post(HandedConnection handed) {
        bool post = false;
        {
            std::lock_guard lock(state_->mutex);
            auto& list = state_->handed;
            const auto offers = std::count_if(list.begin(), list.end(), [](const auto& h) { return h.offer.has_value(); });
            if (!state_->closed && (handed.pairing || static_cast<std::size_t>(offers) < kMaxHandedOffers)) {
                list.push_back(std::move(handed));
                post = !std::exchange(state_->posted, true);
            }
        }
        if (handed.channel) handed.channel->close();
        if (post) {
            postToMain([model = model_] {
                if (auto m = model.lock()) (*m)->takeConnections();
            });
        }
    }

    const std::shared_ptr<EnvelopeReceiver> receiver_;
    const std::shared_ptr<HostPairing> pairing_;
    const std::shared_ptr<WallClock> clock_;
    const std::weak_ptr<HostModel*> model_;
    const std::shared_ptr<State> state_ = std::make_shared<State>();
    const std::shared_ptr<std::atomic<int>> attempts_ = std::make_shared<std::atomic<int>>(0);
    // Comparisons whose peer owes its answer to the host's commitment.
    std::mutex askedMutex_;
    std::unordered_map<const FrameChannel*, HandedConnection> asked_;
    std::vector<std::jthread> threads_;  // last: they use everything above
};

}  // namespace detail

HostAdvertiser::ConnectionHandler HostModel::connectionHandler() {
    if (!intake_) {
        ConnectionIntake::Limits limits;
        limits.perAddress = static_cast<std::size_t>(std::max(1, env_.waitingConnectionsPerAddress));
        limits.firstFrameLimit = env_.timing.firstFrameLimit;
        intake_ = std::make_shared<detail::ConnectionStage>(limits, offences_, requestReceiver_, pairing_, env_.clock,
                                                            alive_);
    }
    // Called on the network thread: the intake takes the connection there.
    return [intake = intake_->intake](net::TcpConnectionPtr connection) { intake->add(std::move(connection)); };
}

void HostModel::takeConnections() {
    QPointer<HostModel> self(this);
    for (detail::HandedConnection& handed : intake_->takeHanded()) {
        if (handed.pairing) {
            spawn(this, [self, handed]() -> QCoro::Task<> {
                if (self) co_await self->handlePairing(handed.channel, *handed.pairing);
                else handed.channel->close();
            });
            continue;
        }
        spawn(this, [self, handed]() -> QCoro::Task<> {
            if (!self) co_return handed.channel->close();
            QString problem;
            bool failed = false;
            try {
                co_await self->handleSessionRequest(handed.channel, *handed.offer, handed.remoteAddress);
            } catch (...) {
                failed = true;
                problem = describeCurrentException();
            }
            if (!failed) co_return;
            if (self) self->reportRefusedConnection(problem);
            handed.channel->close();
        });
    }
}

void HostModel::reportRefusedConnection(const QString& reason) {
    if (intake_) intake_->refused(reason);
}

void HostModel::showRefusedConnections() {
    if (!intake_) return;
    if (auto reason = intake_->takeRefusal()) setConnectionMessage(QStringLiteral("Rejected a LAN connection: ") + *reason);
    // Shown once a tick, however many came: a flood of them costs this thread nothing more.
    if (auto reason = intake_->takePairingRefusal()) setPairingStatusMessage(QStringLiteral("Pairing failed: ") + *reason);
}

void HostModel::endConnections() {
    if (intake_) intake_->close();
    if (pairing_) pairing_->cancelAll();
    if (!intake_) return;
    for (const auto& weak : intake_->negotiating)
        if (auto session = weak.lock(); session && session != activeSession_)
            spawn(this, [self = QPointer<HostModel>(this), session]() -> QCoro::Task<> {
                if (self) co_await self->closeSession(session, "session ended by the host user");
            });
}

bool HostModel::connectionsBusy() const {
    if (!intake_) return false;
    return intake_->pairingAttempts() > 0 ||
           std::any_of(intake_->negotiating.begin(), intake_->negotiating.end(), [&](const auto& weak) {
               auto session = weak.lock();
               if (!session || session == activeSession_) return false;
               const auto kind = session->connectionState().kind();
               return kind != SessionConnectionState::Kind::closed && kind != SessionConnectionState::Kind::failed;
           });
}

void HostModel::noteNegotiation(const std::shared_ptr<HostSession>& session) {
    if (!intake_) return;
    std::erase_if(intake_->negotiating, [](const auto& weak) { return weak.expired(); });
    intake_->negotiating.push_back(session);
}

QCoro::Task<> HostModel::handlePairing(FrameChannelPtr channel, PairingMessage first) {
    QPointer<HostModel> self(this);
    auto pairing = pairing_;
    if (sharingPaused_ || !pairing || quitting_) {
        channel->close();
        co_return;
    }
    const PairStart* start = first.get<PairStart>();
    const PairRequest* request = first.get<PairRequest>();
    if (!start && !request) {
        channel->close();
        co_return;
    }
    // The approval box names the exchange that waits for the host user; another one that merely
    // started does not rename it.
    if (!pairing->comparisonState().awaitingConfirmation)
        setPendingPairingName(qs(start ? start->controllerName : request->controllerName));
    setPairingStatusMessage(std::nullopt);
    // A request opens the window, without the keyboard focus: keys typed for another window must
    // not answer it. One already open is not raised again.
    if (env_.windowManager && !env_.windowManager->isVisible(QStringLiteral("pairing")))
        env_.windowManager->present(QStringLiteral("pairing"), QStringLiteral("Pair a Device"), {520, 700});

    std::optional<PeerRecord> record;
    QString problem;
    try {
        if (start) {
            record = co_await onWorker(
                [](std::shared_ptr<HostPairing> p, FrameChannelPtr c) { return p->acceptComparison(*c); }, pairing,
                channel);
        } else {
            const SystemTime now = env_.clock->now();
            record = co_await onWorker(
                [](std::shared_ptr<HostPairing> p, FrameChannelPtr c, SystemTime at) { return p->acceptLink(*c, at); },
                pairing, channel, now);
        }
    } catch (...) {
        problem = describeCurrentException();
    }
    channel->close();
    if (!self) co_return;
    if (record) {
        setPairingStatusMessage(QStringLiteral("Paired ") + qs(record->name) + QStringLiteral("."));
        refreshPeers();
        co_await refreshPairingLink();
        if (!self) co_return;
    } else {
        setPairingStatusMessage(QStringLiteral("Pairing failed: ") + problem);
    }
    // The name of the exchange still waiting for the host user, if one is.
    const ComparisonState state = pairing->comparisonState();
    setPendingPairingName(state.awaitingConfirmation ? qs(state.peerName) : QStringLiteral("A controller"));
    // A code on show that a QR request spent (or that expired) can never pair again: it is
    // replaced at once. One that is still good stays.
    if (!record && pairingLink_ && pairing->activeLink() != pairingLink_) co_await refreshPairingLink();
}

}  // namespace quill::host
