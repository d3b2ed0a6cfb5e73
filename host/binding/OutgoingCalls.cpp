#include "OutgoingCalls.h"

#include "FrameCodec.h"
#include "HostLog.h"
#include "Method.h"
#include "PooledStream.h"
#include "RetryWhileBusy.h"

namespace svcreg {

Outcome outcomeOf(SendResult result, const std::string& channel) {
    const std::string at = "channel '" + channel + "'";
    switch (result) {
        case SendResult::Queued:
            return Outcome();
        case SendResult::Gone:
            return Outcome(Status::Unreachable, "nobody serves " + at);
        case SendResult::Busy:
            return Outcome(Status::Busy, "the process serving " + at + " does not keep up");
        case SendResult::Forbidden:
            return Outcome(Status::Forbidden, "access to the socket of " + at + " is denied");
        case SendResult::Untrusted:
            return Outcome(Status::Untrusted, "the process serving " + at + " is not trusted");
        case SendResult::TooLarge:
            return Outcome(Status::Refused, "too large for a frame, to " + at);
        case SendResult::Foreign:
            return Outcome(Status::Refused, at + " is not the asker's own");
        case SendResult::Refused:
            break;
    }
    return Outcome(Status::Refused, at + " cannot be sent to");
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

Outcome OutgoingCalls::call(Frame& frame, Method& request, Method& reply,
                            std::chrono::steady_clock::time_point deadline) {
    if (Transport::onTransportThread()) {
        HOST_FAILURE("'%s' called from a handler: refused, as its reply could never be read",
                     request.getName().c_str());
        return Outcome(Status::Refused, "called from a handler, where no reply can be read");
    }
    frame.kind = Frame::Kind::Call;
    if (!encode(request, frame)) return outcomeOf(SendResult::TooLarge, frame.destination);
    // Relaxed: each call only needs an id of its own, which the increment gives in any order;
    // the reply is matched through pending, under its lock.
    frame.requestId = nextRequestId.fetch_add(1, std::memory_order_relaxed);
    pending.expect(frame.requestId);
    Transport::ReplyReading reading(transport, frame.destination);
    std::shared_ptr<Connection> via;
    // Attached before the call goes: no other connection's reply is taken meanwhile.
    const auto attach = [&](const Connection& to) { pending.attach(frame.requestId, to); };
    const SendResult sent = retryWhileBusy(
        SendResult::Busy, deadline, [&] { return transport.send(frame, &via, nullptr, attach); });
    if (sent != SendResult::Queued) {
        pending.cancel(frame.requestId);
        return outcomeOf(sent, frame.destination);
    }
    const PeerEnds::WatchId hangUp = transport.peerEnds().watchConnection(
        *via, [this, id = frame.requestId] { pending.lost(id); });
    if (hangUp == 0) pending.lost(frame.requestId);
    reading.readUntil(via, deadline, [&] { return pending.settled(frame.requestId); });
    std::string answer;
    const PendingReplies::WaitEnd end = pending.await(frame.requestId, deadline, answer);
    transport.peerEnds().unwatch(hangUp);
    if (end == PendingReplies::WaitEnd::ConnectionLost) {
        return Outcome(Status::ConnectionLost, "the connection to channel '" + frame.destination +
                                                   "' closed before the answer to '" +
                                                   request.getName() + "' came");
    }
    if (end != PendingReplies::WaitEnd::Answered) {
        return Outcome(Status::NoReply, "no answer to '" + request.getName() +
                                            "' came from channel '" + frame.destination +
                                            "' in time");
    }
    // An empty answer means the invoker had none to give: the reply stays empty.
    PooledStream received(answer.data(), answer.size());
    if (!answer.empty() && !adapter.decode(received.get(), reply)) {
        HOST_FAILURE("Undecodable answer to '%s' from channel '%s'", request.getName().c_str(),
                     frame.destination.c_str());
    }
    return Outcome();
}

Outcome OutgoingCalls::sendOneWay(Frame& frame, Method& request) {
    frame.kind = Frame::Kind::OneWayCall;
    if (!encode(request, frame)) return outcomeOf(SendResult::TooLarge, frame.destination);
    return outcomeOf(transport.send(frame), frame.destination);
}

void OutgoingCalls::replyArrived(const Connection& from, Frame& frame) {
    pending.fulfil(frame.requestId, &from, std::move(frame.data));
}

}  // namespace svcreg
