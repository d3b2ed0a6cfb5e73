#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LinkRecords.h"
#include "LinkSecurity.h"
#include "Mutex.h"
#include "RefusalLog.h"
#include "ServiceRegistry/DeviceCalls.h"

class LinkConnection;

// Where this device's links listen, and how they are secured.
struct LinkOptions {
    std::string device;             // this device's name
    std::string securityDirectory;  // identity_ca.pem, device.pem, device.key; empty: plain TCP
    std::string address;            // the IPv4 address to listen on, and to connect from
    std::uint16_t port = 0;         // 0: any free port
    std::chrono::milliseconds lease{2000};
};

// The links between this device's registry daemon and the other devices': one TCP connection
// per pair of devices, made by either side when it first has a message for the other, to the
// address and port the other announced. Over TLS, the device that connects is the one its
// certificate names (CN), signed by the identity CA, and the one it reaches must be the one it
// meant; without security, a Hello names the device, taken as claimed when it comes from the
// address the device announced. A device not announced is declined. Messages go to the
// DeviceCalls given at start: received, or linkLost when a link closes (silent for a lease,
// broken, malformed input, its device gone). One thread of its own drives every link without
// blocking; send never waits.
class DeviceLinks {
public:
    explicit DeviceLinks(LinkOptions options);
    ~DeviceLinks();
    DeviceLinks(const DeviceLinks&) = delete;
    DeviceLinks& operator=(const DeviceLinks&) = delete;

    // Listens, and starts the thread that tells calls what comes; false, with why, when the
    // security files cannot be used or the address not listened on.
    bool start(svcreg::DeviceCalls& calls, std::string& error);
    // Closes every link; send refuses from then on.
    void stop();
    // The address and port listened on.
    const std::string& address() const { return options.address; }
    std::uint16_t port() const { return listening; }

    // device announced where its link listens, and its lease: it may be sent to.
    void announced(const std::string& device, const std::string& address, std::uint16_t port,
                   std::chrono::milliseconds lease);
    // device is gone: its link closes, and linkLost is told.
    void dropped(const std::string& device);
    // Queues message for device, connecting to it when no link is up. Fails, saying why, when
    // it cannot go now: the device is not known or its last connect failed a moment ago
    // (Unreachable), the message cannot be encoded (Invalid), or the queue is past a bound
    // (Busy; a Close's bounds are higher). share is whose the message is (see
    // DeviceCalls::Sender): past a share of the bytes a queue may hold, split evenly between
    // the shares queued, a share's messages are refused, so that one user cannot fill the
    // queue that every user's calls to the device take.
    svcreg::Outcome send(const std::string& device, svcreg::DeviceMessage message,
                         const std::string& share = std::string());

private:
    using Clock = std::chrono::steady_clock;
    struct Link;
    // An encoded record waiting for its link, and whose it is.
    struct Queued {
        std::string record;
        std::string share;
    };
    // What send and the bridge share with the thread, of one device.
    struct Peer {
        std::string address;
        std::uint16_t port = 0;
        std::chrono::milliseconds lease{0};
        bool announced = false;             // alive as the bridge knows it
        bool linked = false;                // a link is up
        bool dropAsked = false;             // the bridge dropped it: its link is to close
        Clock::time_point dialPausedUntil;  // its last dial failed: send refuses until then
        Clock::time_point redialAfter;      // its last dial was declined
        std::deque<Queued> queue;
        std::size_t queuedBytes = 0;  // in queue, and taken by its link but not yet written
        std::map<std::string, std::size_t> queuedByShare;  // in queue, of each share holding any
    };
    // Why device cannot be sent to now; empty when it can.
    std::string unreachable(const std::string& device) const TS_REQUIRES(mutex);
    // Why share may not queue one more message for peer, a Close when close; empty when it may.
    static std::string queueRefusal(const Peer& peer, const std::string& share, bool close);

    void run();
    void serveOnce();
    std::vector<struct pollfd> pollSet() const;
    int pollTimeoutMs() const;
    void acceptLinks();
    const char* connectionRefusal(const std::string& from, bool ofDevice,
                                  const std::set<std::string>& devices);
    bool pace(const std::string& source, std::size_t most);
    std::set<std::string> announcedAddresses() const;
    std::size_t ungreeted(const std::function<bool(const std::string&)>& from) const;
    void dialWhereWanted();
    void dial(const std::string& device, const std::string& address, std::uint16_t port);
    bool anotherHost(const struct in_addr& address) const;
    void closeDroppedLinks();
    // Forgets device, and the queue that waits for its link, unless it is linked or announced.
    void forgetUnlinked(const std::string& device);
    void serve(Link& link, short events);
    void establish(Link& link);
    void readFrom(Link& link);
    void take(Link& link, LinkRecord record);
    void greet(Link& link, const LinkRecord& hello);
    std::string unannounced(const Link& link) const;
    void decline(Link& link);
    void welcomed(Link& link, const LinkRecord& welcome);
    void declined(Link& link);
    void goUp(Link& link);
    void writeTo(Link& link);
    bool fillOutput(Link& link);
    std::size_t unfinishedBytes() const;
    Link& mostUnfinished() const;
    void checkTimers();
    void removeClosedLinks();
    void endLink(Link& link);
    void close(Link& link, const std::string& why);
    Link* otherLink(const Link& link, bool outboundOnly) const;
    void wake();

    const LinkOptions options;
    LinkSecurity security;
    bool secured = false;
    svcreg::DeviceCalls* calls = nullptr;
    int listener = -1;
    std::uint16_t listening = 0;
    int wakeEvents = -1;  // set before the thread starts, closed by the destructor only

    mutable svcreg::Mutex mutex;  // guards peers and running; nothing is called out with it held
    std::map<std::string, Peer> peers TS_GUARDED_BY(mutex);
    bool running TS_GUARDED_BY(mutex) = false;

    // The thread's own.
    std::vector<std::unique_ptr<Link>> links;
    Clock::time_point acceptAgainAt;  // out of descriptors: the listener is not polled till then
    Clock::time_point pacedSince;     // connections taken from each source in the second since
    std::map<std::string, std::size_t> takenThisSecond;
    bool budgetSpent = false;  // a link read or wrote all it may in a turn: poll without waiting
    RefusalLog refusals;

    std::atomic<bool> stopping{false};
    std::thread thread;
};
