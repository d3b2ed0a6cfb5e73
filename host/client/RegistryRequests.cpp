#include "RegistryRequests.h"

#include <algorithm>

#include "CommsChannelDataContainerMessage.h"
#include "Method.h"
#include "PendingReplies.h"
#include "RegistryCallAnswers.h"
#include "RegistryTextProtocol.h"
#include "RetryWhileBusy.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/SocketProxyRequest.h"
#include "TextReplies.h"

namespace svcreg {

namespace {

// A change that went out unanswered may have been made.
// The framework's reasons are not the client's: it explains each status itself.
Status statusOf(const Outcome& outcome, bool changes = false) {
    switch (outcome.status()) {
        case Status::Done:
        case Status::Forbidden:
        case Status::Untrusted:
            return outcome.status();
        case Status::NoReply:
        case Status::ConnectionLost:
            return changes ? Status::Unconfirmed : outcome.status();
        default:
            return Status::Unreachable;
    }
}

}  // namespace

RegistryRequests::RegistryRequests(const ClientOptions& options, const std::string& channel,
                                   HostFramework& framework, PendingReplies& waiting)
    : options(options), channel(channel), framework(framework), waiting(waiting) {}

RegistryRequests::~RegistryRequests() = default;

RegistryRequests::Deadline RegistryRequests::deadline() const {
    return std::chrono::steady_clock::now() + options.timeout;
}

Outcome RegistryRequests::change(Method& request, Method& reply, Deadline deadline) {
    const Outcome called =
        statusOf(framework.call(options.registryChannel, kRegistryInterface, channel, request,
                                reply, std::min(deadline, this->deadline())),
                 true);
    if (!called) return called;
    bool made = false;
    reply.getBoolParameter("result", made, Parameter::OUT);
    if (made) return Outcome();
    std::string refusal;
    reply.getStringParameter(kRefusalParameter, refusal, Parameter::OUT);
    return refused(std::move(refusal));
}

Outcome RegistryRequests::change(Method& request, Deadline deadline) {
    Method reply;
    return change(request, reply, deadline);
}

Outcome RegistryRequests::changeCreator(const char* method,
                                        const std::array<std::string, 4>& inputs,
                                        Deadline deadline) {
    static constexpr const char* kInputs[] = {"lib", "creatorFn", "ifc", "protocol"};
    Method request(method, Method::REQUEST);
    for (std::size_t i = 0; i < inputs.size(); ++i)
        request.addStringParameter(kInputs[i], inputs[i], Parameter::IN);
    return change(request, deadline);
}

Outcome RegistryRequests::refused(std::string reason) {
    return Outcome(Status::Refused, std::move(reason));
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
    const Outcome sent = statusOf(retryWhileBusy(Status::Busy, deadline, [&] {
        return framework.sendAndAwait(channel, message, deadline, answered);
    }));
    if (sent != Status::Done) waiting.cancel(requestId);
    return sent;
}

// One deadline for the send, tried again while the registry is busy, and the reply.
Outcome RegistryRequests::ask(const std::string& command, std::string& reply, Deadline deadline) {
    long requestId;
    const Outcome sent = sendExpectingReply(command, requestId, deadline,
                                            [&] { return waiting.settled(requestId); });
    if (sent != Status::Done) return sent;
    switch (waiting.await(requestId, deadline, reply)) {
        case PendingReplies::WaitEnd::Answered:
            return Status::Done;
        case PendingReplies::WaitEnd::Refused:
            return refused(std::move(reply));
        case PendingReplies::WaitEnd::ConnectionLost:
            return Status::ConnectionLost;
        case PendingReplies::WaitEnd::TimedOut:
            break;
    }
    return Status::NoReply;
}

// The registry handles one sender's messages in order, so the answer to a lookup sent after
// the command means that the command has been handled, and a refusal of it has come. The
// command and the lookup share the deadline.
Outcome RegistryRequests::tell(const std::string& command, Deadline deadline) {
    long requestId;
    // Nothing to read for the command itself: its refusal, if any, comes before the find's reply.
    const Outcome sent = sendExpectingReply(command, requestId, deadline, [] { return true; });
    if (sent != Status::Done) return sent;
    std::string reply;
    const Outcome handled = ask(std::string(RegistryText::kFind) + ":," + channel, reply, deadline);
    if (waiting.await(requestId, std::chrono::steady_clock::now(), reply) ==
        PendingReplies::WaitEnd::Refused) {
        return refused(std::move(reply));
    }
    return handled == Status::Done ? Status::Done : Status::Unconfirmed;
}

Outcome RegistryRequests::commaProblem(const std::string& what) {
    return Outcome(Status::Invalid,
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
    if (asked != Status::Done) return asked;
    if (!take(reply)) {
        if (isNotFoundReply(reply)) return Status::NotFound;
        return refused("the registry's reply to '" + command + "' is malformed: '" + reply + "'");
    }
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
