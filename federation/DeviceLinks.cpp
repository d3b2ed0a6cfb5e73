#include "DeviceLinks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "InterfaceAddress.h"
#include "LinkConnection.h"
#include "LogCall.h"
#include "ServiceRegistry/RemoteDevices.h"

namespace {

constexpr const char* kModule = "federation";
constexpr const char* kSource = "federation/DeviceLinks.cpp";
// A device's queue takes a share's message while the share holds at most this much, split
// evenly between the shares that hold any, counting its own (and so never more than its part
// and one record, but for Closes, below); and while the queue holds at most the second, all
// shares together, so that a user alone, or a few together, cannot hold the others back.
constexpr std::size_t kMostQueuedBytes = 16u << 20;
constexpr std::size_t kMostQueuedBytesOfAllShares = 4 * kMostQueuedBytes;
// Closes go beyond it and the record that passed it, so that a tunnel's other end learns of its
// close, by up to this many more bytes: a device that sends frames of closed tunnels and reads
// nothing fills no more.
constexpr std::size_t kCloseAllowance = kRecordHeaderSize + kMostRecordBody + (1u << 20);
// Connections of every kind; and those accepted but not yet greeted, which anyone who can reach
// the port may open: so few from one address, and from addresses no device announced, that
// hosts that are no devices cannot keep devices out, each for a few seconds only.
constexpr std::size_t kMostLinks = 1024;
constexpr std::size_t kMostUngreeted = 64;
constexpr std::size_t kMostUngreetedFromAnAddress = 4;
constexpr std::chrono::milliseconds kGreetingWithin{5000};
// Connections a second taken from addresses no device announced, all together, and from one
// device's address: each may cost a TLS handshake (a key agreement and a signature), which a host
// asks for without any certificate. A device links once, and dials again a quarter lease after a
// dial that failed.
constexpr std::size_t kMostOfNoDevicePerSecond = 64;
constexpr std::size_t kMostFromADevicePerSecond = 16;
constexpr const char* kOfNoDevice = "addresses no device announced";
constexpr int kMostAcceptsPerTurn = 16;
// Bytes of records not yet whole that a link may hold before its greeting (a Hello or a
// Welcome is shorter), and all links together.
constexpr std::size_t kMostGreetingBytes = 256;
constexpr std::size_t kMostUnfinishedBytes = 64u << 20;
// What one link may read and write in one turn of the thread, so that a busy one cannot hold
// the others.
constexpr std::size_t kReadBudget = 1u << 20;
constexpr std::size_t kWriteBudget = 1u << 20;
// Small records are written together, up to this many bytes at a time.
constexpr std::size_t kBatchBytes = 64u << 10;
constexpr std::chrono::milliseconds kLongestPoll{250};
// Out of descriptors, a connection waiting to be accepted keeps the listener readable: it is
// left out of the poll set this long, so that the thread does not spin.
constexpr std::chrono::milliseconds kAcceptPause{100};

std::string hostOf(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

std::string endpoint(const sockaddr_in& address) {
    return hostOf(address) + ":" + std::to_string(ntohs(address.sin_port));
}

bool ipv4(const std::string& text, std::uint16_t port, sockaddr_in& address) {
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return inet_pton(AF_INET, text.c_str(), &address.sin_addr) == 1;
}

void sendWithoutDelay(int socket) {
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// What a refusal, what, of a connection from the address from is logged under (see RefusalLog):
// the refusal, from a device's address or from any other, since a host may hold any number of
// them; each refusal is seen, whatever came before it. Not the names quoted in it, which the peer
// may say anew at each connection.
std::string refusalSource(bool ofDevice, const std::string& from, const std::string& what) {
    return (ofDevice ? from : kOfNoDevice) + std::string(": ") + what.substr(0, what.find('\''));
}

std::string errnoText() {
    return std::strerror(errno);
}

}  // namespace

struct DeviceLinks::Link {
    enum class State { Establishing, Greeting, Up };

    std::unique_ptr<LinkConnection> connection;
    std::string where;   // the peer's address and port
    std::string from;    // for one accepted, the address it came from
    std::string device;  // the device dialled; for one accepted, the one it names
    bool outbound = false;
    bool ofDevice = false;  // for one accepted, whether from an address a device announced
    State state = State::Establishing;
    LinkRecordReader reader;
    std::string output;  // written from outputSent on
    std::size_t outputSent = 0;
    std::size_t outputQueued = 0;  // bytes of output taken from the device's queue
    Clock::time_point opened, lastHeard, lastSent;
    std::chrono::milliseconds pingEvery{0}, silentAfter{0};
    std::string closing;      // why it closes, once it is to
    bool superseded = false;  // closed for another link to its device: nothing is lost
    bool ended = false;       // its close was logged and told

    std::string peerName() const {
        return device.empty() ? where : "device '" + device + "' at " + where;
    }
};

DeviceLinks::DeviceLinks(LinkOptions options) : options(std::move(options)) {}

DeviceLinks::~DeviceLinks() {
    stop();
    if (wakeEvents >= 0) ::close(wakeEvents);
}

bool DeviceLinks::start(svcreg::DeviceCalls& deviceCalls, std::string& error) {
    secured = !options.securityDirectory.empty();
    if (secured && !security.load(options.securityDirectory, error)) return false;
    sockaddr_in address;
    if (!ipv4(options.address, options.port, address)) {
        error = "no IPv4 address to listen on: '" + options.address + "'";
        return false;
    }
    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof address;
    if (listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = "cannot listen on " + endpoint(address) + ": " + errnoText();
        return false;
    }
    listening = ntohs(address.sin_port);
    if (wakeEvents < 0) wakeEvents = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeEvents < 0) {
        error = "cannot make an eventfd: " + errnoText();
        return false;
    }
    calls = &deviceCalls;
    {
        svcreg::MutexLock lock(mutex);
        running = true;
    }
    thread = std::thread(&DeviceLinks::run, this);
    return true;
}

void DeviceLinks::stop() {
    {
        svcreg::MutexLock lock(mutex);
        running = false;
        peers.clear();
    }
    if (thread.joinable()) {
        stopping = true;
        wake();
        thread.join();
    }
    // The eventfd stays open until the destructor: a send that passed its check of running
    // before this may still wake it.
    if (listener >= 0) ::close(std::exchange(listener, -1));
}

void DeviceLinks::wake() {
    const std::uint64_t one = 1;
    if (wakeEvents >= 0 && write(wakeEvents, &one, sizeof one) < 0) {
        // Already woken past what the counter holds: the thread wakes anyway.
    }
}

void DeviceLinks::announced(const std::string& device, const std::string& address,
                            std::uint16_t port, std::chrono::milliseconds lease) {
    svcreg::MutexLock lock(mutex);
    if (!running) return;
    Peer& peer = peers[device];
    peer.address = address;
    peer.port = port;
    peer.lease = lease;
    peer.announced = true;
}

void DeviceLinks::dropped(const std::string& device) {
    {
        svcreg::MutexLock lock(mutex);
        const auto known = peers.find(device);
        if (known == peers.end()) return;
        known->second.announced = false;
        known->second.dropAsked = true;
    }
    wake();
}

std::string DeviceLinks::unreachable(const std::string& device) const {
    const auto known = peers.find(device);
    if (!running) return "the links between devices are stopped";
    if (known == peers.end() || (!known->second.linked && !known->second.announced)) {
        return "device " + device + " is not in the federation";
    }
    if (!known->second.linked && Clock::now() < known->second.dialPausedUntil) {
        return "the last link to device " + device + " failed a moment ago";
    }
    return std::string();
}

// A Close is held to the bound of a share alone: its share may hold that much from before
// others came.
std::string DeviceLinks::queueRefusal(const Peer& peer, const std::string& share, bool close) {
    const auto own = peer.queuedByShare.find(share);
    const bool holding = own != peer.queuedByShare.end();
    const std::size_t shares = close ? 1 : peer.queuedByShare.size() + (holding ? 0 : 1);
    const std::size_t extra = close ? kCloseAllowance : 0;
    if (holding && own->second > kMostQueuedBytes / shares + extra) {
        return "its user's share of the queue to the device is full: " +
               std::to_string(own->second) + " bytes waiting, past its part of " +
               std::to_string(kMostQueuedBytes / shares) + " (16 MiB between " +
               std::to_string(shares) + " users)";
    }
    if (peer.queuedBytes > kMostQueuedBytesOfAllShares + extra) {
        return "the queue to the device is full: " + std::to_string(peer.queuedBytes) +
               " bytes waiting, past the 64 MiB of all users";
    }
    return std::string();
}

svcreg::Outcome DeviceLinks::send(const std::string& device, svcreg::DeviceMessage message,
                                  const std::string& share) {
    const bool close = message.kind == svcreg::DeviceMessage::Kind::Close;
    LinkRecord record;
    record.kind = LinkRecord::Kind::Message;
    record.message = std::move(message);
    std::string encoded;
    if (!appendRecord(record, encoded)) {
        return svcreg::Outcome(svcreg::Status::Invalid, "the message is too large for a link");
    }
    bool first = false;
    {
        svcreg::MutexLock lock(mutex);
        if (std::string why = unreachable(device); !why.empty()) {
            return svcreg::Outcome(svcreg::Status::Unreachable, std::move(why));
        }
        Peer& peer = peers[device];
        if (std::string why = queueRefusal(peer, share, close); !why.empty()) {
            return svcreg::Outcome(svcreg::Status::Busy, std::move(why));
        }
        peer.queuedBytes += encoded.size();
        peer.queuedByShare[share] += encoded.size();
        first = peer.queue.empty();
        peer.queue.push_back(Queued{std::move(encoded), share});
    }
    // The thread takes from the queue until it is empty, in batches, without waiting: a queue
    // not empty has woken it, and wakes it again only once emptied.
    if (first) wake();
    return svcreg::Outcome();
}

void DeviceLinks::run() {
    // TLS writes to a socket the peer closed raise SIGPIPE, which would end the process: on this
    // thread it stays blocked, and the write fails with EPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    while (!stopping) serveOnce();
    links.clear();  // here too: a TLS session says it closes as it goes
}

void DeviceLinks::serveOnce() {
    std::vector<pollfd> polled = pollSet();
    if (poll(polled.data(), polled.size(), pollTimeoutMs()) < 0 && errno != EINTR) return;
    std::uint64_t woken = 0;
    if (read(wakeEvents, &woken, sizeof woken) < 0) {
        // Nothing asked for since the last turn.
    }
    if (polled[1].revents != 0) acceptLinks();
    budgetSpent = false;
    // links may grow while served (an accepted link supersedes none, a dial adds at the end):
    // the links polled are the first polled.size() - 2.
    for (std::size_t i = 0; i + 2 < polled.size(); ++i) serve(*links[i], polled[i + 2].revents);
    closeDroppedLinks();
    checkTimers();
    // Links closed drop their device's queue first: what is left of it is for a new link.
    removeClosedLinks();
    dialWhereWanted();
}

std::vector<pollfd> DeviceLinks::pollSet() const {
    const bool accepting = Clock::now() >= acceptAgainAt;
    std::vector<pollfd> polled{{wakeEvents, POLLIN, 0}, {accepting ? listener : -1, POLLIN, 0}};
    for (const auto& link : links) {
        const bool writing = link->outputSent < link->output.size();
        const short events = POLLIN | (link->connection->wantsWritable() ||
                                               (writing && link->state != Link::State::Establishing)
                                           ? POLLOUT
                                           : 0);
        polled.push_back({link->connection->socket(), events, 0});
    }
    return polled;
}

int DeviceLinks::pollTimeoutMs() const {
    if (budgetSpent) return 0;
    for (const auto& link : links) {
        if (link->connection->holdsReadBytes()) return 0;
    }
    const auto longest = Clock::now() < acceptAgainAt ? kAcceptPause : kLongestPoll;
    return static_cast<int>(std::min(options.lease / 4, longest).count());
}

void DeviceLinks::acceptLinks() {
    const std::set<std::string> devices = announcedAddresses();
    for (int i = 0; i < kMostAcceptsPerTurn; ++i) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const int accepted = accept4(listener, reinterpret_cast<sockaddr*>(&address), &length,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted < 0 && (errno == EMFILE || errno == ENFILE)) {
            acceptAgainAt = Clock::now() + kAcceptPause;
            refusals.refused("whoever connects", "a link: " + errnoText());
        }
        if (accepted < 0) return;
        const std::string from = hostOf(address);
        const bool ofDevice = devices.count(from) != 0;
        if (const char* full = connectionRefusal(from, ofDevice, devices)) {
            ::close(accepted);
            const std::string what = std::string("a link: ") + full;
            refusals.refused(endpoint(address), what, refusalSource(ofDevice, from, what));
            continue;
        }
        sendWithoutDelay(accepted);
        SSL* session = secured ? security.session(accepted, true) : nullptr;
        auto link = std::make_unique<Link>();
        link->connection = std::make_unique<LinkConnection>(accepted, session, false);
        link->where = endpoint(address);
        link->from = from;
        link->ofDevice = ofDevice;
        link->opened = link->lastHeard = link->lastSent = Clock::now();
        if (secured && session == nullptr) link->closing = "no TLS session: " + takeTlsErrors();
        links.push_back(std::move(link));
    }
}

// Why a connection from the address from, one of a device's when ofDevice, is not taken; nullptr
// when it is. A host may hold many addresses, so a few places for each do not keep one from
// taking them all: those of addresses no device announced (devices) are counted apart, and paced,
// and cannot keep a device from linking from the address it announced.
const char* DeviceLinks::connectionRefusal(const std::string& from, bool ofDevice,
                                           const std::set<std::string>& devices) {
    if (links.size() >= kMostLinks) return "as many connections as this device takes";
    if (ungreeted([&](const std::string& address) { return address == from; }) >=
        kMostUngreetedFromAnAddress) {
        return "as many connections not greeted yet as one address may hold";
    }
    if (ofDevice) {
        return pace(from, kMostFromADevicePerSecond)
                   ? nullptr
                   : "as many connections a second as a device's address may open";
    }
    if (ungreeted([&](const std::string& address) { return devices.count(address) == 0; }) >=
        kMostUngreeted) {
        return "as many connections not greeted yet from addresses no device announced as this "
               "device takes";
    }
    if (!pace(kOfNoDevice, kMostOfNoDevicePerSecond)) {
        return "as many connections a second from addresses no device announced as this device "
               "takes";
    }
    return nullptr;
}

// Whether one more connection from source, a device's address or kOfNoDevice, may be taken this
// second, of most. The map holds only the sources of this second.
bool DeviceLinks::pace(const std::string& source, std::size_t most) {
    const auto now = Clock::now();
    if (now - pacedSince >= std::chrono::seconds(1)) {
        pacedSince = now;
        takenThisSecond.clear();
    }
    return takenThisSecond[source]++ < most;
}

std::set<std::string> DeviceLinks::announcedAddresses() const {
    std::set<std::string> addresses;
    svcreg::MutexLock lock(mutex);
    for (const auto& [device, peer] : peers) {
        if (peer.announced) addresses.insert(peer.address);
    }
    return addresses;
}

// Links accepted and not greeted yet, from addresses that from holds.
std::size_t DeviceLinks::ungreeted(const std::function<bool(const std::string&)>& from) const {
    return std::count_if(links.begin(), links.end(), [&](const std::unique_ptr<Link>& link) {
        return !link->outbound && link->state != Link::State::Up && from(link->from);
    });
}

// Connects to each device that has messages waiting and no link, unless it is connecting or
// its last connect failed a moment ago.
void DeviceLinks::dialWhereWanted() {
    std::vector<std::tuple<std::string, std::string, std::uint16_t>> wanted;
    {
        svcreg::MutexLock lock(mutex);
        const auto now = Clock::now();
        for (const auto& [device, peer] : peers) {
            if (peer.queue.empty() || peer.linked || !peer.announced ||
                now < std::max(peer.dialPausedUntil, peer.redialAfter)) {
                continue;
            }
            wanted.emplace_back(device, peer.address, peer.port);
        }
    }
    for (const auto& [device, address, port] : wanted) {
        const std::string& name = device;
        const bool dialling = std::any_of(links.begin(), links.end(), [&](const auto& link) {
            return link->device == name && link->closing.empty() &&
                   (link->outbound || link->state == Link::State::Up);
        });
        if (!dialling) dial(device, address, port);
    }
}

void DeviceLinks::dial(const std::string& device, const std::string& address, std::uint16_t port) {
    auto link = std::make_unique<Link>();
    link->device = device;
    link->outbound = true;
    link->where = address + ":" + std::to_string(port);
    link->opened = link->lastHeard = link->lastSent = Clock::now();
    sockaddr_in to, from;
    const int dialled = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    SSL* session = secured && dialled >= 0 ? security.session(dialled, false) : nullptr;
    link->connection = std::make_unique<LinkConnection>(dialled, session, true);
    if (!ipv4(address, port, to)) {
        link->closing = "its announced address is not an IPv4 address";
    } else if (!anotherHost(to.sin_addr)) {
        link->closing = "its announced address is one of this host's";
    } else if (dialled < 0) {
        link->closing = "no socket: " + errnoText();
    } else if (secured && session == nullptr) {
        link->closing = "no TLS session: " + takeTlsErrors();
    } else if (ipv4(options.address, 0, from) &&
               bind(dialled, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        // From the federated interface's address, so that the link goes out there.
        link->closing = "cannot connect from " + options.address + ": " + errnoText();
    } else if (connect(dialled, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
               errno != EINPROGRESS) {
        link->closing = "cannot connect: " + errnoText();
    }
    sendWithoutDelay(dialled);
    links.push_back(std::move(link));
}

// Whether address may be another device's: not one of this host's, where the device announcing
// it would have this device connect to its own services, but for the loopback address its links
// listen at, where devices that share a host meet.
bool DeviceLinks::anotherHost(const in_addr& address) const {
    sockaddr_in own;
    const bool sharedLoopback = ipv4(options.address, 0, own) && loopbackAddress(own.sin_addr) &&
                                own.sin_addr.s_addr == address.s_addr;
    return sharedLoopback || !addressOfThisHost(address);
}

void DeviceLinks::closeDroppedLinks() {
    std::vector<std::string> dropped;
    {
        svcreg::MutexLock lock(mutex);
        for (auto it = peers.begin(); it != peers.end(); ++it) {
            if (std::exchange(it->second.dropAsked, false)) dropped.push_back(it->first);
        }
    }
    for (const std::string& device : dropped) {
        bool linked = false;
        for (const auto& link : links) {
            if (link->device != device || !link->closing.empty()) continue;
            linked = true;
            close(*link, "the device is gone from the federation");
        }
        // A device with no link still hears of it, for the tunnels whose Open waited; what
        // waited for a link goes too, unless the device is back meanwhile.
        if (!linked) {
            forgetUnlinked(device);
            calls->linkLost(device);
        }
    }
}

void DeviceLinks::forgetUnlinked(const std::string& device) {
    svcreg::MutexLock lock(mutex);
    const auto known = peers.find(device);
    if (known != peers.end() && !known->second.announced && !known->second.linked) {
        peers.erase(known);
    }
}

void DeviceLinks::serve(Link& link, short events) {
    if (!link.closing.empty()) return;
    if (link.state == Link::State::Establishing) {
        if (events == 0 && !link.connection->holdsReadBytes()) return;
        establish(link);
    }
    if (!link.closing.empty() || link.state == Link::State::Establishing) return;
    if (events != 0 || link.connection->holdsReadBytes()) readFrom(link);
    if (link.closing.empty()) writeTo(link);
}

void DeviceLinks::establish(Link& link) {
    switch (link.connection->establish()) {
        case LinkConnection::Io::Wait:
            return;
        case LinkConnection::Io::Closed:
            return close(link, link.connection->error());
        case LinkConnection::Io::Done:
            break;
    }
    link.state = Link::State::Greeting;
    if (secured) {
        const std::string named = peerCommonName(link.connection->tls());
        if (link.outbound && named != link.device) {
            return close(link,
                         "its certificate names device '" + named + "', not '" + link.device + "'");
        }
        if (!svcreg::isDeviceName(named)) {
            return close(link, "its certificate's common name is no device name");
        }
        link.device = named;
    }
    if (link.outbound) {
        LinkRecord hello;
        hello.kind = LinkRecord::Kind::Hello;
        hello.device = options.device;
        appendRecord(hello, link.output);
    }
}

void DeviceLinks::readFrom(Link& link) {
    std::string bytes;
    std::string closedBecause;
    while (bytes.size() < kReadBudget && closedBecause.empty()) {
        const LinkConnection::Io io = link.connection->read(bytes, kReadBudget - bytes.size());
        if (io == LinkConnection::Io::Wait) break;
        if (io == LinkConnection::Io::Closed) closedBecause = link.connection->error();
    }
    if (bytes.size() >= kReadBudget) budgetSpent = true;
    if (!bytes.empty()) link.lastHeard = Clock::now();
    // What came before a close is still taken.
    link.reader.append(bytes.data(), bytes.size());
    LinkRecord record;
    while (link.closing.empty()) {
        const LinkRecordReader::Status status = link.reader.next(record);
        if (status == LinkRecordReader::Status::NeedMore) break;
        if (status == LinkRecordReader::Status::Ready) {
            take(link, std::move(record));
        } else {
            close(link, status == LinkRecordReader::Status::TooLarge
                            ? "a record past " + std::to_string(kMostRecordBody) + " bytes"
                            : "a malformed record");
        }
    }
    if (!closedBecause.empty()) close(link, closedBecause);
    if (link.state != Link::State::Up && link.reader.bufferedBytes() > kMostGreetingBytes) {
        close(link, "more than a greeting before it");
    } else if (unfinishedBytes() > kMostUnfinishedBytes) {
        close(mostUnfinished(), "past the " + std::to_string(kMostUnfinishedBytes) +
                                    " bytes of unfinished records all links may hold");
    }
}

// Of links not closing, whose bytes go with them.
std::size_t DeviceLinks::unfinishedBytes() const {
    std::size_t held = 0;
    for (const auto& link : links) {
        if (link->closing.empty()) held += link->reader.bufferedBytes();
    }
    return held;
}

// The link not closing that holds the most of unfinished records: the one that closes when all
// hold too much, whichever was read last, so that devices holding records unfinished cannot
// have another device's link closed.
DeviceLinks::Link& DeviceLinks::mostUnfinished() const {
    Link* most = nullptr;
    for (const auto& link : links) {
        if (link->closing.empty() &&
            (most == nullptr || link->reader.bufferedBytes() > most->reader.bufferedBytes())) {
            most = link.get();
        }
    }
    return *most;
}

void DeviceLinks::take(Link& link, LinkRecord record) {
    using Kind = LinkRecord::Kind;
    const bool greeting = link.state == Link::State::Greeting;
    if (link.superseded) return close(link, "declined, yet it goes on");
    if (greeting && !link.outbound && record.kind == Kind::Hello) return greet(link, record);
    if (greeting && link.outbound && record.kind == Kind::Welcome) return welcomed(link, record);
    if (greeting && link.outbound && record.kind == Kind::Declined) return declined(link);
    if (!greeting && record.kind == Kind::Ping) return;
    if (!greeting && record.kind == Kind::Message) {
        return calls->received(link.device, std::move(record.message));
    }
    close(link, greeting ? "a record before its greeting" : "a greeting on a link up");
}

// A device connected: the link is kept unless this device has one of its own to it and its
// name sorts first (then the other device keeps that one, and drops its own: both keep the
// same link, whoever connected first). Another link to the device is closed.
void DeviceLinks::greet(Link& link, const LinkRecord& hello) {
    if (secured && hello.device != link.device) {
        return close(link, "a hello as device '" + hello.device + "' over the certificate of '" +
                               link.device + "'");
    }
    if (hello.device == options.device) return close(link, "a hello as this very device");
    link.device = hello.device;
    const std::string unknown = unannounced(link);
    if (!unknown.empty()) {
        const std::string what = "a link: " + unknown;
        refusals.refused(link.peerName(), what, refusalSource(link.ofDevice, link.from, what));
        return decline(link);
    }
    if (otherLink(link, true) != nullptr && options.device < link.device) return decline(link);
    while (Link* other = otherLink(link, false)) {
        // An unanswered dial carried nothing; a link up was the device's before it started
        // again, and is lost, before this one is up. (Without security only a link from the
        // device's announced address gets here.)
        other->superseded = other->state != Link::State::Up;
        close(*other, "a new link from the device replaces it");
        if (!other->superseded) endLink(*other);
    }
    LinkRecord welcome;
    welcome.kind = LinkRecord::Kind::Welcome;
    welcome.device = options.device;
    appendRecord(welcome, link.output);
    goUp(link);
}

// Why link's device may not link now, or nothing: it is not announced in the federation (its
// announcement may be on its way: it dials again); without security, the link does not come from
// the address it announced.
std::string DeviceLinks::unannounced(const Link& link) const {
    svcreg::MutexLock lock(mutex);
    const auto known = peers.find(link.device);
    if (known == peers.end() || !known->second.announced) {
        return "the device is not announced in the federation";
    }
    if (!secured && known->second.address != link.from) {
        return "the device announced address " + known->second.address;
    }
    return {};
}

// Answered, so that the other device keeps its queue for a link made later; it closes this
// link, which then carries nothing.
void DeviceLinks::decline(Link& link) {
    LinkRecord declining;
    declining.kind = LinkRecord::Kind::Declined;
    appendRecord(declining, link.output);
    link.superseded = true;
}

void DeviceLinks::welcomed(Link& link, const LinkRecord& welcome) {
    if (welcome.device != link.device) {
        return close(link, "answered as device '" + welcome.device + "'");
    }
    goUp(link);
}

// The device keeps its own link to this one, which it is making: the queue waits for it, still
// taking messages, and this device dials again only after a pause, should that link never come.
void DeviceLinks::declined(Link& link) {
    link.superseded = true;
    close(link, "the device keeps its own link");
    svcreg::MutexLock lock(mutex);
    // Not recreated when the bridge dropped the device meanwhile.
    const auto known = peers.find(link.device);
    if (known != peers.end()) known->second.redialAfter = Clock::now() + options.lease / 4;
}

void DeviceLinks::goUp(Link& link) {
    link.state = Link::State::Up;
    std::chrono::milliseconds peerLease{0};
    {
        svcreg::MutexLock lock(mutex);
        Peer& peer = peers[link.device];
        peer.linked = true;
        peerLease = peer.lease.count() > 0 ? peer.lease : options.lease;
    }
    // Each end pings within half the shorter lease, and takes silence past the longer.
    link.pingEvery = std::min(options.lease, peerLease) / 2;
    link.silentAfter = std::max(options.lease, peerLease);
    LOG_TRACE(kModule, kSource, 3, "Link up with %s (%s)", link.peerName().c_str(),
              link.outbound ? "connected" : "accepted");
}

void DeviceLinks::writeTo(Link& link) {
    std::size_t written = 0;
    while (fillOutput(link)) {
        if (written >= kWriteBudget) {
            budgetSpent = true;
            return;
        }
        std::size_t sent = 0;
        const LinkConnection::Io io = link.connection->write(
            link.output.data() + link.outputSent, link.output.size() - link.outputSent, sent);
        if (io == LinkConnection::Io::Closed) return close(link, link.connection->error());
        link.outputSent += sent;
        written += sent;
        if (sent != 0) link.lastSent = Clock::now();
        if (io == LinkConnection::Io::Wait || sent == 0) return;
    }
}

// Whether link has bytes to write: what is left of its output, else, once up, what its
// device's queue holds, else a ping when it has been quiet for a while.
bool DeviceLinks::fillOutput(Link& link) {
    if (link.outputSent < link.output.size()) return true;
    const std::size_t written = std::exchange(link.outputQueued, 0);
    link.output.clear();
    link.outputSent = 0;
    if (link.state != Link::State::Up) return false;
    {
        svcreg::MutexLock lock(mutex);
        Peer& peer = peers[link.device];
        peer.queuedBytes -= written;
        while (!peer.queue.empty() &&
               (link.output.empty() ||
                link.output.size() + peer.queue.front().record.size() <= kBatchBytes)) {
            Queued& next = peer.queue.front();
            const auto share = peer.queuedByShare.find(next.share);
            share->second -= next.record.size();
            if (share->second == 0) peer.queuedByShare.erase(share);
            if (link.output.empty()) {
                link.output = std::move(next.record);
            } else {
                link.output += next.record;
            }
            peer.queue.pop_front();
        }
        link.outputQueued = link.output.size();
    }
    if (link.output.empty() && Clock::now() - link.lastSent >= link.pingEvery) {
        LinkRecord ping;
        appendRecord(ping, link.output);
    }
    return !link.output.empty();
}

void DeviceLinks::checkTimers() {
    const auto now = Clock::now();
    for (const auto& link : links) {
        if (!link->closing.empty()) continue;
        if (link->state != Link::State::Up && now - link->opened > kGreetingWithin) {
            close(*link, "not greeted within " + std::to_string(kGreetingWithin.count()) + " ms");
        } else if (link->state == Link::State::Up && now - link->lastHeard > link->silentAfter) {
            close(*link, "silent for " + std::to_string(link->silentAfter.count()) + " ms");
        }
    }
}

void DeviceLinks::close(Link& link, const std::string& why) {
    if (link.closing.empty()) link.closing = why.empty() ? "closed" : why;
}

void DeviceLinks::removeClosedLinks() {
    std::vector<std::unique_ptr<Link>> closed;
    for (auto& link : links) {
        if (!link->closing.empty()) closed.push_back(std::move(link));
    }
    links.erase(std::remove(links.begin(), links.end(), nullptr), links.end());
    for (const auto& link : closed) {
        if (!link->ended) endLink(*link);
    }
}

// Logs why link closed and, unless another link took its place, drops what its device's
// queue holds and tells linkLost: the tunnels over it are gone, and so are those whose messages
// waited for it.
void DeviceLinks::endLink(Link& link) {
    link.ended = true;
    if (link.superseded) {
        LOG_TRACE(kModule, kSource, 3, "Closed a second link with %s: %s", link.peerName().c_str(),
                  link.closing.c_str());
        return;
    }
    if (link.device.empty() || (!link.outbound && link.state != Link::State::Up)) {
        const std::string what = "a link: " + link.closing;
        refusals.refused(link.peerName(), what, refusalSource(link.ofDevice, link.from, what));
        return;
    }
    const bool wasUp = link.state == Link::State::Up;
    LOG_FAILURE(kModule, kSource, "%s %s: %s", wasUp ? "Lost the link with" : "Could not link to",
                link.peerName().c_str(), link.closing.c_str());
    {
        svcreg::MutexLock lock(mutex);
        const auto known = peers.find(link.device);
        if (known != peers.end()) {
            Peer& peer = known->second;
            peer.linked = false;
            peer.queue.clear();
            peer.queuedBytes = 0;
            peer.queuedByShare.clear();
            if (!wasUp) peer.dialPausedUntil = Clock::now() + options.lease / 4;
            if (!peer.announced) peers.erase(known);
        }
    }
    calls->linkLost(link.device);
}

// Another link to link's device, not closing: one this device dialled, when outboundOnly.
DeviceLinks::Link* DeviceLinks::otherLink(const Link& link, bool outboundOnly) const {
    for (const auto& other : links) {
        if (other.get() != &link && other->device == link.device && other->closing.empty() &&
            (other->outbound || !outboundOnly)) {
            return other.get();
        }
    }
    return nullptr;
}
