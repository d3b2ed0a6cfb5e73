#include "ServiceRegistry/SocketProxyRequest.h"

#include "HostLog.h"
#include "Method.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

namespace {

const char* lossReason(CallOutcome outcome) {
    switch (outcome) {
        case CallOutcome::Gone:
            return "the peer is gone";
        case CallOutcome::Busy:
            return "the peer does not keep up";
        default:
            return "refused";
    }
}

}  // namespace

SocketProxyRequest::SocketProxyRequest(HostFramework& framework, std::string destination,
                                       std::string interface)
    : ProxyRequest(&framework),
      framework(framework),
      destinationChannel(std::move(destination)),
      interfaceName(std::move(interface)) {}

bool SocketProxyRequest::sendRequest(Method& request, Method& reply) {
    return call(request, reply, std::string());
}

bool SocketProxyRequest::sendRequestWithCallback(Method& request, Method& reply,
                                                 const std::string& callbackChannel) {
    return call(request, reply, callbackChannel);
}

bool SocketProxyRequest::call(Method& request, Method& reply, const std::string& remoteContext) {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    {
        MutexLock hold(mutex);
        deadline = callDeadline;
    }
    outcome =
        deadline ? framework.call(destinationChannel, interfaceName, remoteContext, request, reply,
                                  *deadline)
                 : framework.call(destinationChannel, interfaceName, remoteContext, request, reply);
    MutexLock hold(mutex);
    answer = outcome == CallOutcome::Answered ? reply : Method();
    return outcome == CallOutcome::Answered;
}

void SocketProxyRequest::endCallsBy(std::chrono::steady_clock::time_point deadline) {
    MutexLock hold(mutex);
    callDeadline = deadline;
}

std::string SocketProxyRequest::lastAnswer(const std::string& name) const {
    std::string value;
    MutexLock hold(mutex);
    answer.getStringParameter(name, value, Parameter::OUT);
    return value;
}

// Never waits: a peer that does not keep up loses the request.
bool SocketProxyRequest::sendOneWay(Method& request) {
    const CallOutcome result = framework.sendOneWay(destinationChannel, interfaceName, request);
    // Logged when the losses begin, not once per lost request.
    const CallOutcome previous = outcome.exchange(result);
    if (result != CallOutcome::Answered && previous == CallOutcome::Answered) {
        HOST_PEER_FAILURE(destinationChannel, "'%s' to channel '%s' lost: %s",
                          request.getName().c_str(), destinationChannel.c_str(),
                          lossReason(result));
    }
    return result == CallOutcome::Answered;
}

}  // namespace svcreg
