#include "LoopbackInvokerResponse.h"

#include <utility>

LoopbackInvokerResponse::LoopbackInvokerResponse(std::string protocol, std::string remoteContext,
                                                 std::string* reply)
    : protocol(std::move(protocol)), remoteContext(std::move(remoteContext)), reply(reply) {}

bool LoopbackInvokerResponse::sendReply(const char* data, int length) {
    if (reply == nullptr || data == nullptr || length < 0) return false;
    reply->assign(data, static_cast<size_t>(length));
    return true;
}

const std::string& LoopbackInvokerResponse::getProtocol() const {
    return protocol;
}

const std::string& LoopbackInvokerResponse::getRemoteContext() const {
    return remoteContext;
}
