#include "RegistryRequests.h"

#include <algorithm>
#include <cstdlib>

#include "CommsChannelDataContainerMessage.h"
#include "Method.h"
#include "PendingReplies.h"
#include "Proxy.h"
#include "RegistryCallAnswers.h"
#include "RegistryTextProtocol.h"
#include "RetryWhileBusy.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryLibrary.h"
#include "ServiceRegistry/SocketProxyRequest.h"
#include "ServiceRegistryIfc.h"

namespace svcreg {

namespace {

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

RegistryRequests::RegistryRequests(const ClientOptions& options, const std::string& channel,
                                   HostFramework& framework, PendingReplies& waiting)
    : options(options), channel(channel), framework(framework), waiting(waiting) {}

RegistryRequests::~RegistryRequests() = default;

void RegistryRequests::makeProxy(RegistryLibrary& library) {
    proxyRequest = framework.makeProxyRequest(options.registryChannel, kRegistryInterface);
    proxy.reset(library.createServiceRegistryProxy());
    proxy->initProxy(*proxyRequest);
}

RegistryRequests::Deadline RegistryRequests::deadline() const {
    return std::chrono::steady_clock::now() + options.timeout;
}

ServiceRegistryIfc& RegistryRequests::registry(Deadline deadline) {
    proxyRequest->endCallsBy(deadline);
    return dynamic_cast<ServiceRegistryIfc&>(*proxy);
}

Outcome RegistryRequests::changed(bool answer) {
    const CallOutcome outcome = proxyRequest->lastOutcome();
    if (outcome != CallOutcome::Answered) return statusOf(outcome, true);
    return answer ? Outcome() : refused(proxyRequest->lastAnswer(kRefusalParameter));
}

Outcome RegistryRequests::refused(std::string reason) {
    return Outcome(ClientStatus::Refused, std::move(reason));
}

ServiceId RegistryRequests::registeredId() const {
    const std::string id = proxyRequest->lastAnswer(kServiceIdParameter);
    return id.empty() ? 0 : std::atoll(id.c_str());
}

Outcome RegistryRequests::sendExpectingReply(const std::string& text, long& requestId,
                                             Deadline deadline,
                                             const std::function<bool()>& answered) {
    // Relaxed: each caller only needs an id of its own, which any order of the increment gives.
    requestId = nextRequestId.fetch_add(1, std::memory_order_relaxed);
    waiting.expect(requestId);
    CommsChannelDataContainerMessage message;
    message.setChannel(options.registryChannel);
    message.setRequestId(requestId);
    message.setData(text.data(), static_cast<int>(text.size()));
    const Outcome sent = statusOf(retryWhileBusy(CallOutcome::Busy, deadline, [&] {
        return framework.sendAndAwait(channel, message, deadline, answered);
    }));
    if (sent != ClientStatus::Done) waiting.cancel(requestId);
    return sent;
}

// One deadline for the send, tried again while the registry is busy, and the reply.
Outcome RegistryRequests::ask(const std::string& command, std::string& reply, Deadline deadline) {
    long requestId;
    const Outcome sent = sendExpectingReply(command, requestId, deadline,
                                            [&] { return waiting.settled(requestId); });
    if (sent != ClientStatus::Done) return sent;
    switch (waiting.await(requestId, deadline, reply)) {
        case PendingReplies::Outcome::Answered:
            return ClientStatus::Done;
        case PendingReplies::Outcome::Refused:
            return refused(std::move(reply));
        case PendingReplies::Outcome::ConnectionLost:
            return ClientStatus::ConnectionLost;
        case PendingReplies::Outcome::TimedOut:
            break;
    }
    return ClientStatus::NoReply;
}

// The registry handles one sender's messages in order, so the answer to a lookup sent after
// the command means that the command has been handled, and a refusal of it has come. The
// command and the lookup share the deadline.
Outcome RegistryRequests::tell(const std::string& command, Deadline deadline) {
    long requestId;
    // Nothing to read for the command itself: its refusal, if any, comes before the find's reply.
    const Outcome sent = sendExpectingReply(command, requestId, deadline, [] { return true; });
    if (sent != ClientStatus::Done) return sent;
    std::string reply;
    const Outcome handled = ask(std::string(RegistryText::kFind) + ":," + channel, reply, deadline);
    if (waiting.await(requestId, std::chrono::steady_clock::now(), reply) ==
        PendingReplies::Outcome::Refused) {
        return refused(std::move(reply));
    }
    return handled == ClientStatus::Done ? ClientStatus::Done : ClientStatus::Unconfirmed;
}

Outcome RegistryRequests::commaProblem(const std::string& what) {
    return Outcome(ClientStatus::Invalid,
                   what + " cannot go in a text request, whose arguments are separated by commas");
}

Outcome RegistryRequests::textArgumentsProblem(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument.find(',') != std::string::npos) return commaProblem("'" + argument + "'");
    }
    return Outcome();
}

Outcome RegistryRequests::lookUp(const std::string& word, const std::vector<std::string>& arguments,
                                 const std::function<bool(const std::string& reply)>& take,
                                 const std::function<Outcome()>& whole, Deadline deadline) {
    const Outcome valid = textArgumentsProblem(arguments);
    if (!valid) return valid;
    std::string command = word + ":";
    for (std::size_t i = 0; i < arguments.size(); ++i)
        command += (i == 0 ? "" : ",") + arguments[i];
    std::string reply;
    const Outcome asked = ask(command, reply, deadline);
    if (asked != ClientStatus::Done) return asked;
    if (!take(reply)) return ClientStatus::NotFound;
    return whole && reply.size() >= RegistryText::kLongestReply ? whole() : Outcome();
}

Outcome RegistryRequests::call(const char* interfaceName, Method& request, Method& reply,
                               Deadline deadline) {
    return statusOf(framework.call(options.registryChannel, interfaceName, channel, request, reply,
                                   std::min(deadline, this->deadline())));
}

Outcome RegistryRequests::call(const char* interfaceName, const char* method, Method& reply,
                               Deadline deadline) {
    Method request(method, Method::REQUEST);
    return call(interfaceName, request, reply, deadline);
}

}  // namespace svcreg
