#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "BinaryProtocolAdapter.h"
#include "Connection.h"
#include "Frame.h"
#include "PendingReplies.h"
#include "ServiceRegistry/Outcome.h"
#include "Transport.h"

class Method;

namespace svcreg {

// How a call to channel whose send ended with result ends, and why; Done for one sent.
Outcome outcomeOf(SendResult result, const std::string& channel);

// Method calls from this process to others: encodes them with the binary adapter, sends them
// and matches the answers to the callers waiting for them.
class OutgoingCalls {
public:
    OutgoingCalls(Transport& transport, BinaryProtocolAdapter& adapter,
                  std::chrono::milliseconds timeout);

    // frame names destination, interface and remote context; waits for the answer until
    // deadline, retries of a busy peer included.
    Outcome call(Frame& frame, Method& request, Method& reply,
                 std::chrono::steady_clock::time_point deadline);
    // The deadline of a call that starts now and waits the timeout.
    std::chrono::steady_clock::time_point deadline() const {
        return std::chrono::steady_clock::now() + timeout;
    }
    // Done once the request is on its way.
    Outcome sendOneWay(Frame& frame, Method& request);

    void replyArrived(const Connection& from, Frame& frame);

private:
    bool encode(Method& method, Frame& frame);

    Transport& transport;
    BinaryProtocolAdapter& adapter;
    const std::chrono::milliseconds timeout;
    PendingReplies pending;
    std::atomic<std::int64_t> nextRequestId{1};
};

}  // namespace svcreg
