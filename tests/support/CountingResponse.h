#pragma once

#include <string>

#include "BinaryProtocolAdapter.h"
#include "Invoker.h"
#include "InvokerResponse.h"

// What invokers did with the responses handed to them.
struct ResponseLog {
    int deletions = 0;
    int replies = 0;
    std::string reply;  // the bytes of the last reply
};

// A response that records its replies and its deletion in a log that outlives it.
class CountingResponse final : public InvokerResponse {
public:
    explicit CountingResponse(ResponseLog& log,
                              std::string protocol = BinaryProtocolAdapter::kProtocolName,
                              std::string remoteContext = "")
        : log(log), protocol(std::move(protocol)), remoteContext(std::move(remoteContext)) {}
    ~CountingResponse() override { ++log.deletions; }

    bool sendReply(const char* data, int length) override {
        ++log.replies;
        log.reply.assign(data, length);
        return true;
    }
    const std::string& getProtocol() const override { return protocol; }
    const std::string& getRemoteContext() const override { return remoteContext; }

private:
    ResponseLog& log;
    const std::string protocol;
    const std::string remoteContext;
};

// Hands bytes to invoker as the framework would, with a response that records into log.
inline void handOver(Invoker& invoker, Executable* executable, const std::string& bytes,
                     ResponseLog& log,
                     const std::string& protocol = BinaryProtocolAdapter::kProtocolName,
                     const std::string& remoteContext = "") {
    invoker.handleMessage(executable, bytes.data(), static_cast<int>(bytes.size()),
                          new CountingResponse(log, protocol, remoteContext));
}
