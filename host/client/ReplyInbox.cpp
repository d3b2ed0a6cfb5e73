#include "ReplyInbox.h"

#include "CommsChannelDataContainerMessage.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

void ReplyInbox::handleMsg(const char*, int, std::string, CommsChannelIfc&,
                           CommsChannelDataContainerMessage* message) {
    if (message == nullptr) return;
    int length = message->getDataLength();
    const char* data = message->getData(&length);
    std::string text(data != nullptr ? data : "",
                     length > 0 ? static_cast<std::size_t>(length) : 0);
    if (message->interface() == kErrorReplyInterface) {
        pending.refuse(message->requestId(), std::move(text));
    } else if (message->requestId() == 0) {
        pending.fulfilOldest(std::move(text));
    } else {
        pending.fulfil(message->requestId(), nullptr, std::move(text));
    }
}

}  // namespace svcreg
