#include "RoutedCall.h"

#include <utility>

#include "Method.h"
#include "MethodBytes.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

RoutedCall::RoutedCall(Transport& transport, ProtocolAdapter& adapter, Connection& from,
                       const Frame& frame)
    : transport(transport), adapter(adapter), from(from), frame(frame) {}

const PeerCredentials& RoutedCall::peer() const {
    return from.credentials();
}

const std::string& RoutedCall::callbackChannel() const {
    return frame.remoteContext;
}

// Read again from the frame: the invoker that decoded the call keeps what it read to itself.
bool RoutedCall::asks(const std::string& flag) const {
    if (frame.kind != Frame::Kind::Call && frame.kind != Frame::Kind::OneWayCall) return false;
    Method request;
    bool asked = false;
    return decodeMethod(adapter, frame.data, request) &&
           request.getBoolParameter(flag, asked, Parameter::IN) && asked;
}

void RoutedCall::refuse(const std::string& reason) {
    if (frame.kind == Frame::Kind::Message) {
        sendError(reason);
    } else {
        addToAnswer(kRefusalParameter, reason);
    }
}

void RoutedCall::addToAnswer(std::string name, std::string value) {
    if (frame.kind == Frame::Kind::Call) added.emplace_back(std::move(name), std::move(value));
}

bool RoutedCall::ownsChannel(const std::string& channel) const {
    return transport.ownsChannel(from, channel);
}

// A caller on another device has no process here: it ends with the connection it called on,
// which its device's tunnel holds.
Result<PeerWatchId> RoutedCall::watchCaller(std::function<void()> gone) {
    if (from.credentials().isRemote()) {
        const PeerWatchId id = transport.peerEnds().watchConnection(from, std::move(gone));
        if (id == 0) return Outcome(Status::Refused, "it has closed");
        return Result<PeerWatchId>(Outcome(), id);
    }
    std::string why;
    const PeerWatchId id = transport.peerEnds().watchProcessOf(from, std::move(gone), why);
    if (id == 0) return Outcome(Status::Refused, why);
    return Result<PeerWatchId>(Outcome(), id);
}

// Back over the connection the message came in on, which is the way to its source: never to a
// channel the message merely names.
void RoutedCall::sendError(const std::string& reason) {
    if (frame.source.empty()) return;
    Frame error;
    error.kind = Frame::Kind::Message;
    error.requestId = frame.requestId;
    error.destination = frame.source;
    error.source = frame.destination;
    error.interface = kErrorReplyInterface;
    error.data = reason;
    transport.reply(from, error);
}

}  // namespace svcreg
