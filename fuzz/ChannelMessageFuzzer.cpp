// Feeds arbitrary bytes as the data of a message on the registry's channel to handleMsg, on a
// fresh registry holding a few entries, so that every input runs from the same state.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"
#include "FuzzSupport.h"
#include "ServiceRegistry.h"

namespace {

constexpr size_t kLongestFormattedReply = 99;

// Copies whatever it is sent, so that the sanitizers see every byte read, and stops the run
// when a formatted reply (any but the details list) is longer than its buffer allows.
class CheckingChannel final : public CommsChannelIfc {
public:
    bool sendMessage(CommsChannelDataContainerMessage* message) override {
        int length = message->getDataLength();
        const std::string data(message->getData(&length), length);
        const bool formatted = data.rfind("service_details_list:", 0) != 0;
        if (formatted && data.size() > kLongestFormattedReply) std::abort();
        return !(message->channel() + data).empty();
    }
    bool sendData(const std::string& channel, const char* data, int length) override {
        if (static_cast<size_t>(length) > kLongestFormattedReply) std::abort();
        return !(channel + std::string(data, length)).empty();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    logEverythingQuietly();
    if (size > INT_MAX) return 0;

    ServiceRegistry registry;
    addFewEntries(registry);

    CommsChannelDataContainerMessage message;
    message.setSourceChannel("src");
    message.setRemoteContext("ctx");
    message.setRequestId(1);
    message.setData(reinterpret_cast<const char*>(data), static_cast<int>(size));
    CheckingChannel channel;
    registry.handleMsg(nullptr, 0, std::string(), channel, &message);
    return 0;
}
