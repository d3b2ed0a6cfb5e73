#include "SocketInvokerResponse.h"

#include "FrameCodec.h"
#include "HostLog.h"
#include "MethodBytes.h"
#include "Transport.h"

namespace svcreg {

SocketInvokerResponse::SocketInvokerResponse(Transport& transport,
                                             std::shared_ptr<Connection> caller,
                                             std::int64_t requestId, std::string protocol,
                                             std::string remoteContext, bool expectsReply,
                                             ProtocolAdapter& adapter,
                                             const AnswerParameters& added)
    : transport(transport),
      caller(std::move(caller)),
      requestId(requestId),
      protocol(std::move(protocol)),
      remoteContext(std::move(remoteContext)),
      adapter(adapter),
      added(added),
      replyDue(expectsReply) {}

namespace {

// The answer with what its callee added beside the result.
std::string withParameters(ProtocolAdapter& adapter, const std::string& answer,
                           const AnswerParameters& added) {
    Method reply;
    if (!decodeMethod(adapter, answer, reply)) return answer;
    for (const auto& [name, value] : added) reply.addStringParameter(name, value, Parameter::OUT);
    return encodeMethod(adapter, reply);
}

}  // namespace

SocketInvokerResponse::~SocketInvokerResponse() {
    if (replyDue) sendReply(nullptr, 0);
}

bool SocketInvokerResponse::sendReply(const char* data, int length) {
    if (!replyDue) return false;
    replyDue = false;
    Frame frame;
    frame.kind = Frame::Kind::Reply;
    frame.requestId = requestId;
    frame.protocol = protocol;
    if (data != nullptr && length > 0) frame.data.assign(data, static_cast<std::size_t>(length));
    if (!added.empty()) frame.data = withParameters(adapter, frame.data, added);
    SendResult result = transport.reply(*caller, frame);
    if (result == SendResult::TooLarge) {
        // An empty answer ends the caller's wait at once: the call had no answer to give.
        HOST_PEER_FAILURE(LogLimiter::aboutPeer(caller->credentials()),
                          "Answer to request %lld of %s is over the %zu-byte limit of a frame: an "
                          "empty one goes instead",
                          static_cast<long long>(requestId),
                          caller->credentials().describe().c_str(), kMaxFrameBodySize);
        frame.data.clear();
        result = transport.reply(*caller, frame);
    }
    if (result != SendResult::Queued) {
        HOST_TRACE(3, "Reply to request %lld not sent: the caller is gone or not reading",
                   static_cast<long long>(requestId));
    }
    return result == SendResult::Queued;
}

const std::string& SocketInvokerResponse::getProtocol() const {
    return protocol;
}

const std::string& SocketInvokerResponse::getRemoteContext() const {
    return remoteContext;
}

}  // namespace svcreg
