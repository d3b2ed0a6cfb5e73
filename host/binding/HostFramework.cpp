#include "ServiceRegistry/HostFramework.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "AccountNames.h"
#include "BinaryProtocolAdapter.h"
#include "CommsChannelDataContainerMessage.h"
#include "DeviceGateway.h"
#include "FrameRouter.h"
#include "OutgoingCalls.h"
#include "RuntimeDirectory.h"
#include "ServiceRegistry/Defaults.h"
#include "Transport.h"
#include "UnixSocket.h"

namespace svcreg {

namespace {

// The registry's access group stands for itself when this process may give files to it: root
// may, and so may its members.
gid_t groupOfSockets(gid_t requested) {
    if (requested != kRegistryAccessGroup) return requested;
    const gid_t group = gidOfGroup(kDefaultAccessGroup);
    if (group == kNoGroup) return kNoGroup;
    if (geteuid() == 0 || getegid() == group) return group;
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    return std::find(groups.begin(), groups.end(), group) != groups.end() ? group : kNoGroup;
}

}  // namespace

// What the transport delivers goes to the router (frames), the outgoing calls (replies) and,
// for connections that close, to the peer listener; what the gateway carries to other devices,
// to the gateway first. Hidden: not part of the library's
// interface, though its enclosing class is.
class __attribute__((visibility("hidden"))) HostFramework::Impl final : public FrameHandler {
public:
    explicit Impl(const HostOptions& options)
        : transport(
              RuntimeDirectory(options.runtimeDirectory.empty() ? RuntimeDirectory::defaultPath()
                                                                : options.runtimeDirectory,
                               groupOfSockets(options.socketGroup), options.stateDirectory),
              *this, options.workerThreads, options.limits),
          router(transport, adapter),
          calls(transport, adapter, options.requestTimeout),
          gateway(transport, [this] { return listen(RuntimeDirectory::kGatewayChannel, -1); }) {}
    // No frame arrives once the transport has stopped, so the rest may go in any order.
    ~Impl() { transport.stop(); }

    void handleFrame(const std::shared_ptr<Connection>& from, Frame& frame) override {
        if (!gateway.takesFrame(from, frame)) router.route(from, frame);
    }
    void handleReply(const Connection& from, Frame& frame) override {
        if (!gateway.takesReply(from, frame)) calls.replyArrived(from, frame);
    }
    // Replies only wake the caller waiting for them.
    bool handledWhileWaiting(const Frame& frame) override {
        return frame.kind == Frame::Kind::Reply || router.handledWhileWaiting(frame);
    }
    void connectionClosed(const Connection& connection) override;
    // Serves channel on listeningSocket, or a socket made for it, unless it is private.
    Outcome listen(const std::string& channel, int listeningSocket);
    bool admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) override {
        return gate == nullptr || gate->admitsPeer(peer, servedChannel);
    }

    BinaryProtocolAdapter adapter;
    Transport transport;
    FrameRouter router;
    OutgoingCalls calls;
    DeviceGateway gateway;
    ProxyProvider* proxies = nullptr;  // set before start
    PeerListener* peers = nullptr;     // set before start
    AccessGate* gate = nullptr;        // set before start
};

void HostFramework::Impl::connectionClosed(const Connection& connection) {
    gateway.callerClosed(connection);
    if (peers != nullptr && !connection.peerChannel().empty()) {
        peers->connectionLost(connection.peerChannel());
    }
}

HostFramework::HostFramework(const HostOptions& options) : impl(std::make_unique<Impl>(options)) {}

HostFramework::~HostFramework() {
    stop();
}

// A private channel has no socket to make.
Outcome HostFramework::Impl::listen(const std::string& channel, int listeningSocket) {
    UniqueFd given(listeningSocket);
    if (RuntimeDirectory::isPrivateChannel(channel)) return Outcome();
    std::string error;
    const RuntimeDirectory& directory = transport.runtimeDirectory();
    if (!directory.prepare(error) || !directory.preparePrivate(error)) {
        return Outcome(Status::Refused, error);
    }
    if (!transport.listen(channel, error, std::move(given))) {
        return Outcome(Status::Refused, "cannot serve channel '" + channel + "': " + error);
    }
    return Outcome();
}

Outcome HostFramework::bindChannel(const std::string& channel, Service* service,
                                   int listeningSocket) {
    Outcome listening = impl->listen(channel, listeningSocket);
    if (listening) impl->router.bindChannel(channel, service);
    return listening;
}

Outcome HostFramework::bindChannel(const std::string& channel, MessageHandler& handler,
                                   int listeningSocket) {
    Outcome listening = impl->listen(channel, listeningSocket);
    if (listening) impl->router.bindChannel(channel, handler);
    return listening;
}

void HostFramework::bindInvoker(const std::string& channel, const std::string& interfaceName,
                                Invoker& invoker, Executable& executable) {
    impl->router.bindInvoker(channel, interfaceName, invoker, executable);
}

void HostFramework::bindCallHandler(const std::string& channel, const std::string& interfaceName,
                                    CallHandler& handler) {
    impl->router.bindCallHandler(channel, interfaceName, handler);
}

void HostFramework::bindSharedMemory(const std::string& channel,
                                     std::function<std::vector<int>()> share) {
    impl->router.bindSharedMemory(channel, std::move(share));
}

void HostFramework::bindReplies(const std::string& channel, ReplySink& sink) {
    impl->router.bindReplies(channel, sink);
}

void HostFramework::setProxyProvider(ProxyProvider* provider) {
    impl->proxies = provider;
}

void HostFramework::setPeerListener(PeerListener* listener) {
    impl->peers = listener;
}

void HostFramework::setAccessGate(AccessGate* gate) {
    impl->gate = gate;
}

Outcome HostFramework::start() {
    std::string error;
    if (!impl->transport.start(error)) return Outcome(Status::CannotStart, error);
    return Outcome();
}

void HostFramework::stop() {
    impl->transport.stop();
}

Outcome HostFramework::channelsInPlace() {
    std::string error;
    if (!impl->transport.channelsInPlace(error)) return Outcome(Status::Unreachable, error);
    return Outcome();
}

std::size_t HostFramework::connectionCount() {
    return impl->transport.connectionCount();
}

Outcome HostFramework::whenIdle(std::chrono::milliseconds quiet, std::function<void()> idle) {
    if (!idle) return Outcome(Status::Invalid, "no call to make when idle");
    if (quiet < quiet.zero()) return Outcome(Status::Invalid, "a quiet cannot be negative");
    impl->transport.whenIdle(quiet, std::move(idle));
    return Outcome();
}

CommsChannelIfc* HostFramework::commsChannel(const std::string& boundChannel) {
    return impl->router.commsChannel(boundChannel);
}

namespace {

Outcome notBound(const std::string& channel) {
    return Outcome(Status::Refused, "channel '" + channel + "' is not bound here");
}

}  // namespace

Outcome HostFramework::sendMessage(const std::string& boundChannel,
                                   const CommsChannelDataContainerMessage& message) {
    SocketCommsChannel* channel = impl->router.commsChannel(boundChannel);
    if (channel == nullptr) return notBound(boundChannel);
    return outcomeOf(channel->send(message), message.channel());
}

Outcome HostFramework::sendAndAwait(const std::string& boundChannel,
                                    const CommsChannelDataContainerMessage& message,
                                    std::chrono::steady_clock::time_point deadline,
                                    const std::function<bool()>& answered) {
    SocketCommsChannel* channel = impl->router.commsChannel(boundChannel);
    if (channel == nullptr) return notBound(boundChannel);
    Transport::ReplyReading reading(impl->transport, message.channel());
    std::shared_ptr<Connection> via;
    const SendResult sent = channel->send(message, &via);
    if (sent == SendResult::Queued) reading.readUntil(via, deadline, answered);
    return outcomeOf(sent, message.channel());
}

std::unique_ptr<SocketProxyRequest> HostFramework::makeProxyRequest(
    const std::string& channel, const std::string& interfaceName) {
    return std::make_unique<SocketProxyRequest>(*this, channel, interfaceName);
}

Outcome HostFramework::call(const std::string& channel, const std::string& interfaceName,
                            const std::string& remoteContext, Method& request, Method& reply) {
    return call(channel, interfaceName, remoteContext, request, reply, impl->calls.deadline());
}

Outcome HostFramework::call(const std::string& channel, const std::string& interfaceName,
                            const std::string& remoteContext, Method& request, Method& reply,
                            std::chrono::steady_clock::time_point deadline) {
    Frame frame;
    frame.destination = channel;
    frame.interface = interfaceName;
    frame.remoteContext = remoteContext;
    return impl->calls.call(frame, request, reply, deadline);
}

Outcome HostFramework::sendOneWay(const std::string& channel, const std::string& interfaceName,
                                  Method& request) {
    Frame frame;
    frame.destination = channel;
    frame.interface = interfaceName;
    return impl->calls.sendOneWay(frame, request);
}

const std::string& HostFramework::runtimeDirectory() const {
    return impl->transport.runtimeDirectory().path();
}

std::string HostFramework::statePath(const std::string& channel) const {
    return impl->transport.runtimeDirectory().statePath(channel);
}

Result<PeerWatch> HostFramework::watchPeer(const std::string& channel, std::function<void()> gone) {
    std::string why;
    PeerWatch watch;
    watch.id = impl->transport.peerEnds().watchPeer(channel, std::move(gone), why, &watch.server);
    if (watch.id != 0) return Result<PeerWatch>(Outcome(), watch);
    if (why.empty()) return Outcome(Status::NotFound, "nobody serves it");
    return Outcome(Status::Refused, why);
}

Result<PeerWatchId> HostFramework::watchProcess(pid_t pid, const std::string& startTime, uid_t user,
                                                std::function<void()> gone) {
    std::string why;
    const PeerWatchId id =
        impl->transport.peerEnds().watchProcess(pid, startTime, user, std::move(gone), why);
    if (id == 0) return Outcome(Status::Refused, why);
    return Result<PeerWatchId>(Outcome(), id);
}

Result<PeerWatchId> HostFramework::watchHangUp(int socket, std::function<void()> gone) {
    std::string why;
    const PeerWatchId id = impl->transport.peerEnds().watchHangUp(socket, std::move(gone), why);
    if (id == 0) return Outcome(Status::Refused, why);
    return Result<PeerWatchId>(Outcome(), id);
}

bool HostFramework::stillWatching(PeerWatchId id) {
    return impl->transport.peerEnds().stillWatching(id);
}

bool HostFramework::mayWatchPeer(const std::string& channel) {
    return impl->transport.peerEnds().mayWatchPeer(channel);
}

void HostFramework::unwatchPeer(PeerWatchId id) {
    impl->transport.peerEnds().unwatch(id);
}

void HostFramework::post(std::function<void()> task) {
    impl->transport.post(std::move(task));
}

void HostFramework::disconnect(const std::string& channel) {
    impl->transport.disconnect(channel);
}

DeviceCalls& HostFramework::deviceCalls() {
    return impl->gateway;
}

void HostFramework::afterFramesInFlight(std::function<void()> work) {
    impl->router.afterFramesInFlight(std::move(work));
}

std::string HostFramework::getCallbackChannel(Executable* executable) {
    return impl->router.callbackChannelOf(executable);
}

Proxy* HostFramework::getProxy(const std::string& interfaceName, const std::string& remoteContext) {
    if (impl->proxies == nullptr ||
        !impl->transport.runtimeDirectory().isValidChannel(remoteContext)) {
        return nullptr;
    }
    return impl->proxies->proxyFor(interfaceName, remoteContext);
}

ProtocolAdapter* HostFramework::getProtocolAdapter(const std::string& protocol) {
    return protocol == BinaryProtocolAdapter::kProtocolName ? &impl->adapter : nullptr;
}

}  // namespace svcreg
