#include "ReplyInbox.h"

#include "CommsChannelDataContainerMessage.h"

namespace svcreg {

void ReplyInbox::handleMsg(const char*, int, std::string, CommsChannelIfc&,
                           CommsChannelDataContainerMessage* message) {
    if (message == nullptr) return;
    int length = message->getDataLength();
    const char* data = message->getData(&length);
    Reply reply{message->requestId(),
                std::string(data != nullptr ? data : "",
                            length > 0 ? static_cast<std::size_t>(length) : 0)};
    {
        MutexLock lock(mutex);
        replies.push_back(std::move(reply));
    }
    arrived.notify_all();
}

bool ReplyInbox::await(long requestId, std::chrono::steady_clock::time_point deadline,
                       std::string& text) {
    MutexLock lock(mutex);
    for (;;) {
        while (!replies.empty()) {
            Reply reply = std::move(replies.front());
            replies.pop_front();
            if (reply.requestId == requestId || reply.requestId == 0) {
                text = std::move(reply.text);
                return true;
            }
        }
        if (arrived.wait_until(lock.native(), deadline) == std::cv_status::timeout &&
            replies.empty()) {
            return false;
        }
    }
}

}  // namespace svcreg
