#include "RegistryReplies.h"

#include <gtest/gtest.h>

#include "JsonText.h"

namespace {

TEST(RegistryReplies, LookupsTellFoundFromNotFound) {
    std::string channel = "untouched";
    EXPECT_TRUE(parseFoundChannel("found:audio:1", channel));
    EXPECT_EQ(channel, "audio:1");
    EXPECT_FALSE(parseFoundChannel("notfound:found:", channel));
    long id = -1;
    EXPECT_TRUE(parseServiceId("found_svc_id:12", id));
    EXPECT_EQ(id, 12);
    EXPECT_FALSE(parseServiceId("svc_id_not_found:X", id));
    CreatorRecord creator;
    EXPECT_TRUE(parseCreator("found_proxy:libA.so,makeA", creator));
    EXPECT_EQ(creator.lib, "libA.so");
    EXPECT_EQ(creator.creatorFn, "makeA");
    EXPECT_TRUE(parseCreator("found_invoker:,", creator));
    EXPECT_EQ(creator.lib, "");
    EXPECT_FALSE(parseCreator("notfound:IfcX", creator));
}

TEST(RegistryReplies, ListsSplitIntoTheirRecords) {
    EXPECT_TRUE(parseChannelList("list:").empty());
    EXPECT_EQ(parseChannelList("list:a,,b"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(parseDetailsList("service_details_list:").empty());

    const auto records = parseDetailsList("service_details_list:(A,1,x),(B,22,y,z)");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].ifc, "A");
    EXPECT_EQ(records[0].svcId, 1);
    EXPECT_EQ(records[0].channel, "x");
    EXPECT_EQ(records[1].svcId, 22);
    EXPECT_EQ(records[1].channel, "y,z");  // a comma after the second stays in the channel
}

TEST(JsonText, EscapesWhatJsonCannotHoldRaw) {
    EXPECT_EQ(jsonString("plain"), "\"plain\"");
    EXPECT_EQ(jsonString("a\"b\\c\nd\te\x01"), "\"a\\\"b\\\\c\\nd\\te\\u0001\"");
}

}  // namespace
