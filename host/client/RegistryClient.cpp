#include "ServiceRegistry/RegistryClient.h"

#include <atomic>
#include <cstdlib>

#include "BinaryProtocolAdapter.h"
#include "Method.h"
#include "RegistryEventsProtocol.h"
#include "RegistryRequests.h"
#include "RegistryStatusProtocol.h"
#include "RegistryTextProtocol.h"
#include "RegistryTrust.h"
#include "RegistryWatch.h"
#include "ReplyInbox.h"
#include "RuntimeDirectory.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistryIfc.h"
#include "TextReplies.h"
#include "UnixSocket.h"
#include "WatchReconnector.h"
#include "WireRows.h"

namespace svcreg {

namespace {

HostOptions hostOptionsFor(const ClientOptions& options) {
    HostOptions host;
    host.runtimeDirectory = options.runtimeDirectory;
    host.workerThreads = 1;
    host.requestTimeout = options.timeout;
    return host;
}

}  // namespace

// The client's parts, wired together over its framework. Hidden: not part of the library's
// interface, though its enclosing class is.
class __attribute__((visibility("hidden"))) RegistryClient::Impl final : public PeerListener {
public:
    explicit Impl(ClientOptions options)
        : options(std::move(options)),
          channel(RuntimeDirectory::newPrivateChannel()),
          trust(this->options.registryUser),
          framework(hostOptionsFor(this->options)),
          requests(this->options, channel, framework, inbox.waiting()),
          watch(*framework.getProtocolAdapter(BinaryProtocolAdapter::kProtocolName), requests),
          reconnector(watch) {}

    // The rewatcher ends before the framework that carries its calls.
    ~Impl() {
        reconnector.stop();
        framework.stop();
    }

    bool open(std::string& error);

    // Requests waiting learn of a lost connection directly.
    void connectionLost(const std::string& lostChannel) override {
        if (lostChannel != options.registryChannel) return;
        inbox.waiting().allLost();
        watch.connectionLost();
    }

    const ClientOptions options;
    // A private channel: the registry answers over the client's own connection, so the client
    // needs no socket in the runtime directory.
    const std::string channel;
    ReplyInbox inbox;
    RegistryTrust trust;
    RegistryLibrary library;
    HostFramework framework;
    // Destroyed before the framework that carries their calls.
    RegistryRequests requests;
    RegistryWatch watch;
    WatchReconnector reconnector;
};

bool RegistryClient::Impl::open(std::string& error) {
    if (!library.load(options.library, error)) return false;
    if (!framework.bindChannel(channel, &inbox, error)) return false;
    framework.setAccessGate(&trust);
    framework.setPeerListener(this);
    framework.bindInvoker(channel, RegistryEventsProtocol::kInterface, watch.events(),
                          watch.events());
    reconnector.start();
    requests.makeProxy(library);
    return framework.start(error);
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
    return impl->requests.lookUp(
        RegistryText::kFind, {ifc, impl->channel},
        [&](const std::string& reply) { return parseFoundChannel(reply, channel); });
}

ClientStatus RegistryClient::findServiceId(const std::string& ifc, long& svcId) {
    return impl->requests.lookUp(
        RegistryText::kFindServiceId, {ifc},
        [&](const std::string& reply) { return parseServiceId(reply, svcId); });
}

ClientStatus RegistryClient::list(const std::string& ifc, std::vector<std::string>& channels) {
    return impl->requests.lookUp(RegistryText::kGetList, {ifc, impl->channel},
                                 [&](const std::string& reply) {
                                     channels = parseChannelList(reply);
                                     return !channels.empty();
                                 });
}

ClientStatus RegistryClient::details(std::vector<ServiceRecord>& records) {
    return impl->requests.lookUp(RegistryText::kGetDetailsList, {}, [&](const std::string& reply) {
        records = parseDetailsList(reply);
        return true;
    });
}

ClientStatus RegistryClient::entries(std::vector<OwnedRecord>& records) {
    Method reply;
    const ClientStatus called = impl->requests.call(RegistryStatusProtocol::kInterface,
                                                    RegistryStatusProtocol::kList, reply);
    if (called != ClientStatus::Done) return called;
    std::string encoded;
    std::vector<WireRows::Row> rows;
    if (!reply.getStringParameter(RegistryStatusProtocol::kEntries, encoded, Parameter::OUT) ||
        !WireRows::decode(encoded, RegistryStatusProtocol::kListFields, rows)) {
        return impl->requests.refused("the registry does not report its entries");
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
    const ClientStatus called = impl->requests.call(RegistryStatusProtocol::kInterface,
                                                    RegistryStatusProtocol::kStatus, reply);
    if (called != ClientStatus::Done) return called;
    for (const Parameter& fact : reply.getParameters()) {
        std::string value;
        if (reply.getStringParameter(fact.getName(), value, Parameter::OUT)) {
            facts.emplace_back(fact.getName(), std::move(value));
        }
    }
    if (facts.empty()) return impl->requests.refused("the registry does not report its status");
    return ClientStatus::Done;
}

ClientStatus RegistryClient::findInvoker(const std::string& ifc, const std::string& protocol,
                                         CreatorRecord& creator) {
    return impl->requests.lookUp(
        RegistryText::kFindInvoker, {ifc, protocol},
        [&](const std::string& reply) { return parseCreator(reply, creator); });
}

ClientStatus RegistryClient::findProxy(const std::string& ifc, CreatorRecord& creator) {
    return impl->requests.lookUp(RegistryText::kFindProxy, {ifc}, [&](const std::string& reply) {
        return parseCreator(reply, creator);
    });
}

ClientStatus RegistryClient::registerInterfaces(const std::string& ifcs,
                                                const std::string& channel) {
    return impl->requests.changed(impl->requests.registry().registerSvcInterface(ifcs, channel));
}

ClientStatus RegistryClient::deregisterInterfaces(const std::string& ifcs,
                                                  const std::string& channel) {
    return impl->requests.changed(impl->requests.registry().deregisterSvcInterfaces(ifcs, channel));
}

ClientStatus RegistryClient::registerInvoker(const std::string& lib, const std::string& creatorFn,
                                             const std::string& ifc, const std::string& protocol) {
    return impl->requests.changed(
        impl->requests.registry().registerInvokerInfo(lib, creatorFn, ifc, protocol));
}

ClientStatus RegistryClient::registerProxy(const std::string& lib, const std::string& creatorFn,
                                           const std::string& ifc, const std::string& protocol) {
    return impl->requests.changed(
        impl->requests.registry().registerProxyInfo(lib, creatorFn, ifc, protocol));
}

ClientStatus RegistryClient::ask(const std::string& command, std::string& reply) {
    return impl->requests.ask(command, reply);
}

ClientStatus RegistryClient::tell(const std::string& command) {
    return impl->requests.tell(command);
}

ClientStatus RegistryClient::watch(std::function<void(const RegistryEvent&)> told) {
    return impl->watch.watch(std::move(told));
}

ClientStatus RegistryClient::unwatch() {
    return impl->watch.unwatch();
}

// The watch replays what is registered already, so a registration made at any time before or
// after it is seen; and it goes on across the registry's restarts.
ClientStatus RegistryClient::waitFor(const std::string& ifc, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    impl->watch.await(ifc);
    ClientStatus status = impl->reconnector.watchBy(deadline, true);
    if (status == ClientStatus::Done) status = impl->watch.waitUntil(deadline);
    impl->watch.stop();
    return status;
}

void RegistryClient::interrupt() {
    impl->watch.interrupt();
}

std::string RegistryClient::explain(ClientStatus status) const {
    switch (status) {
        case ClientStatus::Done:
            return "done";
        case ClientStatus::NotFound:
            return "not found";
        case ClientStatus::Refused: {
            const std::string refusal = impl->requests.refusal();
            return refusal.empty() ? "refused" : "refused: " + refusal;
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
