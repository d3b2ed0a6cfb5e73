#include "RegistrySession.h"

#include <unistd.h>

#include "CommsChannelDataContainerMessage.h"
#include "Invoker.h"
#include "Proxy.h"
#include "ServiceRegistryIfc.h"
#include "SocketCommsChannel.h"

namespace {

HostOptions hostOptionsFor(const ClientOptions& options) {
    HostOptions host;
    host.runtimeDirectory = options.runtimeDirectory;
    host.workerThreads = 1;
    host.requestTimeout = options.replyTimeout;
    return host;
}

}  // namespace

RegistrySession::RegistrySession(const ClientOptions& options)
    : options(options),
      channel("svcreg-client-" + std::to_string(getpid())),
      framework(hostOptionsFor(options)) {}

RegistrySession::~RegistrySession() {
    framework.stop();
}

bool RegistrySession::open(Executable* observer, std::string& error) {
    if (!library.load(options.library, error)) return false;
    if (!framework.bindChannel(channel, &inbox, error)) return false;
    if (observer != nullptr) {
        observerInvoker.reset(library.createServiceRegistryObserverInvoker());
        observerInvoker->initInvoker(&framework);
        framework.bindInvoker(channel, "ServiceRegistryObserverIfc", *observerInvoker, *observer);
    }
    proxyRequest = framework.makeProxyRequest(options.registryChannel, "ServiceRegistryIfc");
    proxy.reset(library.createServiceRegistryProxy());
    proxy->initProxy(*proxyRequest);
    framework.start();
    return true;
}

RegistrySession::Status RegistrySession::send(const std::string& text, long requestId) {
    CommsChannelDataContainerMessage message;
    message.setChannel(options.registryChannel);
    message.setRequestId(requestId);
    message.setData(text.data(), static_cast<int>(text.size()));
    return framework.commsChannel(channel)->send(message) == SendResult::Queued
               ? Status::Answered
               : Status::Unreachable;
}

RegistrySession::Status RegistrySession::ask(const std::string& text, std::string& reply) {
    const long requestId = nextRequestId++;
    const Status sent = send(text, requestId);
    if (sent != Status::Answered) return sent;
    const auto deadline = std::chrono::steady_clock::now() + options.replyTimeout;
    return inbox.await(requestId, deadline, reply) ? Status::Answered : Status::NoReply;
}

// The registry handles one sender's messages in order, so the answer to a lookup sent after
// the request means that the request has been handled.
RegistrySession::Status RegistrySession::tell(const std::string& text) {
    const Status sent = send(text, 0);
    if (sent != Status::Answered) return sent;
    std::string ignored;
    return ask("find:," + channel, ignored);
}

ServiceRegistryIfc& RegistrySession::remoteRegistry() {
    return dynamic_cast<ServiceRegistryIfc&>(*proxy);
}

RegistrySession::Status RegistrySession::lastRemoteStatus() const {
    switch (proxyRequest->lastOutcome()) {
        case SocketProxyRequest::Outcome::Answered:
            return Status::Answered;
        case SocketProxyRequest::Outcome::NoAnswer:
            return Status::NoReply;
        default:
            return Status::Unreachable;
    }
}

std::string RegistrySession::explain(Status status) const {
    if (status == Status::Unreachable) {
        return "no registry reachable at channel '" + options.registryChannel + "' in '" +
               options.runtimeDirectory + "'";
    }
    return "no reply from the registry at channel '" + options.registryChannel + "' within " +
           std::to_string(options.replyTimeout.count()) + " ms";
}
