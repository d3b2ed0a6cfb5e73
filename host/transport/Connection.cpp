#include "Connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string_view>

#include "HostLog.h"
#include "LogLimiter.h"
#include "PeerAccount.h"

namespace svcreg {

namespace {

std::int64_t ticksOf(SteadyTime time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

SteadyTime timeOf(std::int64_t ticks) {
    return SteadyTime(std::chrono::nanoseconds(ticks));
}

std::int64_t now() {
    return ticksOf(std::chrono::steady_clock::now());
}

// What the allocator adds to a block at most: its header and the rounding to its alignment.
constexpr std::size_t kAllocationOverhead = 32;

}  // namespace

Connection::Connection(UniqueFd socket, int epollFd, std::string peerChannel,
                       PeerCredentials credentials, std::shared_ptr<ConnectionBudgets> budgets,
                       RelayHandler* relay, std::optional<QueuedShare> queuedShare)
    : socket(std::move(socket)),
      epollFd(epollFd),
      peer(std::move(peerChannel)),
      peerCredentials(std::move(credentials)),
      budgets(std::move(budgets)),
      queued(queuedShare ? *queuedShare : QueuedShare{this->budgets->queued, peerCredentials.uid}),
      relay(relay),
      unfinishedBudget(&this->budgets->unfinishedBytes),
      unfinishedAccount(peerCredentials.uid),
      activity(now()) {}

void Connection::vouchFor(PeerCredentials caller) {
    vouchedAccount = accountOf(caller);
    vouchedPeer = std::move(caller);
    vouched.store(true, std::memory_order_release);
}

Connection::~Connection() {
    unfinishedBudget->give(unfinishedAccount, unfinishedHeld);
    MutexLock lock(mutex);
    releaseOutbox();
}

const std::size_t Connection::kHeldBesideBytes = 1 + kAllocationOverhead + sizeof(Outgoing);
const std::size_t Connection::kMaxQueuedBytes =
    2 * (kFrameHeaderSize + kMaxReadBodySize + kHeldBesideBytes);

// Counted so, a peer leaving many small frames unread holds no more than its budget says.
std::size_t Connection::heldBy(const Outgoing& frame) {
    return frame.bytes.capacity() + kHeldBesideBytes;
}

void Connection::releaseOutbox() {
    queued.budget->bytes.give(queued.holder, outboxBytes);
    // Relaxed, as the exchange in Transport::sweep: a hint that publishes nothing.
    if (outboxBytes >= kReturnedAtOnce) {
        queued.budget->memoryToReturn.store(true, std::memory_order_relaxed);
    }
    outbox.clear();
    outboxBytes = 0;
}

void Connection::letReceivesBlock(std::chrono::milliseconds slice) {
    if (blockReceivesUpTo(socket.get(), slice)) blockingSlice = slice;
}

SendResult Connection::send(std::string&& bytes, std::vector<UniqueFd> descriptors) {
    MutexLock lock(mutex);
    if (closed) return SendResult::Refused;
    Outgoing frame{std::move(bytes), std::move(descriptors)};
    const std::size_t held = heldBy(frame);
    if (outbox.size() >= kMaxQueuedFrames || outboxBytes + held > kMaxQueuedBytes ||
        queued.budget->bytes.take(queued.holder, held) != UserBudget::Verdict::Taken) {
        return SendResult::Busy;
    }
    activity.store(now(), std::memory_order_relaxed);  // see lastActivity
    outboxBytes += held;
    outbox.push_back(std::move(frame));
    const bool wasWaiting = outbox.size() > 1;
    if (!wasWaiting && !writeLocked()) return SendResult::Refused;
    if (!outbox.empty() && !watchingOutput) {
        watchingOutput = true;
        setInterest();
    }
    return SendResult::Queued;
}

bool Connection::writeQueued() {
    MutexLock lock(mutex);
    const bool ok = writeLocked();
    if (ok && outbox.empty() && watchingOutput) {
        watchingOutput = false;
        setInterest();
    }
    return ok;
}

bool Connection::writeLocked() {
    while (!outbox.empty()) {
        Outgoing& next = outbox.front();
        const std::string& front = next.bytes;
        const ssize_t written = sendWithDescriptors(
            socket.get(), std::string_view(front).substr(writtenOfFront), next.descriptors);
        if (written < 0 && errno == ETOOMANYREFS && !next.descriptors.empty()) {
            HOST_PEER_FAILURE(LogLimiter::aboutUser(peerCredentials.uid),
                              "Descriptors for %s not sent: this process's user has too many in "
                              "flight, held by peers that do not read them",
                              peerCredentials.describe().c_str());
            next.descriptors.clear();
            continue;
        }
        if (written < 0) {
            if (errno == EAGAIN || errno == EINTR) return true;
            closed = true;
            releaseOutbox();
            shutdown(socket.get(), SHUT_RDWR);
            return false;
        }
        next.descriptors.clear();  // they went with the first byte written
        writtenOfFront += static_cast<std::size_t>(written);
        if (writtenOfFront < front.size()) continue;
        const std::size_t held = heldBy(next);
        outboxBytes -= held;
        queued.budget->bytes.give(queued.holder, held);
        outbox.pop_front();
        writtenOfFront = 0;
    }
    return true;
}

bool Connection::hasQueuedOutput() const {
    MutexLock lock(mutex);
    return !outbox.empty();
}

bool Connection::takeReadTurn(Reader reader) {
    MutexLock lock(mutex);
    if (reading != Reader::Nobody || (reader == Reader::Waiter && closed)) return false;
    reading = reader;
    if (reader == Reader::Waiter) setInterest();
    return true;
}

void Connection::giveReadTurn() {
    MutexLock lock(mutex);
    const bool waiterRead = reading == Reader::Waiter;
    reading = Reader::Nobody;
    if (waiterRead) setInterest();
}

void Connection::reportAgain() {
    MutexLock lock(mutex);
    setInterest();  // an edge-triggered descriptor modified while ready reports once more
}

bool Connection::readsOnOnceEmptied() {
    if (readOnPause == 0) return true;
    --readOnPause;
    return false;
}

void Connection::readOnFound(bool found) {
    if (!found) readOnPause = kReadOnPause;
}

// Once a peer has vouched for a caller of another device, what the connection holds unfinished
// is that device's, as its connection is: the frames of every device's callers come from the
// same peer, the registry's gateway, and would otherwise crowd each other out of one user's
// share.
void Connection::chargeUnfinishedToCaller() {
    // Acquire pairs with the release in vouchFor, which wrote vouchedAccount before.
    if (!vouched.load(std::memory_order_acquire) ||
        unfinishedBudget == &budgets->vouchedUnfinishedBytes) {
        return;
    }
    unfinishedBudget->give(unfinishedAccount, unfinishedHeld);
    unfinishedBudget = &budgets->vouchedUnfinishedBytes;
    unfinishedAccount = vouchedAccount;
    unfinishedHeld = 0;
}

bool Connection::holdUnfinishedFrame(UserBudget::Verdict& verdict) {
    const std::size_t buffered = reader.bufferedBytes();
    const std::int64_t at = now();
    // Relaxed, these stores and their loads: see unfinishedSince and lastActivity.
    activity.store(at, std::memory_order_relaxed);
    if (buffered == 0) {
        frameBegun.store(0, std::memory_order_relaxed);
    } else if (reader.framesTaken() != framesSeen ||
               frameBegun.load(std::memory_order_relaxed) == 0) {
        // What is held is the start of a new frame.
        frameBegun.store(at, std::memory_order_relaxed);
    }
    framesSeen = reader.framesTaken();
    chargeUnfinishedToCaller();
    if (buffered <= unfinishedHeld) {
        unfinishedBudget->give(unfinishedAccount, unfinishedHeld - buffered);
        unfinishedHeld = buffered;
        return true;
    }
    verdict = unfinishedBudget->take(unfinishedAccount, buffered - unfinishedHeld);
    if (verdict != UserBudget::Verdict::Taken) return false;
    unfinishedHeld = buffered;
    return true;
}

bool Connection::unfinishedSince(SteadyTime& begun) const {
    // Relaxed: the time is all the sweep reads, no data comes with it, and a sweep beside the
    // store may read the time before it whatever the order.
    const std::int64_t ticks = frameBegun.load(std::memory_order_relaxed);
    if (ticks == 0) return false;
    begun = timeOf(ticks);
    return true;
}

SteadyTime Connection::lastActivity() const {
    // Relaxed: as in unfinishedSince, the time alone is read.
    return timeOf(activity.load(std::memory_order_relaxed));
}

void Connection::setPrivateChannel(const std::string& channel) {
    MutexLock lock(mutex);
    ownPrivateChannel = channel;
}

std::string Connection::privateChannel() const {
    MutexLock lock(mutex);
    return ownPrivateChannel;
}

void Connection::close() {
    MutexLock lock(mutex);
    if (closed) return;
    closed = true;
    epoll_ctl(epollFd, EPOLL_CTL_DEL, socket.get(), nullptr);
    shutdown(socket.get(), SHUT_RDWR);
}

bool Connection::isClosed() const {
    MutexLock lock(mutex);
    return closed;
}

// A modification re-evaluates the socket's readiness, so input interest given back reports at
// once what is waiting then.
void Connection::setInterest() {
    epoll_event event{};
    event.events = EPOLLET | (reading != Reader::Waiter ? static_cast<unsigned>(EPOLLIN) : 0u) |
                   (watchingOutput ? static_cast<unsigned>(EPOLLOUT) : 0u);
    event.data.fd = socket.get();
    // Fails harmlessly once the transport has dropped the descriptor from its set.
    epoll_ctl(epollFd, EPOLL_CTL_MOD, socket.get(), &event);
}

}  // namespace svcreg
