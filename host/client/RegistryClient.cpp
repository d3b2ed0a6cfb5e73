#include "ServiceRegistry/RegistryClient.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <thread>

#include "BinaryProtocolAdapter.h"
#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"
#include "EventFeed.h"
#include "Method.h"
#include "Mutex.h"
#include "Proxy.h"
#include "RegistryEventsProtocol.h"
#include "RegistryStatusProtocol.h"
#include "RegistryTextProtocol.h"
#include "RegistryTrust.h"
#include "ReplyInbox.h"
#include "RetryWhileBusy.h"
#include "RuntimeDirectory.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistryIfc.h"
#include "TextReplies.h"
#include "UnixSocket.h"
#include "WireRows.h"

namespace svcreg {

namespace {

// A watch lost tries again after 100 ms, then after twice as long each time, up to this.
constexpr std::chrono::milliseconds kLongestPauseBetweenTries{2000};

HostOptions hostOptionsFor(const ClientOptions& options) {
    HostOptions host;
    host.runtimeDirectory = options.runtimeDirectory;
    host.workerThreads = 1;
    host.requestTimeout = options.timeout;
    return host;
}

// Answered stands for a request that went out. A change that went out unanswered may have
// been made.
ClientStatus statusOf(CallOutcome outcome, bool changes = false) {
    switch (outcome) {
        case CallOutcome::Answered:
            return ClientStatus::Done;
        case CallOutcome::NoAnswer:
            return changes ? ClientStatus::Unconfirmed : ClientStatus::NoReply;
        case CallOutcome::Forbidden:
            return ClientStatus::Forbidden;
        case CallOutcome::Untrusted:
            return ClientStatus::Untrusted;
        default:
            return ClientStatus::Unreachable;
    }
}

}  // namespace

// Everything of the client. Hidden: not part of the library's interface, though its
// enclosing class is.
class __attribute__((visibility("hidden"))) RegistryClient::Impl final : public PeerListener {
public:
    explicit Impl(ClientOptions options)
        : options(std::move(options)),
          channel(RuntimeDirectory::newPrivateChannel()),
          trust(this->options.registryUser),
          framework(hostOptionsFor(this->options)),
          feed(*framework.getProtocolAdapter(BinaryProtocolAdapter::kProtocolName)) {}

    ~Impl() {
        {
            MutexLock hold(watchMutex);
            closing = true;
        }
        watchChanged.notify_all();
        if (rewatcher.joinable()) rewatcher.join();
        framework.stop();
    }

    bool open(std::string& error);
    ServiceRegistryIfc& registry() { return dynamic_cast<ServiceRegistryIfc&>(*proxy); }
    // The status of the remote call just made, which answered answer; changes when it asked
    // for a change.
    ClientStatus remoteStatus(bool answer, bool changes);
    ClientStatus send(const std::string& text, long requestId);
    // Sends text under a new request id whose reply, or refusal, the inbox then expects.
    ClientStatus sendExpectingReply(const std::string& text, long& requestId);
    ClientStatus ask(const std::string& command, std::string& reply);
    ClientStatus tell(const std::string& command);
    ClientStatus refusedFor(std::string&& reason);

    // No peer is watched: requests waiting learn of a lost connection directly.
    bool watchesPeer(const std::string&) override { return false; }
    void peerGone(const std::string&) override {}
    void connectionLost(const std::string& lostChannel) override {
        if (lostChannel != options.registryChannel) return;
        inbox.waiting().allLost();
        {
            MutexLock hold(watchMutex);
            lost = watching;
        }
        watchChanged.notify_all();
    }
    // A lookup by text command: word, a colon, then the arguments separated by commas. Its
    // reply goes to take, which says whether it holds what was looked for (else NotFound).
    ClientStatus lookUp(const std::string& word, const std::vector<std::string>& arguments,
                        const std::function<bool(const std::string& reply)>& take);
    // Calls method of the registry's interfaceName, retrying while the registry is busy.
    ClientStatus callRegistry(const char* interfaceName, const char* method, Method& reply);
    // Asks the registry's feed of changes for a watch, or for its end.
    ClientStatus callFeed(const char* method);
    // Tries callFeed("watch") until it is Done, fails for good or deadline passes; or, when
    // interruptible, until interrupt is called.
    ClientStatus watchBy(std::chrono::steady_clock::time_point deadline, bool interruptible);
    ClientStatus startWatching();
    ClientStatus stopWatching();
    // Watches again whenever the registry has gone, until the client closes.
    void rewatchWhenLost();
    // False when, within pause, the client closes or, for a waiter (interruptible), interrupt is
    // called, or, for the rewatcher, the watch ends.
    bool pauseFor(std::chrono::milliseconds pause, bool interruptible);
    bool pauseEnds(bool interruptible) TS_REQUIRES(watchMutex) {
        return closing || (interruptible ? interrupted : !watching);
    }

    const ClientOptions options;
    // A private channel: the registry answers over the client's own connection, so the client
    // needs no socket in the runtime directory.
    const std::string channel;
    std::atomic<long> nextRequestId{1};
    ReplyInbox inbox;
    RegistryTrust trust;
    RegistryLibrary library;
    HostFramework framework;
    EventFeed feed;
    // Destroyed before the framework that carries their calls.
    std::unique_ptr<SocketProxyRequest> proxyRequest;
    std::unique_ptr<Proxy> proxy;
    Mutex mutex;                               // guards refusal
    std::string refusal TS_GUARDED_BY(mutex);  // the registry's reason for the last refusal

    std::thread rewatcher;
    Mutex watchMutex;  // guards the flags below
    std::condition_variable watchChanged;
    bool watching TS_GUARDED_BY(watchMutex) = false;
    bool lost TS_GUARDED_BY(watchMutex) = false;  // watching, and the registry went away
    bool closing TS_GUARDED_BY(watchMutex) = false;
    bool interrupted TS_GUARDED_BY(watchMutex) = false;
};

bool RegistryClient::Impl::open(std::string& error) {
    if (!library.load(options.library, error)) return false;
    if (!framework.bindChannel(channel, &inbox, error)) return false;
    framework.setAccessGate(&trust);
    framework.setPeerListener(this);
    framework.bindInvoker(channel, RegistryEventsProtocol::kInterface, feed, feed);
    rewatcher = std::thread([this] { rewatchWhenLost(); });
    proxyRequest = framework.makeProxyRequest(options.registryChannel, "ServiceRegistryIfc");
    proxy.reset(library.createServiceRegistryProxy());
    proxy->initProxy(*proxyRequest);
    return framework.start(error);
}

ClientStatus RegistryClient::Impl::remoteStatus(bool answer, bool changes) {
    const CallOutcome outcome = proxyRequest->lastOutcome();
    if (outcome != CallOutcome::Answered) return statusOf(outcome, changes);
    return answer ? ClientStatus::Done : refusedFor(proxyRequest->lastRefusal());
}

ClientStatus RegistryClient::Impl::refusedFor(std::string&& reason) {
    MutexLock hold(mutex);
    refusal = std::move(reason);
    return ClientStatus::Refused;
}

ClientStatus RegistryClient::Impl::send(const std::string& text, long requestId) {
    CommsChannelDataContainerMessage message;
    message.setChannel(options.registryChannel);
    message.setRequestId(requestId);
    message.setData(text.data(), static_cast<int>(text.size()));
    return statusOf(retryWhileBusy(CallOutcome::Busy,
                                   std::chrono::steady_clock::now() + options.timeout,
                                   [&] { return framework.sendMessage(channel, message); }));
}

ClientStatus RegistryClient::Impl::sendExpectingReply(const std::string& text, long& requestId) {
    requestId = nextRequestId++;
    inbox.waiting().expect(requestId);
    const ClientStatus sent = send(text, requestId);
    if (sent != ClientStatus::Done) inbox.waiting().cancel(requestId);
    return sent;
}

ClientStatus RegistryClient::Impl::ask(const std::string& command, std::string& reply) {
    long requestId;
    const ClientStatus sent = sendExpectingReply(command, requestId);
    if (sent != ClientStatus::Done) return sent;
    switch (inbox.waiting().await(requestId, options.timeout, reply)) {
        case PendingReplies::Outcome::Answered:
            return ClientStatus::Done;
        case PendingReplies::Outcome::Refused:
            return refusedFor(std::move(reply));
        case PendingReplies::Outcome::ConnectionLost:
            return ClientStatus::ConnectionLost;
        case PendingReplies::Outcome::TimedOut:
            break;
    }
    return ClientStatus::NoReply;
}

// The registry handles one sender's messages in order, so the answer to a lookup sent after
// the command means that the command has been handled, and a refusal of it has come.
ClientStatus RegistryClient::Impl::tell(const std::string& command) {
    long requestId;
    const ClientStatus sent = sendExpectingReply(command, requestId);
    if (sent != ClientStatus::Done) return sent;
    std::string reply;
    const ClientStatus handled = ask(std::string(RegistryText::kFind) + ":," + channel, reply);
    if (inbox.waiting().await(requestId, std::chrono::milliseconds(0), reply) ==
        PendingReplies::Outcome::Refused) {
        return refusedFor(std::move(reply));
    }
    return handled == ClientStatus::Done ? ClientStatus::Done : ClientStatus::Unconfirmed;
}

ClientStatus RegistryClient::Impl::lookUp(
    const std::string& word, const std::vector<std::string>& arguments,
    const std::function<bool(const std::string& reply)>& take) {
    std::string command = word + ":";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i].find(',') != std::string::npos) return ClientStatus::Invalid;
        command += (i == 0 ? "" : ",") + arguments[i];
    }
    std::string reply;
    const ClientStatus asked = ask(command, reply);
    if (asked != ClientStatus::Done) return asked;
    return take(reply) ? ClientStatus::Done : ClientStatus::NotFound;
}

ClientStatus RegistryClient::Impl::callRegistry(const char* interfaceName, const char* method,
                                                Method& reply) {
    Method request(method, Method::REQUEST);
    return statusOf(
        retryWhileBusy(CallOutcome::Busy, std::chrono::steady_clock::now() + options.timeout, [&] {
            return framework.call(options.registryChannel, interfaceName, channel, request, reply);
        }));
}

ClientStatus RegistryClient::Impl::callFeed(const char* method) {
    Method reply;
    const ClientStatus called = callRegistry(RegistryEventsProtocol::kInterface, method, reply);
    if (called != ClientStatus::Done) return called;
    bool accepted = false;
    reply.getBoolParameter(RegistryEventsProtocol::kResult, accepted, Parameter::OUT);
    if (accepted) return ClientStatus::Done;
    std::string reason;
    reply.getStringParameter(kRefusalParameter, reason, Parameter::OUT);
    return refusedFor(std::move(reason));
}

// A registry that is not there, or does not answer, may be on its way: a boot's services start
// in any order, and a registry restarts.
ClientStatus RegistryClient::Impl::watchBy(std::chrono::steady_clock::time_point deadline,
                                           bool interruptible) {
    std::chrono::milliseconds pause{100};
    while (true) {
        const ClientStatus status = callFeed(RegistryEventsProtocol::kWatch);
        const bool mayComeYet = status == ClientStatus::Unreachable ||
                                status == ClientStatus::NoReply ||
                                status == ClientStatus::ConnectionLost;
        const auto now = std::chrono::steady_clock::now();
        if (!mayComeYet || now >= deadline) return status;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (!pauseFor(std::min(pause, left), interruptible)) return ClientStatus::Interrupted;
        pause = std::min(pause * 2, kLongestPauseBetweenTries);
    }
}

ClientStatus RegistryClient::Impl::startWatching() {
    {
        MutexLock hold(watchMutex);
        watching = true;
        lost = false;
    }
    const ClientStatus status = callFeed(RegistryEventsProtocol::kWatch);
    if (status != ClientStatus::Done) stopWatching();
    return status;
}

ClientStatus RegistryClient::Impl::stopWatching() {
    {
        MutexLock hold(watchMutex);
        watching = false;
        lost = false;
    }
    watchChanged.notify_all();
    return callFeed(RegistryEventsProtocol::kUnwatch);
}

void RegistryClient::Impl::rewatchWhenLost() {
    while (true) {
        {
            MutexLock hold(watchMutex);
            while (!lost && !closing) watchChanged.wait(hold.native());
            if (closing) return;
            lost = false;
        }
        feed.tell(RegistryEvent{RegistryEvent::Kind::Lost, {}});
        feed.expectRestart();
        const ClientStatus status = watchBy(std::chrono::steady_clock::time_point::max(), false);
        if (status == ClientStatus::Done) feed.restarted();
    }
}

bool RegistryClient::Impl::pauseFor(std::chrono::milliseconds pause, bool interruptible) {
    MutexLock hold(watchMutex);
    const auto until = std::chrono::steady_clock::now() + pause;
    while (!pauseEnds(interruptible)) {
        if (watchChanged.wait_until(hold.native(), until) == std::cv_status::timeout) break;
    }
    if (!pauseEnds(interruptible)) return true;
    if (interruptible) interrupted = false;
    return false;
}

RegistryClient::RegistryClient(ClientOptions options)
    : impl(std::make_unique<Impl>(std::move(options))) {}

RegistryClient::~RegistryClient() = default;

std::string RegistryClient::channelProblem(const ClientOptions& options) {
    return RuntimeDirectory(options.runtimeDirectory).channelProblem(options.registryChannel);
}

bool RegistryClient::open(std::string& error) {
    const std::string problem = channelProblem(impl->options);
    if (!problem.empty()) {
        error = "invalid channel '" + impl->options.registryChannel + "': " + problem;
        return false;
    }
    return impl->open(error);
}

ClientStatus RegistryClient::find(const std::string& ifc, std::string& channel) {
    return impl->lookUp(RegistryText::kFind, {ifc, impl->channel}, [&](const std::string& reply) {
        return parseFoundChannel(reply, channel);
    });
}

ClientStatus RegistryClient::findServiceId(const std::string& ifc, long& svcId) {
    return impl->lookUp(RegistryText::kFindServiceId, {ifc},
                        [&](const std::string& reply) { return parseServiceId(reply, svcId); });
}

ClientStatus RegistryClient::list(const std::string& ifc, std::vector<std::string>& channels) {
    return impl->lookUp(RegistryText::kGetList, {ifc, impl->channel},
                        [&](const std::string& reply) {
                            channels = parseChannelList(reply);
                            return !channels.empty();
                        });
}

ClientStatus RegistryClient::details(std::vector<ServiceRecord>& records) {
    return impl->lookUp(RegistryText::kGetDetailsList, {}, [&](const std::string& reply) {
        records = parseDetailsList(reply);
        return true;
    });
}

ClientStatus RegistryClient::entries(std::vector<OwnedRecord>& records) {
    Method reply;
    const ClientStatus called = impl->callRegistry(RegistryStatusProtocol::kInterface,
                                                   RegistryStatusProtocol::kList, reply);
    if (called != ClientStatus::Done) return called;
    std::string encoded;
    std::vector<WireRows::Row> rows;
    if (!reply.getStringParameter(RegistryStatusProtocol::kEntries, encoded, Parameter::OUT) ||
        !WireRows::decode(encoded, RegistryStatusProtocol::kListFields, rows)) {
        return impl->refusedFor("the registry does not report its entries");
    }
    for (WireRows::Row& row : rows) {
        OwnedRecord record;
        record.entry = {std::move(row.fields[0]), row.number, std::move(row.fields[1])};
        record.pid = std::atol(row.fields[2].c_str());
        record.user = std::move(row.fields[3]);
        records.push_back(std::move(record));
    }
    return ClientStatus::Done;
}

ClientStatus RegistryClient::status(RegistryFacts& facts) {
    Method reply;
    const ClientStatus called = impl->callRegistry(RegistryStatusProtocol::kInterface,
                                                   RegistryStatusProtocol::kStatus, reply);
    if (called != ClientStatus::Done) return called;
    for (const Parameter& fact : reply.getParameters()) {
        std::string value;
        if (reply.getStringParameter(fact.getName(), value, Parameter::OUT)) {
            facts.emplace_back(fact.getName(), std::move(value));
        }
    }
    if (facts.empty()) return impl->refusedFor("the registry does not report its status");
    return ClientStatus::Done;
}

ClientStatus RegistryClient::findInvoker(const std::string& ifc, const std::string& protocol,
                                         CreatorRecord& creator) {
    return impl->lookUp(RegistryText::kFindInvoker, {ifc, protocol},
                        [&](const std::string& reply) { return parseCreator(reply, creator); });
}

ClientStatus RegistryClient::findProxy(const std::string& ifc, CreatorRecord& creator) {
    return impl->lookUp(RegistryText::kFindProxy, {ifc},
                        [&](const std::string& reply) { return parseCreator(reply, creator); });
}

ClientStatus RegistryClient::registerInterfaces(const std::string& ifcs,
                                                const std::string& channel) {
    return impl->remoteStatus(impl->registry().registerSvcInterface(ifcs, channel), true);
}

ClientStatus RegistryClient::deregisterInterfaces(const std::string& ifcs,
                                                  const std::string& channel) {
    return impl->remoteStatus(impl->registry().deregisterSvcInterfaces(ifcs, channel), true);
}

ClientStatus RegistryClient::registerInvoker(const std::string& lib, const std::string& creatorFn,
                                             const std::string& ifc, const std::string& protocol) {
    return impl->remoteStatus(impl->registry().registerInvokerInfo(lib, creatorFn, ifc, protocol),
                              true);
}

ClientStatus RegistryClient::registerProxy(const std::string& lib, const std::string& creatorFn,
                                           const std::string& ifc, const std::string& protocol) {
    return impl->remoteStatus(impl->registry().registerProxyInfo(lib, creatorFn, ifc, protocol),
                              true);
}

ClientStatus RegistryClient::ask(const std::string& command, std::string& reply) {
    return impl->ask(command, reply);
}

ClientStatus RegistryClient::tell(const std::string& command) {
    return impl->tell(command);
}

ClientStatus RegistryClient::watch(std::function<void(const RegistryEvent&)> told) {
    impl->feed.setWatcher(std::move(told));
    const ClientStatus status = impl->startWatching();
    if (status != ClientStatus::Done) impl->feed.setWatcher(nullptr);
    return status;
}

ClientStatus RegistryClient::unwatch() {
    const ClientStatus status = impl->stopWatching();
    impl->feed.setWatcher(nullptr);
    return status;
}

// The watch replays what is registered already, so a registration made at any time before or
// after it is seen; and it goes on across the registry's restarts.
ClientStatus RegistryClient::waitFor(const std::string& ifc, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    impl->feed.await(ifc);
    {
        MutexLock hold(impl->watchMutex);
        impl->watching = true;
    }
    ClientStatus status = impl->watchBy(deadline, true);
    if (status == ClientStatus::Done) status = impl->feed.waitUntil(deadline);
    impl->stopWatching();
    return status;
}

void RegistryClient::interrupt() {
    {
        MutexLock hold(impl->watchMutex);
        impl->interrupted = true;
    }
    impl->watchChanged.notify_all();
    impl->feed.interrupt();
}

std::string RegistryClient::explain(ClientStatus status) const {
    switch (status) {
        case ClientStatus::Done:
            return "done";
        case ClientStatus::NotFound:
            return "not found";
        case ClientStatus::Refused: {
            MutexLock hold(impl->mutex);
            return impl->refusal.empty() ? "refused" : "refused: " + impl->refusal;
        }
        case ClientStatus::Unreachable: {
            const std::string path = RuntimeDirectory(impl->options.runtimeDirectory)
                                         .socketPath(impl->options.registryChannel);
            const std::string why = whyNotConnected(path);
            return "no registry reachable at channel '" + impl->options.registryChannel + "' in '" +
                   impl->options.runtimeDirectory + "'" +
                   (why.empty() ? ": it does not answer" : ": " + why);
        }
        case ClientStatus::NoReply:
            return "no reply from the registry at channel '" + impl->options.registryChannel +
                   "' within " + std::to_string(impl->options.timeout.count()) + " ms";
        case ClientStatus::Unconfirmed:
            return "no answer from the registry at channel '" + impl->options.registryChannel +
                   "' within " + std::to_string(impl->options.timeout.count()) +
                   " ms: the change may or may not have been made";
        case ClientStatus::ConnectionLost:
            return "the connection to the registry at channel '" + impl->options.registryChannel +
                   "' closed before its answer came";
        case ClientStatus::Invalid:
            return "a name in a lookup cannot hold a comma";
        case ClientStatus::Forbidden:
            return "permission denied at channel '" + impl->options.registryChannel + "' in '" +
                   impl->options.runtimeDirectory +
                   "': only root and members of the registry's group may use it; ask an "
                   "administrator to add you to that group (usermod -aG svcreg USER), then log "
                   "in again";
        case ClientStatus::Untrusted:
            return "channel '" + impl->options.registryChannel + "' in '" +
                   impl->options.runtimeDirectory + "' is served by " + impl->trust.refused() +
                   ", which is neither root, this user nor the registry's user '" +
                   impl->options.registryUser + "': its answers are not trusted";
        case ClientStatus::Interrupted:
            break;
    }
    return "interrupted";
}

const std::string& RegistryClient::ownChannel() const {
    return impl->channel;
}

}  // namespace svcreg
