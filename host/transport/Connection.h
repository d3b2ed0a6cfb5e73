#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Frame.h"
#include "FrameCodec.h"
#include "Mutex.h"
#include "ServiceRegistry/Limits.h"
#include "ServiceRegistry/PeerCredentials.h"
#include "UnixSocket.h"
#include "UserBudget.h"

namespace svcreg {

class RelayHandler;

enum class SendResult {
    Queued,
    Gone,       // no process serves the channel: retrying will not help
    Busy,       // the peer does not keep up: its queue or its listen backlog is full
    Refused,    // not a valid channel, or a connection already closed
    TooLarge,   // the frame's body would be over its bound (see appendEncodedFrame)
    Forbidden,  // the system denies this process access to the channel's socket
    Untrusted,  // the process serving the channel is not one this process may trust
    Foreign,    // an answer to a channel that is not its asker's own (see Transport::send)
};

// What the output queued for the peers of connections may hold of this process, per holder: a
// user of their peers, or another (see QueuedShare).
struct QueuedBudget {
    QueuedBudget(std::size_t perHolder, std::size_t total) : bytes(perHolder, total) {}

    UserBudget bytes;
    // Set when a connection lets go of much queued output at once, as when its peer closes
    // without reading it: the memory freed is then to be returned to the system (see
    // Transport::sweep).
    std::atomic<bool> memoryToReturn{false};
};

// What the connections of one process share and may hold of it, per user of their peers. Each
// connection shares it, so that one that outlives the transport still has it to give back to.
struct ConnectionBudgets {
    explicit ConnectionBudgets(const ConnectionLimits& limits)
        : queued(std::make_shared<QueuedBudget>(limits.queuedBytesPerUser, limits.queuedBytes)),
          unfinishedBytes(limits.unfinishedBytesPerUser, limits.unfinishedBytes),
          vouchedUnfinishedBytes(limits.unfinishedBytesPerUser, limits.unfinishedBytes) {}

    const std::shared_ptr<QueuedBudget> queued;
    UserBudget unfinishedBytes;
    // The same, for the connections vouched for, by their callers' devices: devices take
    // nothing of what local users may hold, in their shares or in total.
    UserBudget vouchedUnfinishedBytes;
};

// The budget the bytes queued for a connection's peer count in, and whose share of it they take.
struct QueuedShare {
    std::shared_ptr<QueuedBudget> budget;
    uid_t holder;
};

using SteadyTime = std::chrono::steady_clock::time_point;

// One socket between this process and a peer, in both directions. Sends come from any thread;
// reading, and handling what is read, from one thread at a time, the holder of the read turn, so
// frames are handled in the order they were sent: the thread of the epoll set the socket is in
// (edge-triggered), or a thread waiting for a reply over the connection, which then reads it
// itself and spares the hand-over from the set's thread.
class Connection {
public:
    // Who holds the read turn.
    enum class Reader {
        Nobody,
        EventLoop,  // the thread of the socket's epoll set
        Waiter,     // a thread waiting for a reply: the set does not report input meanwhile
    };

    // Bounds on what may wait for the peer, so that a peer that stops reading costs a fixed
    // amount of memory; the budgets bound what all of a user's connections hold together. The
    // bytes are those the queued frames hold of this process's memory (see heldBy).
    static constexpr std::size_t kMaxQueuedFrames = 1024;
    // What a queued frame holds of this process's memory beside its bytes' capacity, at most:
    // their terminator, the allocator's share of their block and the frame's place in the queue.
    static const std::size_t kHeldBesideBytes;
    // Two frames at the read bound: one from another device, named after it on the way, may go
    // to any connection (a relay to a service, or a caller's to the gateway).
    static const std::size_t kMaxQueuedBytes;
    // Read turns that do not read on once emptied after a read on found nothing: a peer that
    // answers from another core, or not at once, costs a vain recv once in so many turns.
    static constexpr unsigned kReadOnPause = 8;
    // Queued output let go of at once from this much on is worth returning to the system.
    static constexpr std::size_t kReturnedAtOnce = 64u << 10;

    // epollFd is the set the socket is watched in, -1 for none. peerChannel is the channel this
    // process connected to; empty for an accepted connection. credentials are the peer's.
    // relay, when given, takes every frame that comes on the connection, and hears of its close
    // (see Transport::openRelay).
    // The bytes of unfinished frames count in budgets, for the peer's user; those queued for the
    // peer too, unless queuedShare says otherwise (see Transport::openRelay and connectTo).
    Connection(UniqueFd socket, int epollFd, std::string peerChannel, PeerCredentials credentials,
               std::shared_ptr<ConnectionBudgets> budgets, RelayHandler* relay = nullptr,
               std::optional<QueuedShare> queuedShare = std::nullopt);
    // Gives back to the budgets what the connection still holds.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd() const { return socket.get(); }
    // Before the connection is shared: a thread waiting for what comes on it may block in a
    // receive, for slice at most each time (see blockReceivesUpTo). Where the system refuses,
    // receives stay non-blocking, and the slice zero.
    void letReceivesBlock(std::chrono::milliseconds slice);
    // The longest a receive without MSG_DONTWAIT may block; zero when it would not block.
    std::chrono::milliseconds receiveSlice() const { return blockingSlice; }
    const std::string& peerChannel() const { return peer; }
    // Who the peer is: the socket's, unless a peer trusted to say so has vouched for a caller
    // on another device (see vouchFor).
    const PeerCredentials& credentials() const {
        // Acquire pairs with the release in vouchFor: who reads the flag set reads the vouched.
        return vouched.load(std::memory_order_acquire) ? vouchedPeer : peerCredentials;
    }
    // The peer's process as the kernel saw it when the connection was made: whom the budget of
    // unfinished bytes charges, until it vouches for a caller of another device, whose device it
    // then charges.
    const PeerCredentials& socketCredentials() const { return peerCredentials; }
    // Whose share of its budget the output waiting for the peer takes.
    uid_t queuedFor() const { return queued.holder; }
    // Once only, by the reading thread at the connection's first frame or by the thread that
    // made it before anything comes on it: who the peer is from now on.
    void vouchFor(PeerCredentials caller);
    // What takes the frames of a relay connection; null for any other.
    RelayHandler* relayHandler() const { return relay; }
    int epollSet() const { return epollFd; }

    // Queues the bytes of one frame and writes what the socket takes at once, never waiting;
    // the rest goes when the socket is writable again. descriptors go with its first byte.
    SendResult send(std::string&& bytes, std::vector<UniqueFd> descriptors = {});
    // Reading thread, when the socket takes more. False on a write error.
    bool writeQueued();
    bool hasQueuedOutput() const;

    // The turn to read the socket and handle its frames, for reader; false when another thread
    // holds it, and for a waiter, when the connection is closed.
    bool takeReadTurn(Reader reader);
    // Once a waiter gives its turn back, the epoll set reports input again: what the waiter left
    // unread then, and what came since, is reported once more.
    void giveReadTurn();

    // Reading thread, when it leaves bytes unread: has their readiness reported again.
    void reportAgain();
    // Reading thread, once a read has emptied the socket: whether to read once more, in case the
    // peer has sent again meanwhile. Not for a few turns after such a read found nothing.
    bool readsOnOnceEmptied();
    // What that read found.
    void readOnFound(bool found);
    // Reading thread, after taking the whole frames out of reader: takes from the budget of
    // unfinished bytes what the reader now holds, or gives back what it no longer does. False,
    // with the limit passed, when the budget has not enough.
    bool holdUnfinishedFrame(UserBudget::Verdict& verdict);
    // Whether the reader holds part of a frame, which may not last long, and since when.
    bool unfinishedSince(SteadyTime& begun) const;
    // When bytes last went out or came in.
    SteadyTime lastActivity() const;
    // The peer reaches a private channel of this process over this connection, which must
    // then stay open however long it is idle: closing it would take the channel away.
    // Relaxed: the flag publishes nothing, and a sweep at the same time as the store reads
    // either value whatever the order.
    void carryPrivateChannel() { privateChannelCarried.store(true, std::memory_order_relaxed); }
    bool carriesPrivateChannel() const {
        return privateChannelCarried.load(std::memory_order_relaxed);
    }

    // True the first time only: so that what the peer does wrong again and again is logged once.
    // Relaxed: the exchange alone makes one caller the first; nothing is published with it.
    bool firstMisdeed() { return !misdeedLogged.exchange(true, std::memory_order_relaxed); }
    // True the first time only: a connection gets descriptors once, so that a peer that does not
    // read them holds at most one lot in flight per connection, charged to this process's user.
    // Relaxed: as in firstMisdeed, only which caller is first matters.
    bool firstDescriptors() { return !descriptorsPassed.exchange(true, std::memory_order_relaxed); }

    // The private channel the peer has named as its own on this connection; empty for none.
    void setPrivateChannel(const std::string& channel);
    std::string privateChannel() const;

    // Takes the socket out of its epoll set and shuts it down; later sends are refused. The
    // descriptor closes with the object.
    void close();
    bool isClosed() const;

    FrameReader reader;  // the holder of the read turn only

private:
    struct Outgoing {
        std::string bytes;
        std::vector<UniqueFd> descriptors;  // sent with the first byte, then closed
    };

    // What a queued frame holds of this process's memory, rather than its size.
    static std::size_t heldBy(const Outgoing& frame);
    void setInterest() TS_REQUIRES(mutex);
    bool writeLocked() TS_REQUIRES(mutex);
    // Read turn holder: moves what is held unfinished to the caller's device once vouched for.
    void chargeUnfinishedToCaller();
    // Gives back to the budget all the queued output holds, which is let go of.
    void releaseOutbox() TS_REQUIRES(mutex);

    const UniqueFd socket;
    const int epollFd;
    const std::string peer;
    const PeerCredentials peerCredentials;
    const std::shared_ptr<ConnectionBudgets> budgets;
    const QueuedShare queued;
    RelayHandler* const relay;
    PeerCredentials vouchedPeer;  // written once, before vouched is set
    uid_t vouchedAccount = 0;     // vouchedPeer's account, written with it
    std::atomic<bool> vouched{false};

    // The read turn holder's: the budget and account charged for unfinished bytes and what it
    // was charged, and the frames taken out of the reader when it last looked.
    UserBudget* unfinishedBudget;
    uid_t unfinishedAccount;
    std::size_t unfinishedHeld = 0;
    std::uint64_t framesSeen = 0;
    // Read turns left that do not read on once the socket is emptied (see readsOnOnceEmptied).
    unsigned readOnPause = 0;
    // Nanoseconds of the steady clock; 0 while no part of a frame is held.
    std::atomic<std::int64_t> frameBegun{0};
    std::atomic<std::int64_t> activity;
    std::atomic<bool> privateChannelCarried{false};
    std::atomic<bool> misdeedLogged{false};
    std::atomic<bool> descriptorsPassed{false};
    std::chrono::milliseconds blockingSlice{0};  // set before the connection is shared

    mutable Mutex mutex;  // guards everything below; never held while a frame is handled
    std::deque<Outgoing> outbox TS_GUARDED_BY(mutex);
    std::size_t outboxBytes TS_GUARDED_BY(mutex) = 0;  // what outbox holds, by heldBy
    // Bytes of outbox.front() already written.
    std::size_t writtenOfFront TS_GUARDED_BY(mutex) = 0;
    // The epoll set also reports when the socket takes more.
    bool watchingOutput TS_GUARDED_BY(mutex) = false;
    Reader reading TS_GUARDED_BY(mutex) = Reader::Nobody;
    std::string ownPrivateChannel TS_GUARDED_BY(mutex);
    bool closed TS_GUARDED_BY(mutex) = false;
};

}  // namespace svcreg
