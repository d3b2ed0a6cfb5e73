#include "OutgoingCalls.h"

#include "FrameCodec.h"
#include "HostLog.h"
#include "Method.h"
#include "PooledStream.h"
#include "RetryWhileBusy.h"

namespace svcreg {

CallOutcome outcomeOf(SendResult result) {
    switch (result) {
        case SendResult::Queued:
            return CallOutcome::Answered;
        case SendResult::Gone:
            return CallOutcome::Gone;
        case SendResult::Busy:
            return CallOutcome::Busy;
        case SendResult::Forbidden:
            return CallOutcome::Forbidden;
        case SendResult::Untrusted:
            return CallOutcome::Untrusted;
        case SendResult::Refused:
        case SendResult::TooLarge:
        case SendResult::Foreign:
            break;
    }
    return CallOutcome::Refused;
}

OutgoingCalls::OutgoingCalls(Transport& transport, BinaryProtocolAdapter& adapter,
                             std::chrono::milliseconds timeout)
    : transport(transport), adapter(adapter), timeout(timeout) {}

bool OutgoingCalls::encode(Method& method, Frame& frame) {
    PooledStream encoded;
    adapter.encode(method, encoded.get());
    frame.data = encoded.get().str();
    frame.protocol = BinaryProtocolAdapter::kProtocolName;
    return frame.data.size() <= kMaxFrameBodySize;
}

CallOutcome OutgoingCalls::call(Frame& frame, Method& request, Method& reply,
                                std::chrono::steady_clock::time_point deadline) {
    if (Transport::onTransportThread()) {
        HOST_FAILURE("'%s' called from a handler: refused, as its reply could never be read",
                     request.getName().c_str());
        return CallOutcome::Refused;
    }
    frame.kind = Frame::Kind::Call;
    if (!encode(request, frame)) return CallOutcome::Refused;
    frame.requestId = nextRequestId++;
    pending.expect(frame.requestId);
    Transport::ReplyReading reading(transport, frame.destination);
    std::shared_ptr<Connection> via;
    const SendResult sent =
        retryWhileBusy(SendResult::Busy, deadline, [&] { return transport.send(frame, &via); });
    if (sent != SendResult::Queued) {
        pending.cancel(frame.requestId);
        return outcomeOf(sent);
    }
    pending.attach(frame.requestId, *via);
    const PeerEnds::WatchId hangUp = transport.peerEnds().watchConnection(
        *via, [this, id = frame.requestId] { pending.lost(id); });
    if (hangUp == 0) pending.lost(frame.requestId);
    reading.readUntil(via, deadline, [&] { return pending.settled(frame.requestId); });
    std::string answer;
    const PendingReplies::WaitEnd end = pending.await(frame.requestId, deadline, answer);
    transport.peerEnds().unwatch(hangUp);
    if (end != PendingReplies::WaitEnd::Answered) return CallOutcome::NoAnswer;
    // An empty answer means the invoker had none to give: the reply stays empty.
    PooledStream received(answer.data(), answer.size());
    if (!answer.empty() && !adapter.decode(received.get(), reply)) {
        HOST_FAILURE("Undecodable answer to '%s' from channel '%s'", request.getName().c_str(),
                     frame.destination.c_str());
    }
    return CallOutcome::Answered;
}

CallOutcome OutgoingCalls::sendOneWay(Frame& frame, Method& request) {
    frame.kind = Frame::Kind::OneWayCall;
    if (!encode(request, frame)) return CallOutcome::Refused;
    return outcomeOf(transport.send(frame));
}

void OutgoingCalls::replyArrived(const Connection& from, Frame& frame) {
    pending.fulfil(frame.requestId, &from, std::move(frame.data));
}

}  // namespace svcreg
