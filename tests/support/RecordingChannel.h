#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"

// One send through a RecordingChannel.
struct SentMessage {
    bool raw;  // sent with sendData: no container fields
    std::string channel;
    std::string data;
    long requestId;
    std::string remoteContext;
    std::string protocol;
    std::string interface;
};

// Records every send, container or raw, in order, from any thread.
class RecordingChannel final : public CommsChannelIfc {
public:
    bool sendMessage(CommsChannelDataContainerMessage* message) override {
        int length = message->getDataLength();
        const char* data = message->getData(&length);
        record({false, message->channel(), std::string(data, length), message->requestId(),
                message->remoteContext(), message->protocol(), message->interface()});
        return true;
    }

    bool sendData(const std::string& channel, const char* data, int length) override {
        record({true, channel, std::string(data, length), 0, {}, {}, {}});
        return true;
    }

    std::vector<SentMessage> sent() const {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }

    // Each send as one line: "raw x 'list:'" or "x 'found:c' #7 ctx '' protocol '' ifc ''".
    std::vector<std::string> lines() const {
        std::vector<std::string> described;
        for (const SentMessage& m : sent()) {
            described.push_back(m.raw ? "raw " + m.channel + " '" + m.data + "'"
                                      : m.channel + " '" + m.data + "' #" +
                                            std::to_string(m.requestId) + " ctx '" +
                                            m.remoteContext + "' protocol '" + m.protocol +
                                            "' ifc '" + m.interface + "'");
        }
        return described;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        messages.clear();
    }

private:
    void record(SentMessage message) {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(std::move(message));
    }

    mutable std::mutex mutex;  // guards messages
    std::vector<SentMessage> messages;
};
