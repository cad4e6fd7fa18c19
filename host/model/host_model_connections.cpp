// Incoming connections: the first frame decides between pairing and a session request.
#include <QPointer>
#include <QTimer>
#include <algorithm>

#include "host/model/host_model.h"
#include "host/model/host_model_internal.h"
#include "host/runtime/runtime.h"
#include "quillcore/base/json.h"
#include "quillcore/envelope/envelope.h"
#include "quillcore/pairing/pairing_error.h"

namespace quill::host {

using detail::qs;

void HostModel::acceptConnection(net::TcpConnectionPtr connection) {
    QPointer<HostModel> self(this);
    spawn(this, [self, connection]() -> QCoro::Task<> {
        if (self) co_await self->openConnection(connection);
    });
}

namespace {

// Each connection still waiting for its first frame holds a socket, a channel, a timer and a
// task; beyond this many, the one that has waited longest is closed to make room.
constexpr std::size_t kMaxConnectionsAwaitingFirstFrame = 64;

// Pairing messages and session offers are a few KiB (an offer's SDP is capped well below this);
// a larger first frame is refused before it is parsed, so an unknown peer cannot make the main
// thread parse megabytes of JSON.
constexpr std::size_t kMaxFirstFrameSize = 128 * 1024;

// A place among the connections awaiting their first frame, given back however the wait ends.
class AwaitingSlot {
public:
    using List = std::vector<std::shared_ptr<detail::WaitingConnection>>;
    AwaitingSlot(HostModel* model, List* list, std::shared_ptr<detail::WaitingConnection> entry)
        : model_(model), list_(list), entry_(std::move(entry)) {
        list_->push_back(entry_);
    }
    ~AwaitingSlot() { release(); }
    AwaitingSlot(const AwaitingSlot&) = delete;
    AwaitingSlot& operator=(const AwaitingSlot&) = delete;
    void release() {
        if (model_ && list_) std::erase(*list_, entry_);
        list_ = nullptr;
    }

private:
    QPointer<HostModel> model_;
    List* list_;
    std::shared_ptr<detail::WaitingConnection> entry_;
};

}  // namespace

QCoro::Task<> HostModel::openConnection(net::TcpConnectionPtr connection) {
    QPointer<HostModel> self(this);
    auto peer = connection->remoteEndpoint();
    QString remoteAddress = peer ? qs(net::endpointText(*peer)) : QStringLiteral("unknown");
    // One machine may hold only a few of the waiting places, so it cannot take them all.
    const QString remoteHost = peer ? qs(peer->host) : QString();
    const auto fromSameHost = std::count_if(awaitingFirstFrame_.begin(), awaitingFirstFrame_.end(),
                                            [&](const auto& waiting) { return waiting->host == remoteHost; });
    if (fromSameHost >= env_.waitingConnectionsPerAddress) {
        connection->cancel();
        co_return;
    }
    // When every place is taken, the connection that has waited longest gives up its place: a
    // controller that speaks at once still gets through while idle sockets are kept open.
    if (awaitingFirstFrame_.size() >= kMaxConnectionsAwaitingFirstFrame) {
        auto oldest = awaitingFirstFrame_.front();
        awaitingFirstFrame_.erase(awaitingFirstFrame_.begin());
        oldest->limit.cancel();
    }
    auto waiting = std::make_shared<detail::WaitingConnection>();
    waiting->host = remoteHost;
    AwaitingSlot slot(this, &awaitingFirstFrame_, waiting);
    FrameChannelPtr channel = FrameChannel::make(std::move(connection));
    // A peer gets a bounded time to say what it wants, so idle connections cannot pile up.
    const CancelToken limit = waiting->limit;
    QTimer::singleShot(static_cast<int>(env_.timing.firstFrameLimit * 1000), this, [limit] { limit.cancel(); });
    std::optional<Bytes> first = co_await next(channel->frames, limit);
    limit.cancel();
    slot.release();
    // Later frames go to the channel's readers only; the stream keeps nothing more.
    channel->frames->detach();
    if (!self) {
        channel->close();
        co_return;
    }
    co_await handleConnection(channel, std::move(first), remoteAddress);
}

QCoro::Task<> HostModel::handleConnection(FrameChannelPtr channel, std::optional<Bytes> frame,
                                          QString remoteAddress) {
    QPointer<HostModel> self(this);
    if (!frame) {
        co_await closeChannel(channel);
        co_return;
    }
    if (frame->size() > kMaxFirstFrameSize) {
        co_await closeChannel(channel);
        co_return;
    }
    // Parsed once; the frame is then read as a pairing message, else as an envelope.
    std::optional<json::Json> parsed;
    QString decodingProblem;
    try {
        parsed.emplace(json::parse(ByteView(*frame)));
    } catch (...) {
        decodingProblem = describeCurrentException();
    }
    std::optional<PairingMessage> pairingMessage;
    if (parsed) {
        try {
            pairingMessage.emplace(PairingMessage::fromJSON(*parsed));
        } catch (...) {
        }
    }
    if (pairingMessage) {
        parsed.reset();
        co_await handlePairing(channel, std::move(*pairingMessage));
        co_return;
    }
    std::optional<Envelope> envelope;
    if (parsed) {
        try {
            envelope.emplace(Envelope::fromJSON(*parsed));
        } catch (...) {
            decodingProblem = describeCurrentException();
        }
        parsed.reset();
    }
    if (!envelope) {
        setConnectionMessage(QStringLiteral("Rejected a LAN connection: ") + decodingProblem);
        co_await closeChannel(channel);
        co_return;
    }
    QString problem;
    bool failed = false;
    try {
        co_await handleSessionRequest(channel, std::move(*envelope), remoteAddress);
    } catch (...) {
        failed = true;
        problem = describeCurrentException();
    }
    if (failed) {
        if (self) setConnectionMessage(QStringLiteral("Rejected a LAN connection: ") + problem);
        co_await closeChannel(channel);
    }
}

QCoro::Task<> HostModel::closeChannel(FrameChannelPtr channel) {
    channel->close();
    co_return;
}

QCoro::Task<> HostModel::handlePairing(FrameChannelPtr channel, PairingMessage first) {
    QPointer<HostModel> self(this);
    auto pairing = pairing_;
    if (sharingPaused_ || !pairing) {
        co_await closeChannel(channel);
        co_return;
    }
    const PairStart* start = first.get<PairStart>();
    const PairRequest* request = first.get<PairRequest>();
    if (!start && !request) {
        co_await closeChannel(channel);
        co_return;
    }
    const QString previousName = pendingPairingName_;
    const QString attemptName = qs(start ? start->controllerName : request->controllerName);
    setPendingPairingName(attemptName);
    setPairingStatusMessage(std::nullopt);
    if (env_.windowManager)
        env_.windowManager->show(QStringLiteral("pairing"), QStringLiteral("Pair a Device"), {520, 700});

    std::optional<PeerRecord> record;
    QString problem;
    bool busy = false;
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
    } catch (const PairingError& e) {
        busy = e.kind == PairingError::Kind::alreadyInProgress;
        problem = describeError(e);
    } catch (...) {
        problem = describeCurrentException();
    }
    if (!self) {
        channel->close();
        co_return;
    }
    if (record) {
        setPairingStatusMessage(QStringLiteral("Paired ") + qs(record->name) + QStringLiteral("."));
        refreshPeers();
        co_await refreshPairingLink();
        if (!self) co_return;
        setPendingPairingName(QStringLiteral("A controller"));
    } else {
        setPairingStatusMessage(QStringLiteral("Pairing failed: ") + problem);
        // A refused second exchange puts back the name of the one still waiting, and only while
        // that one still waits: it may have ended (or another begun and named itself) meanwhile.
        if (!busy)
            setPendingPairingName(QStringLiteral("A controller"));
        else if (pendingPairingName_ == attemptName)
            setPendingPairingName(pairing->comparisonState().awaitingConfirmation ? previousName
                                                                                  : QStringLiteral("A controller"));
        // A code on show that a QR request spent (or that expired) can never pair again: it is
        // replaced at once. One that is still good stays.
        if (pairingLink_ && pairing->activeLink() != pairingLink_) {
            co_await refreshPairingLink();
            if (!self) co_return;
        }
    }
    co_await closeChannel(channel);
}

}  // namespace quill::host
