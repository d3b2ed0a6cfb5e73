// Streams cut into pieces of every size, broken streams refused for good, and frames read back
// as written are the frame reader fuzzer's (whatever it takes out must encode to the front of the
// stream, in a known kind); the reader's bound is the daemon's robustness test's (a header
// announcing one byte over it) and TwoDevices.AFrameAtTheBoundCrosses's (a body at it). These are
// the layout and the writer's bound.
#include "FrameCodec.h"

#include <gtest/gtest.h>

using namespace svcreg;

namespace {

// The layout byte for byte: header, request id, then each field as its length and its bytes,
// all little endian; appended after what out holds.
TEST(FrameCodec, EncodesTheLayoutExactly) {
    Frame frame;
    frame.kind = Frame::Kind::Call;
    frame.requestId = -5;
    frame.destination = "svcreg";
    frame.source = "client";
    frame.remoteContext = "callback";
    frame.protocol = "binary";
    frame.interface = "ServiceRegistryIfc";
    frame.data = std::string("a\0b", 3);
    std::string out = "before";
    ASSERT_TRUE(appendEncodedFrame(frame, out));
    const std::string expected =
        std::string("before") + "SR\x01\x02" + std::string("\x4f\0\0\0", 4) +
        std::string("\xfb\xff\xff\xff\xff\xff\xff\xff", 8) + std::string("\x06\0\0\0", 4) +
        "svcreg" + std::string("\x06\0\0\0", 4) + "client" + std::string("\x08\0\0\0", 4) +
        "callback" + std::string("\x06\0\0\0", 4) + "binary" + std::string("\x12\0\0\0", 4) +
        "ServiceRegistryIfc" + std::string("\x03\0\0\0", 4) + std::string("a\0b", 3);
    EXPECT_EQ(out, expected);
}

// A process writes bodies up to kMaxFrameBodySize, and not a byte more.
TEST(FrameCodec, TheWritersBodySizeBoundIsExact) {
    Frame largest;
    largest.data.assign(kMaxFrameBodySize - (8 + 6 * 4), 'x');
    std::string bytes;
    EXPECT_TRUE(appendEncodedFrame(largest, bytes));
    largest.data.push_back('x');
    std::string refused = "kept";
    EXPECT_FALSE(appendEncodedFrame(largest, refused));
    EXPECT_EQ(refused, "kept");
}

}  // namespace
