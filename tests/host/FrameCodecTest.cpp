// Streams cut into pieces of every size, and broken streams refused for good, are the frame
// reader fuzzer's (whatever it takes out must encode to the front of the stream, in a known
// kind) and the daemon's robustness test's, a header announcing one byte over the bound
// included; these are the layout and the bound on both sides.
#include "FrameCodec.h"

#include <gtest/gtest.h>

using namespace svcreg;

namespace {

Frame sampleFrame() {
    Frame frame;
    frame.kind = Frame::Kind::Call;
    frame.requestId = -5;
    frame.destination = "svcreg";
    frame.source = "client";
    frame.remoteContext = "callback";
    frame.protocol = "binary";
    frame.interface = "ServiceRegistryIfc";
    frame.data = std::string("a\0b", 3);
    return frame;
}

// The layout byte for byte: header, request id, then each field as its length and its bytes,
// all little endian; appended after what out holds, and read back as it was.
TEST(FrameCodec, EncodesTheLayoutExactlyAndReadsItBack) {
    const Frame frame = sampleFrame();
    std::string out = "before";
    ASSERT_TRUE(appendEncodedFrame(frame, out));
    const std::string expected =
        std::string("before") + "SR\x01\x02" + std::string("\x4f\0\0\0", 4) +
        std::string("\xfb\xff\xff\xff\xff\xff\xff\xff", 8) + std::string("\x06\0\0\0", 4) +
        "svcreg" + std::string("\x06\0\0\0", 4) + "client" + std::string("\x08\0\0\0", 4) +
        "callback" + std::string("\x06\0\0\0", 4) + "binary" + std::string("\x12\0\0\0", 4) +
        "ServiceRegistryIfc" + std::string("\x03\0\0\0", 4) + std::string("a\0b", 3);
    EXPECT_EQ(out, expected);

    FrameReader reader;
    reader.append(out.data() + 6, out.size() - 6);
    Frame decoded;
    ASSERT_EQ(reader.next(decoded), FrameReader::Status::Ready);
    // Each field is in the layout checked above: the frame read back encodes to the same bytes.
    std::string again;
    ASSERT_TRUE(appendEncodedFrame(decoded, again));
    EXPECT_EQ(again, out.substr(6));
}

// A process writes bodies up to kMaxFrameBodySize; a reader takes up to kMaxReadBodySize (what
// the gateway may write of a frame it named on its device), and not a byte more.
TEST(FrameCodec, BodySizeBoundsAreExactOnBothSides) {
    const std::size_t fixedBody = 8 + 6 * 4;
    Frame largest;
    largest.data.assign(kMaxFrameBodySize - fixedBody, 'x');
    std::string bytes;
    EXPECT_TRUE(appendEncodedFrame(largest, bytes));
    largest.data.push_back('x');
    std::string refused = "kept";
    EXPECT_FALSE(appendEncodedFrame(largest, refused));
    EXPECT_EQ(refused, "kept");

    largest.data.assign(kMaxReadBodySize - fixedBody, 'x');
    bytes.clear();
    ASSERT_TRUE(appendEncodedFrame(largest, bytes, kMaxReadBodySize));
    FrameReader reader;
    reader.append(bytes.data(), bytes.size());
    Frame decoded;
    EXPECT_EQ(reader.next(decoded), FrameReader::Status::Ready);
    EXPECT_EQ(decoded.data.size(), largest.data.size());

    std::string header = bytes.substr(0, kFrameHeaderSize);
    const std::uint32_t tooLong = kMaxReadBodySize + 1;
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>((tooLong >> (8 * i)) & 0xff);
    FrameReader refusing;
    refusing.append(header.data(), header.size());
    EXPECT_EQ(refusing.next(decoded), FrameReader::Status::TooLarge);
}

}  // namespace
