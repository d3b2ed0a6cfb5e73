#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <string>

#include "Mutex.h"
#include "Service.h"

namespace svcreg {

// A service that keeps the text replies arriving on its channel until they are awaited.
class ReplyInbox : public Service {
public:
    void init(Context&) override {}
    void shutdown() override {}
    void run() override {}
    void handleMsg(const char* data, int length, std::string sourceChannel,
                   CommsChannelIfc& channel, CommsChannelDataContainerMessage* message) override;

    // Waits for the reply to requestId; a raw reply, which carries no request id, answers any.
    // Replies to other requests are dropped.
    bool await(long requestId, std::chrono::steady_clock::time_point deadline, std::string& text);

private:
    struct Reply {
        long requestId;
        std::string text;
    };

    Mutex mutex;  // guards replies
    std::condition_variable arrived;
    std::deque<Reply> replies TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
