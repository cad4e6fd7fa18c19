// Incoming connections: the first frame decides between pairing and a session request.
#include <QPointer>
#include <QTimer>

#include "host/model/host_model.h"
#include "host/model/host_model_internal.h"
#include "host/runtime/runtime.h"
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
// task; beyond this many, new ones are closed at once.
constexpr int kMaxConnectionsAwaitingFirstFrame = 64;

// One place among the connections awaiting their first frame, given back however the wait ends.
class AwaitingSlot {
public:
    AwaitingSlot(HostModel* model, int* count) : model_(model), count_(count) { ++*count_; }
    ~AwaitingSlot() { release(); }
    AwaitingSlot(const AwaitingSlot&) = delete;
    AwaitingSlot& operator=(const AwaitingSlot&) = delete;
    void release() {
        if (model_ && count_) --*count_;
        count_ = nullptr;
    }

private:
    QPointer<HostModel> model_;
    int* count_;
};

}  // namespace

QCoro::Task<> HostModel::openConnection(net::TcpConnectionPtr connection) {
    QPointer<HostModel> self(this);
    if (connectionsAwaitingFirstFrame_ >= kMaxConnectionsAwaitingFirstFrame) {
        connection->cancel();
        co_return;
    }
    AwaitingSlot slot(this, &connectionsAwaitingFirstFrame_);
    auto peer = connection->remoteEndpoint();
    QString remoteAddress = peer ? qs(net::endpointText(*peer)) : QStringLiteral("unknown");
    FrameChannelPtr channel = FrameChannel::make(std::move(connection));
    // A peer gets a bounded time to say what it wants, so idle connections cannot pile up.
    CancelToken limit;
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
    std::optional<PairingMessage> pairingMessage;
    try {
        pairingMessage.emplace(PairingMessage::decode(*frame));
    } catch (...) {
    }
    if (pairingMessage) {
        co_await handlePairing(channel, std::move(*pairingMessage));
        co_return;
    }
    std::optional<Envelope> envelope;
    QString decodingProblem;
    try {
        envelope.emplace(Envelope::decode(ByteView(*frame)));
    } catch (...) {
        decodingProblem = describeCurrentException();
    }
    if (!envelope) {
        setStartupError(QStringLiteral("Rejected a LAN connection: ") + decodingProblem);
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
        if (self) setStartupError(QStringLiteral("Rejected a LAN connection: ") + problem);
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
    }
    co_await closeChannel(channel);
}

}  // namespace quill::host
