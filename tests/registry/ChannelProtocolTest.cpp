// The registry's text commands on its channel: what each answers, and where. That changes are
// never answered is ChannelRegistration's; that formatted replies are cut after 99 characters is
// the channel message fuzzer's and RegistryClient.LookupsOverTextCommandsGiveWholeNamesOrFail's,
// and that the details list is not, Attack.ADetailsListTooLargeForAFrameIsAnsweredWithAnError's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CommsChannelDataContainerMessage.h"
#include "RecordingChannel.h"
#include "RegistryViews.h"
#include "ServiceRegistry.h"

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// Hands text to the registry as the framework would: in a container from sourceChannel, with
// remote context "ctx" and request id 7. The first three arguments carry a decoy request that
// the registry must not read.
void deliver(ServiceRegistry& registry, RecordingChannel& channel, const std::string& text,
             const std::string& sourceChannel = "src") {
    CommsChannelDataContainerMessage message;
    message.setSourceChannel(sourceChannel);
    message.setRemoteContext("ctx");
    message.setRequestId(7);
    message.setData(text.data(), static_cast<int>(text.size()));
    const std::string decoy = "find:A,decoy";
    registry.handleMsg(decoy.data(), static_cast<int>(decoy.size()), "decoy", channel, &message);
}

std::string plainReply(const std::string& to, const std::string& text) {
    return to + " '" + text + "' #7 ctx '' protocol '' ifc ''";
}

std::string registryReply(const std::string& to, const std::string& text) {
    return to + " '" + text + "' #7 ctx 'ctx' protocol 'svc_reg_protocol' ifc 'ServiceRegistryIfc'";
}

struct Exchange {
    std::string request;
    std::vector<std::string> replies;
    std::string source = "src";
};

}  // namespace

TEST(ChannelCommands, EachCommandRepliesWithItsTextToItsDestination) {
    ServiceRegistry registry;
    addSampleEntries(registry);
    RecordingChannel channel;
    const std::vector<Exchange> exchanges = {
        {"find:A,x", {plainReply("x", "found:c")}},
        {"find:Z,x", {plainReply("x", "notfound:Z")}},
        {"find:A:b,x", {plainReply("x", "notfound:A:b")}},
        {"find:A,x\n", {plainReply("x\n", "found:c")}},
        {"find:A,x,more", {plainReply("x", "found:c")}},
        {"find:A", {}},
        {"find:A,", {}},
        {"find_svc_id:A", {registryReply("src", "found_svc_id:1")}},
        {"find_svc_id:B,ignored", {registryReply("src", "found_svc_id:3")}},
        {"find_svc_id:Z", {registryReply("src", "svc_id_not_found:Z")}},
        {"find_svc_id:", {}},
        {"getlist:A,x", {"raw x 'list:c,c2'"}},
        {"getlist:Z,x", {"raw x 'list:'"}},
        {"getlist:A", {}},
        {"get_service_details_list:",
         {registryReply("src", "service_details_list:(A,1,c),(A,2,c2),(B,3,d)")}},
        {"find_invoker:IfcX,protoY", {plainReply("src", "found_invoker:libA,createA")}},
        {"find_invoker:IfcX,protoZ", {plainReply("src", "notfound:IfcX")}},
        {"find_proxy:IfcX", {plainReply("src", "found_proxy:libP,createP")}},
        {"find_proxy:Nope,x", {plainReply("src", "notfound:Nope")}},
        // An empty source channel silences only the replies of the registry interface.
        {"find_svc_id:A", {}, ""},
        {"get_service_details_list:", {}, ""},
        {"find_proxy:IfcX", {plainReply("", "found_proxy:libP,createP")}, ""},
        {"find_invoker:IfcX,protoY", {plainReply("", "found_invoker:libA,createA")}, ""},
        {"find:A,x", {plainReply("x", "found:c")}, ""},
        // Command words match whole, byte for byte, and only before the first colon.
        {"get_service_details_list", {}},
        {"FIND:A,x", {}},
        {"find :A,x", {}},
        {" find:A,x", {}},
        {"fin:A,x", {}},
        {":A,x", {}},
        {"", {}},
        // Malformed data is dropped; a megabyte of commas after a command, served with its first
        // fields.
        {std::string(1 << 20, 'x'), {}},
        {std::string(1 << 20, ','), {}},
        {std::string(64, '\0'), {}},
        {std::string("\xc3\x28\xff", 3), {}},
        {std::string("find\0:A,x", 9), {}},
        {"find:A,x" + std::string(1 << 20, ','), {plainReply("x", "found:c")}},
        // Changes are never answered; missing fields read as empty, extra ones are ignored, and a
        // deregistration removes the names it lists at its channel only.
        {"reg:C D,e", {}},
        {"reg:C,f", {}},
        {"dereg:C D,e", {}},
        {"getlist:C,x", {"raw x 'list:f'"}},
        {"getlist:D,x", {"raw x 'list:'"}},
        {"reg_invoker:libA,createA,IfcZ,protoY,extra,more", {}},
        {"find_invoker:IfcZ,protoY", {plainReply("src", "found_invoker:libA,createA")}},
        {"reg_invoker:libB,createB,IfcY", {}},
        {"find_invoker:IfcY", {plainReply("src", "found_invoker:libB,createB")}},
        {"reg_proxy:libC,createC", {}},
        {"find_proxy:", {plainReply("src", "found_proxy:libC,createC")}},
    };
    for (const Exchange& exchange : exchanges) {
        SCOPED_TRACE(exchange.request.substr(0, 40));
        channel.lines.clear();
        deliver(registry, channel, exchange.request, exchange.source);
        EXPECT_THAT(channel.lines, ElementsAreArray(exchange.replies));
    }
    channel.lines.clear();
    registry.handleMsg(nullptr, 0, "", channel, nullptr);
    EXPECT_THAT(channel.lines, IsEmpty());
}

// Every command's fields are split alike (ChannelCommands: extra fields, colons and line feeds
// kept, a megabyte of commas, command words matched whole, missing fields read as empty); these
// are the names of a registration.
TEST(ChannelRegistration, ArgumentsAreSplitAtCommasOnlyAndNeverTrimmed) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"reg:A B,c", {"A/1/c", "B/1/c"}},
        {"reg:A\tB, c", {"A\tB/1/ c"}},
        {std::string("reg:A\0B,c", 9), {std::string("A\0B/1/c", 7)}},
        {"reg:\xff\xfe,c", {"\xff\xfe/1/c"}},
        {"reg:A", {}},
        {"reg:,c", {}},
    };
    for (const auto& [request, rows] : cases) {
        SCOPED_TRACE(request.substr(0, 40));
        ServiceRegistry registry;
        RecordingChannel channel;
        deliver(registry, channel, request);
        EXPECT_THAT(table(registry), ElementsAreArray(rows));
        EXPECT_THAT(channel.lines, IsEmpty());
    }
}
