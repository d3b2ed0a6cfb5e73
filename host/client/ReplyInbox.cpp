#include "ReplyInbox.h"

namespace svcreg {

void ReplyInbox::replyArrived(std::int64_t requestId, const std::string& interface,
                              std::string&& data) {
    if (interface == kErrorReplyInterface) {
        pending.refuse(requestId, std::move(data));
    } else if (requestId == 0) {
        pending.fulfilOldest(std::move(data));
    } else {
        pending.fulfil(requestId, nullptr, std::move(data));
    }
}

}  // namespace svcreg
