#include "ServiceRegistry/RegistryClient.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>

#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"
#include "Executable.h"
#include "Invoker.h"
#include "Mutex.h"
#include "Proxy.h"
#include "RegistryTextProtocol.h"
#include "RegistryTrust.h"
#include "ReplyInbox.h"
#include "RetryWhileBusy.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistryIfc.h"
#include "ServiceRegistryObserverIfc.h"
#include "TextReplies.h"

namespace svcreg {

namespace {

HostOptions hostOptionsFor(const ClientOptions& options) {
    HostOptions host;
    host.runtimeDirectory = options.runtimeDirectory;
    host.workerThreads = 1;
    host.requestTimeout = options.timeout;
    return host;
}

// A private channel, ":<pid>.<n>" for the process's n-th client: the registry answers over the
// client's own connection, so the client needs no socket in the runtime directory.
std::string newClientChannel() {
    static std::atomic<unsigned> clients{0};
    return ":" + std::to_string(getpid()) + "." + std::to_string(clients++);
}

// Receives the registry's announcements, on the client's transport thread.
class Announcements final : public Executable, public ServiceRegistryObserverIfc {
public:
    void init(Context&) override {}
    void shutdown() override {}

    void newServiceIfcRegistered(std::string ifc) override {
        std::function<void(const std::string&)> callback;
        {
            MutexLock hold(mutex);
            callback = announced;
            if (!awaited.empty() && ifc == awaited) awaitedSeen = true;
        }
        changed.notify_all();
        if (callback) callback(ifc);
    }

    void setCallback(std::function<void(const std::string&)> callback) {
        MutexLock hold(mutex);
        announced = std::move(callback);
    }

    void await(const std::string& ifc) {
        MutexLock hold(mutex);
        awaited = ifc;
        awaitedSeen = false;
    }

    // Done when the awaited interface came, NotFound at the deadline, Interrupted.
    ClientStatus waitUntil(std::chrono::steady_clock::time_point deadline) {
        MutexLock hold(mutex);
        while (!awaitedSeen && !interrupted) {
            if (changed.wait_until(hold.native(), deadline) == std::cv_status::timeout) break;
        }
        const ClientStatus status = awaitedSeen   ? ClientStatus::Done
                                    : interrupted ? ClientStatus::Interrupted
                                                  : ClientStatus::NotFound;
        awaited.clear();
        interrupted = false;
        return status;
    }

    void interrupt() {
        {
            MutexLock hold(mutex);
            interrupted = true;
        }
        changed.notify_all();
    }

private:
    Mutex mutex;  // guards everything below
    std::condition_variable changed;
    std::function<void(const std::string&)> announced TS_GUARDED_BY(mutex);
    std::string awaited TS_GUARDED_BY(mutex);
    bool awaitedSeen TS_GUARDED_BY(mutex) = false;
    bool interrupted TS_GUARDED_BY(mutex) = false;
};

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
          channel(newClientChannel()),
          trust(this->options.registryUser),
          framework(hostOptionsFor(this->options)) {}

    ~Impl() { framework.stop(); }

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
        if (lostChannel == options.registryChannel) inbox.waiting().allLost();
    }
    // A lookup by text command: word, a colon, then the arguments separated by commas. Its
    // reply goes to take, which says whether it holds what was looked for (else NotFound).
    ClientStatus lookUp(const std::string& word, const std::vector<std::string>& arguments,
                        const std::function<bool(const std::string& reply)>& take);
    ClientStatus subscribe(bool subscribing);

    const ClientOptions options;
    const std::string channel;
    std::atomic<long> nextRequestId{1};
    ReplyInbox inbox;
    Announcements announcements;
    RegistryTrust trust;
    RegistryLibrary library;
    HostFramework framework;
    // Destroyed before the framework that carries their calls.
    std::unique_ptr<SocketProxyRequest> proxyRequest;
    std::unique_ptr<Proxy> proxy;
    std::unique_ptr<Invoker> observerInvoker;
    Mutex mutex;                               // guards refusal
    std::string refusal TS_GUARDED_BY(mutex);  // the registry's reason for the last refusal
};

bool RegistryClient::Impl::open(std::string& error) {
    if (!library.load(options.library, error)) return false;
    if (!framework.bindChannel(channel, &inbox, error)) return false;
    framework.setAccessGate(&trust);
    framework.setPeerListener(this);
    observerInvoker.reset(library.createServiceRegistryObserverInvoker());
    observerInvoker->initInvoker(&framework);
    framework.bindInvoker(channel, "ServiceRegistryObserverIfc", *observerInvoker, announcements);
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

ClientStatus RegistryClient::Impl::subscribe(bool subscribing) {
    ServiceRegistryIfc& remote = registry();
    const bool accepted = subscribing ? remote.subscribeStartupEvents(&announcements)
                                      : remote.unsubscribeStartupEvents(&announcements);
    return remoteStatus(accepted, false);
}

RegistryClient::RegistryClient(ClientOptions options)
    : impl(std::make_unique<Impl>(std::move(options))) {}

RegistryClient::~RegistryClient() = default;

bool RegistryClient::open(std::string& error) {
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

ClientStatus RegistryClient::watch(std::function<void(const std::string& ifc)> announced) {
    impl->announcements.setCallback(std::move(announced));
    return impl->subscribe(true);
}

ClientStatus RegistryClient::unwatch() {
    const ClientStatus status = impl->subscribe(false);
    impl->announcements.setCallback(nullptr);
    return status;
}

// The subscription replays what is registered already, so a registration made at any time
// before or after it is seen.
ClientStatus RegistryClient::waitFor(const std::string& ifc, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    impl->announcements.await(ifc);
    const ClientStatus subscribed = impl->subscribe(true);
    if (subscribed != ClientStatus::Done) return subscribed;
    const ClientStatus status = impl->announcements.waitUntil(deadline);
    impl->subscribe(false);
    return status;
}

void RegistryClient::interrupt() {
    impl->announcements.interrupt();
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
        case ClientStatus::Unreachable:
            return "no registry reachable at channel '" + impl->options.registryChannel + "' in '" +
                   impl->options.runtimeDirectory + "'";
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
