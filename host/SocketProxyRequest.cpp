#include "SocketProxyRequest.h"

#include "HostFramework.h"
#include "HostLog.h"
#include "Method.h"

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
    Frame frame;
    frame.kind = Frame::Kind::Call;
    frame.destination = destinationChannel;
    frame.remoteContext = remoteContext;
    frame.interface = interfaceName;
    outcome = framework.call(frame, request, reply);
    return outcome == Outcome::Answered;
}

// Never waits: a peer that does not keep up loses the request, and one that is gone is
// reported to the framework, which forgets what it keeps for that peer.
bool SocketProxyRequest::sendOneWay(Method& request) {
    Frame frame;
    frame.kind = Frame::Kind::OneWayCall;
    frame.destination = destinationChannel;
    frame.interface = interfaceName;
    const SendResult result = framework.sendOneWay(frame, request);
    if (result == SendResult::Queued) {
        outcome = Outcome::Answered;
        return true;
    }
    // Logged when the losses begin, not once per lost request.
    const Outcome previous =
        outcome.exchange(result == SendResult::Refused ? Outcome::Refused : Outcome::Unreachable);
    if (previous == Outcome::Answered) {
        HOST_FAILURE("'%s' to channel '%s' lost: %s", request.getName().c_str(),
                     destinationChannel.c_str(),
                     result == SendResult::Gone   ? "the peer is gone"
                     : result == SendResult::Busy ? "the peer does not keep up"
                                                  : "refused");
    }
    if (result == SendResult::Gone) framework.peerGone(destinationChannel);
    return false;
}
