#pragma once

#include <cstdint>
#include <string>

#include "PendingReplies.h"
#include "ServiceRegistry/HostFramework.h"

namespace svcreg {

// Hands the text replies arriving on the client's channel to the requests waiting for them; a
// raw reply, which carries no request id, answers the one that has waited longest, and an error
// message refuses the request it names. Quick, never waiting and safe on any thread: a request
// waiting for its reply may hand it over itself.
class ReplyInbox : public ReplySink {
public:
    void replyArrived(std::int64_t requestId, const std::string& interface,
                      std::string&& data) override;

    // Expect a request before it is sent, then await its reply.
    PendingReplies& waiting() { return pending; }

private:
    PendingReplies pending;
};

}  // namespace svcreg
