#pragma once

#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <unordered_map>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "quillcore/base/bytes.h"
#include "quillcore/base/clock.h"
#include "quillcore/net/tcp_connection.h"
#include "quillcore/transport/admission_rule.h"
#include "quillcore/transport/offence_record.h"

namespace quill {

// Holds every new connection of a listener until its first frame has arrived, so that a
// stranger costs a bounded number of sockets and bytes and no work elsewhere. It reads those
// first frames on a thread of its own, straight from the sockets, before the connections
// start: a connection that never brings one never reaches the network I/O thread (or
// anything else) beyond its accept.
// - a newcomer has `grace` seconds (a round trip on a slow network, with margin) before its
//   silence can cost it its place. Newcomers and partial frames (below) share `newcomers`
//   places, a sixteenth of them kept for newcomers: beyond that the oldest silent newcomer is
//   judged early while newcomers hold more than their sixteenth, else a partial frame gives
//   way, in the partial frames' order. So a flood of either costs the other little: silent
//   ones never displace more than a sixteenth of the partial frames, and a controller whose
//   first segment is a few milliseconds away keeps its grace among strangers whose frames fill
//   the rest. A connection whose frame is already there when it is judged is read at once and
//   takes no place.
// - past its grace, a silent connection owes its first frame: at most `waiting` of them wait,
//   and when one more comes AdmissionRule picks who gives way: the longest silent, after those
//   whose addresses offended lately (a connection closed here without a whole first frame, or
//   whose frame the owner refused, is an offence of its address; the owner may share its
//   record with the intake). Being turned away for want of room is no offence.
// - a connection that has sent bytes of its first frame (a frame in pieces, a late segment)
//   has shown more than a silent one: it never gives way to one, only to other partial frames
//   in AdmissionRule::placeOrder (the larger claim, then the oldest), and is judged by its
//   first-frame limit.
// - at most `perAddress` connections wait from one address (one more is closed at once);
// - a connection without a whole first frame after `firstFrameLimit` seconds is closed;
// - a first frame announcing more than `maxFirstFrame` bytes is refused from its header: its
//   body is never read. A body shorter than `inSocket` stays in the socket until it is whole,
//   its bytes counted there and not read: a frame in pieces costs the host no memory of its
//   own, and the system holds no more of it than its claim. A longer body holds memory for the
//   bytes that came (grown by doubling, up to its length), and such bodies hold at most
//   `bodyBytes` between them: beyond that one gives way by AdmissionRule::partialToFree (no
//   offence), never one that the bytes in hand make whole.
// - whole first frames wait for the owner in a queue of at most `ready` entries and
//   `readyBytes` bytes; room is made by the same rule as for the silent. `onReady` is called
//   when that queue stops being empty, on the intake's thread: it must not block.
// - connections handed over and not judged yet wait for the intake's thread, 64 at most; beyond
//   that, the thread that hands them over waits (a quarter second at most) while the intake's
//   thread catches up, and the system's accept queue holds what comes meanwhile.
// A failure while one connection is handled (no memory for its frame) costs that connection
// only.
// Connections it closes are reset (TcpConnection::reset): a flood leaves nothing behind. The
// resets run on a thread of their own (inline once their share of descriptors below is held),
// so that a flood's closes never slow the accepting and judging of what comes next.
// Descriptors: every connection it holds, from its hand-over to its reset, counts against half
// of the open-file limit (the soft one), the other half being the rest of the process's. That
// half is split: handed over and not judged yet (waiting, and being judged), owing, whole and
// waiting for their reset an eighth each (each no more than its default above), a few for
// resets done inline, and the newcomers with the partial frames the rest.
// Thread-safe.
class ConnectionIntake {
public:
    struct Limits {
        std::size_t waiting = 64;
        std::size_t perAddress = 8;
        std::size_t ready = 1024;
        double firstFrameLimit = 10.0;
        std::uint32_t maxFirstFrame = 128 * 1024;
        double grace = 0.08;
        std::size_t newcomers = 8192;
        // Strangers' first frames that complete a round trip after their first bytes, at what a
        // gigabit link carries (about 117 MB/s), hold a tenth of this.
        std::size_t bodyBytes = 32 * 1024 * 1024;
        // Any signalling message fits; the system's receive buffer must hold it unread.
        std::uint32_t inSocket = 16 * 1024;
        std::size_t readyBytes = 16 * 1024 * 1024;
    };

    struct FirstFrame {
        net::TcpConnectionPtr connection;  // not started: its next read is the second frame
        std::optional<net::TcpEndpoint> peer;
        Bytes frame;
        std::string host;  // the peer's address without the port; empty when unknown
        SteadyClock::time_point cameWhole = {};
        // The peer has ended its side (or the connection broke) since: nobody would read a reply.
        bool peerLeft() const;
    };

    static std::shared_ptr<ConnectionIntake> make(Limits limits, std::function<void()> onReady,
                                                  std::shared_ptr<OffenceRecord> offences = nullptr);
    ~ConnectionIntake();
    ConnectionIntake(const ConnectionIntake&) = delete;
    ConnectionIntake& operator=(const ConnectionIntake&) = delete;

    // Takes an accepted connection that was not started yet (any other is reset). The intake's
    // thread judges it, so the thread that accepts only hands it over; it waits only while the
    // intake's thread is behind by a whole batch.
    void add(net::TcpConnectionPtr connection);

    // The whole first frames received so far, oldest first, at most `most` of them: threads
    // that take a few at a time share a flood between them.
    std::vector<FirstFrame> take(std::size_t most = SIZE_MAX);

    // Closes every connection held and every one added later. Idempotent.
    void close();

    // Connections held now: waiting for their first frame or not taken yet.
    std::size_t size() const;

    // Memory held by the bodies of first frames still arriving (not those left in their sockets).
    std::size_t partialBytes() const;
    // First frames still arriving: some of their bytes came.
    std::size_t partialFrames() const;
    // The intake's thread's wake-ups so far: while nothing comes, it sleeps.
    std::size_t passes() const { return passes_.load(std::memory_order_relaxed); }

    // Ends a connection taken from here on the intake's closing thread; `offended`: the owner
    // refused its frame, an offence of its address.
    void refuse(FirstFrame& first, bool offended);

    struct Private;
    ConnectionIntake(const Private&, Limits limits, std::function<void()> onReady,
                     std::shared_ptr<OffenceRecord> offences);

private:
    struct Split;  // the limits within the descriptors the intake may hold
    ConnectionIntake(const Split& split, std::function<void()> onReady, std::shared_ptr<OffenceRecord> offences);

    // Where a waiting connection stands: silent within its grace, silent past it, or with
    // bytes of its first frame in.
    enum class Stage : std::uint8_t { newcomer, owing, partial };
    struct Waiting {
        std::uint64_t serial;
        net::TcpConnectionPtr connection;
        int descriptor;
        std::optional<net::TcpEndpoint> peer;
        std::string host;
        SteadyClock::time_point since;
        SteadyClock::time_point graceEnd;
        SteadyClock::time_point deadline;
        Stage stage = Stage::newcomer;
        std::uint8_t header[4] = {};
        std::size_t got = 0;  // of the header, then of the body
        bool inBody = false;
        std::uint32_t length = 0;
        bool inSocket = false;  // its body waits in the socket until whole
        Bytes body = {};
        SteadyClock::time_point began = {};  // its first bytes
        AdmissionRule::PlaceOrder placed{};  // its key in order_, once partial
        std::size_t holder = SIZE_MAX;       // its index in holders_, once its body holds memory
    };
    using WaitingList = std::list<Waiting>;
    using Entry = WaitingList::iterator;
    // Partial frames in the order they give way for a place; the serial orders equals.
    using Order = std::map<std::pair<AdmissionRule::PlaceOrder, std::uint64_t>, Entry>;
    enum class Progress { waiting, whole, failed, noRoom };

    void run(std::stop_token stop);
    // With mutex_ held, as the helpers below: takes a connection that was handed over, or
    // closes it (into `givesWay`).
    void admit(net::TcpConnectionPtr connection);
    // Reads what has come on `it`, and moves it on if its frame is whole or it failed. Returns
    // whether it still waits. `events`: the poller's, when it woke for `it`.
    bool settle(Entry it, std::uint32_t events = 0);
    // Its grace is over: it owes its frame now, among the places for that.
    void owe(Entry it);
    // Its first bytes came: it leaves the silent for the partial frames.
    void spoke(Entry it);
    // Its place among the partial frames, for what it is now known to claim.
    void placeAgain(Entry it);
    // Newcomers and partial frames beyond their places: the oldest silent newcomer is judged
    // early while newcomers hold more than their own share, else a partial frame gives way.
    void keepPlaces();
    WaitingList& listOf(Stage stage);
    // Closes `it` (an offence of its address when `offended`).
    void giveWay(Entry it, bool offended) noexcept;
    // Takes `it` out of the lists, its socket out of the poller; the connection is returned.
    net::TcpConnectionPtr remove(Entry it) noexcept;
    // Reads what has come on `it`.
    Progress read(Entry it, std::uint32_t events);
    // Takes a body that waited in the socket and is there whole.
    Progress readWhole(Entry it);
    // Room for `size` bytes of the body of `it`, among the partial bodies; false when it is
    // the one that gives way.
    bool holdBody(Entry it, std::size_t size);
    // Moves the connection of `it`, whose first frame is whole, to the ready queue. Returns
    // whether that queue was empty.
    bool makeReady(Entry it);
    // Where it cannot be queued for its reset (no memory), it is reset at once.
    void closeLater(net::TcpConnectionPtr connection) noexcept;
    void wake();
    // A place among the connections that wait for their reset; false when they fill it.
    bool reserveClosing() noexcept;
    // Resets `connections`, which hold places among the closing, on the closing thread.
    // Empties it.
    void resetLater(std::vector<net::TcpConnectionPtr>& connections);
    // On the closing thread if there is room, else inline.
    void resetLater(net::TcpConnectionPtr connection);
    // With closingMutex_ held: queues `connection`, which holds its place, for the closing
    // thread; false for want of memory.
    bool queueReset(net::TcpConnectionPtr& connection);
    static void resetNow(net::TcpConnectionPtr& connection) noexcept;
    void closeRun(std::stop_token stop);

    const Limits limits_;
    const std::function<void()> onReady_;
    const std::shared_ptr<OffenceRecord> offences_;
    const int poller_;  // epoll over the waiting sockets and `waker_`
    const int waker_;   // eventfd
    const std::size_t newcomersOwn_;  // places kept for newcomers among those shared with partial frames

    // Connections handed over and not judged yet, under a lock of their own: the thread that
    // accepts never waits while the intake's thread reads sockets.
    const std::size_t arrivingMost_;
    mutable std::mutex arrivingMutex_;
    std::condition_variable arrivingRoom_;
    bool arrivingClosed_ = false;
    std::vector<net::TcpConnectionPtr> arriving_;

    mutable std::mutex mutex_;
    bool closed_ = false;
    std::uint64_t nextSerial_ = 0;
    // Silent connections in arrival order: within their grace, and past it (owing); those with
    // bytes of their first frame in, also in arrival order (that of their deadlines).
    WaitingList newcomers_;
    WaitingList owing_;
    WaitingList partial_;
    std::unordered_map<std::uint64_t, Entry> bySerial_;
    std::unordered_map<std::string, std::size_t> perHost_;
    Order order_;
    // Bodies that hold memory: how much, and what each has shown, side by side.
    std::size_t bodyBytes_ = 0;
    std::vector<Entry> holders_;
    std::vector<PartialFrame> partials_;
    // After a flood, the memory partial bodies held goes back to the system once none has been
    // held for a second: the allocator would keep it.
    std::size_t heldSinceTrim_ = 0;
    SteadyClock::time_point trimAt_ = SteadyClock::time_point::max();
    bool becameReady_ = false;
    std::vector<net::TcpConnectionPtr> givesWay_;  // closed by this pass, reset after it
    // Whole frames, under a lock of their own: the owner takes them without waiting while the
    // intake's thread reads sockets.
    mutable std::mutex readyMutex_;
    std::vector<FirstFrame> ready_;  // in arrival order
    std::size_t readyBytes_ = 0;
    AdmissionRule rule_;
    std::vector<Place> places_;  // room to judge who gives way in

    // Connections closed and not reset yet, wherever they are (the closing thread's queue and
    // its batch, a pass's own), hold places among the closing.
    const std::size_t closingRoom_;
    std::atomic<std::size_t> closingHeld_{0};
    std::mutex closingMutex_;
    std::condition_variable_any closingCv_;
    std::vector<net::TcpConnectionPtr> closing_;

    std::atomic<std::size_t> passes_{0};

    std::jthread closer_;
    std::jthread thread_;  // last: it uses everything above
};

}  // namespace quill
