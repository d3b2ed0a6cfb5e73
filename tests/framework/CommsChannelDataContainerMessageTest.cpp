#include "CommsChannelDataContainerMessage.h"

#include <gtest/gtest.h>

TEST(CommsChannelDataContainerMessage, StartsEmpty) {
    CommsChannelDataContainerMessage message;
    EXPECT_EQ(message.channel(), "");
    EXPECT_EQ(message.sourceChannel(), "");
    EXPECT_EQ(message.remoteContext(), "");
    EXPECT_EQ(message.interface(), "");
    EXPECT_EQ(message.protocol(), "");
    EXPECT_EQ(message.requestId(), 0);
    EXPECT_EQ(message.getDataLength(), 0);
}

TEST(CommsChannelDataContainerMessage, KeepsEveryFieldItIsGiven) {
    CommsChannelDataContainerMessage message;
    message.setChannel("dest");
    message.setSourceChannel("src");
    message.setRemoteContext("ctx");
    message.setInterface("ServiceRegistryIfc");
    message.setProtocol("svc_reg_protocol");
    message.setRequestId(-42);
    EXPECT_EQ(message.channel(), "dest");
    EXPECT_EQ(message.sourceChannel(), "src");
    EXPECT_EQ(message.remoteContext(), "ctx");
    EXPECT_EQ(message.interface(), "ServiceRegistryIfc");
    EXPECT_EQ(message.protocol(), "svc_reg_protocol");
    EXPECT_EQ(message.requestId(), -42);
}

TEST(CommsChannelDataContainerMessage, DataIsBinaryAndGetDataClampsTheLength) {
    const char bytes[] = {'a', '\0', 'b', '\n'};
    CommsChannelDataContainerMessage message;
    message.setData(bytes, 4);
    EXPECT_EQ(message.getDataLength(), 4);

    int length = message.getDataLength();
    const char* data = message.getData(&length);
    ASSERT_EQ(length, 4);
    EXPECT_EQ(std::string(data, length), std::string(bytes, 4));

    length = 2;
    message.getData(&length);
    EXPECT_EQ(length, 2) << "asking for fewer bytes takes fewer";
    length = 100;
    message.getData(&length);
    EXPECT_EQ(length, 4) << "asking for more takes what there is";
    length = -5;
    message.getData(&length);
    EXPECT_EQ(length, 0);
}

TEST(CommsChannelDataContainerMessage, NullOrNegativeDataGivesEmptyData) {
    CommsChannelDataContainerMessage message;
    message.setData("abc", 3);
    message.setData(nullptr, 3);
    EXPECT_EQ(message.getDataLength(), 0);
    message.setData("abc", 3);
    message.setData("abc", -1);
    EXPECT_EQ(message.getDataLength(), 0);
}

TEST(CommsChannelDataContainerMessage, CopiesAreIndependent) {
    CommsChannelDataContainerMessage original;
    original.setData("one", 3);
    original.setChannel("a");
    CommsChannelDataContainerMessage copy = original;
    original.setData("two!", 4);
    original.setChannel("b");
    EXPECT_EQ(copy.getDataLength(), 3);
    EXPECT_EQ(copy.channel(), "a");
}
