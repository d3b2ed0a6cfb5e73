#pragma once

#include <string>

#include "PendingReplies.h"
#include "Service.h"

namespace svcreg {

// A service that hands the text replies arriving on its channel to the requests waiting for
// them; a raw reply, which carries no request id, answers the one that has waited longest, and
// an error message refuses the request it names. Handling a message is quick, never waits, and
// is safe on any thread: a request waiting for its reply may handle it.
class ReplyInbox : public Service {
public:
    void init(Context&) override {}
    void shutdown() override {}
    void run() override {}
    void handleMsg(const char* data, int length, std::string sourceChannel,
                   CommsChannelIfc& channel, CommsChannelDataContainerMessage* message) override;

    // Expect a request before it is sent, then await its reply.
    PendingReplies& waiting() { return pending; }

private:
    PendingReplies pending;
};

}  // namespace svcreg
