#pragma once

#include <string>
#include <vector>

#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"

// Records each send as one line, "raw x 'list:'" or "x 'found:c' #7 ctx '' protocol '' ifc ''",
// and its bytes.
class RecordingChannel final : public CommsChannelIfc {
public:
    bool sendMessage(CommsChannelDataContainerMessage* message) override {
        int length = message->getDataLength();
        data.emplace_back(message->getData(&length), length);
        lines.push_back(message->channel() + " '" + data.back() + "' #" +
                        std::to_string(message->requestId()) + " ctx '" + message->remoteContext() +
                        "' protocol '" + message->protocol() + "' ifc '" + message->interface() +
                        "'");
        return true;
    }
    bool sendData(const std::string& channel, const char* bytes, int length) override {
        data.emplace_back(bytes, length);
        lines.push_back("raw " + channel + " '" + data.back() + "'");
        return true;
    }

    std::vector<std::string> lines, data;
};
