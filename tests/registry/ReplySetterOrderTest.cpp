// The order in which a reply container's setters are called is invisible in the container
// itself, so this binary defines the setters of CommsChannelDataContainerMessage again. The
// dynamic linker binds the registry library's calls to these definitions (the executable comes
// first in symbol lookup); each one notes its name and forwards to the framework's own.

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CommsChannelDataContainerMessage.h"
#include "RecordingChannel.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAre;

namespace {

std::vector<std::string>* setterJournal = nullptr;  // only the test's thread sets and reads it

// The framework's definition of a member, found by its Itanium ABI name.
template <typename... Args>
void forward(const char* name, const char* symbol, CommsChannelDataContainerMessage* self,
             Args... args) {
    if (setterJournal != nullptr) setterJournal->push_back(name);
    using Member = void (*)(CommsChannelDataContainerMessage*, Args...);
    auto member = reinterpret_cast<Member>(dlsym(RTLD_NEXT, symbol));
    ASSERT_NE(member, nullptr) << symbol;
    member(self, args...);
}

#define CONTAINER_SYMBOL(length, name, parameters) \
    "_ZN32CommsChannelDataContainerMessage" #length #name parameters
#define STRING_PARAMETER "ERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"

}  // namespace

void CommsChannelDataContainerMessage::setChannel(const std::string& value) {
    forward("channel", CONTAINER_SYMBOL(10, setChannel, STRING_PARAMETER), this, &value);
}
void CommsChannelDataContainerMessage::setSourceChannel(const std::string& value) {
    forward("source", CONTAINER_SYMBOL(16, setSourceChannel, STRING_PARAMETER), this, &value);
}
void CommsChannelDataContainerMessage::setInterface(const std::string& value) {
    forward("interface", CONTAINER_SYMBOL(12, setInterface, STRING_PARAMETER), this, &value);
}
void CommsChannelDataContainerMessage::setProtocol(const std::string& value) {
    forward("protocol", CONTAINER_SYMBOL(11, setProtocol, STRING_PARAMETER), this, &value);
}
void CommsChannelDataContainerMessage::setRemoteContext(const std::string& value) {
    forward("context", CONTAINER_SYMBOL(16, setRemoteContext, STRING_PARAMETER), this, &value);
}
void CommsChannelDataContainerMessage::setData(const char* data, int length) {
    forward("data", CONTAINER_SYMBOL(7, setData, "EPKci"), this, data, length);
}
void CommsChannelDataContainerMessage::setRequestId(long id) {
    forward("id", CONTAINER_SYMBOL(12, setRequestId, "El"), this, id);
}

TEST(ReplyContainers, SettersRunInTheOrderOfTheirKind) {
    ServiceRegistry registry;
    registry.registerSvcInterface("A", "c");
    RecordingChannel channel;
    CommsChannelDataContainerMessage request;
    request.setSourceChannel("src");
    request.setRemoteContext("ctx");
    request.setRequestId(9);

    const auto settersOf = [&](const std::string& text) {
        request.setData(text.data(), static_cast<int>(text.size()));
        std::vector<std::string> journal;
        setterJournal = &journal;
        registry.handleMsg(nullptr, 0, "", channel, &request);
        setterJournal = nullptr;
        return journal;
    };
    const auto registryReply =
        ElementsAre("context", "channel", "data", "protocol", "interface", "id");
    const auto plainReply = ElementsAre("channel", "data", "id");
    EXPECT_THAT(settersOf("find_svc_id:A"), registryReply);
    EXPECT_THAT(settersOf("get_service_details_list:"), registryReply);
    EXPECT_THAT(settersOf("find:A,x"), plainReply);
    EXPECT_THAT(settersOf("find_invoker:A,p"), plainReply);
    EXPECT_THAT(settersOf("find_proxy:A"), plainReply);
    EXPECT_EQ(channel.sent().size(), 5u);
    EXPECT_EQ(channel.sent()[0].remoteContext, "ctx");
}
