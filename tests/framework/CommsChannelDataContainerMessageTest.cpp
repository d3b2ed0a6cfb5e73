#include "CommsChannelDataContainerMessage.h"

#include <gtest/gtest.h>

TEST(CommsChannelDataContainerMessage, DataIsBinaryAndGetDataClampsTheLength) {
    CommsChannelDataContainerMessage message;
    message.setData("a\0b\n", 4);
    int length = message.getDataLength();
    const char* data = message.getData(&length);
    ASSERT_EQ(length, 4);
    EXPECT_EQ(std::string(data, length), std::string("a\0b\n", 4));

    for (auto [asked, taken] : {std::pair{2, 2}, {100, 4}, {-5, 0}}) {
        length = asked;
        message.getData(&length);
        EXPECT_EQ(length, taken) << "asked for " << asked;
    }
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
