// What decodes must encode to the same bytes: the observer invoker fuzzer checks that round trip,
// and so refuses whatever decodes in a form encode never writes, a truncated method included.
// These pin the format, the refusals that oracle cannot see, and the read position.
#include "BinaryProtocolAdapter.h"

#include <gtest/gtest.h>

#include "BinaryCodec.h"
#include "Method.h"

namespace {

Method sample() {
    Method method("registerSvcInterface", Method::REQUEST);
    method.addStringParameter("ifc", "A B", Parameter::IN);
    method.addBoolParameter("result", true, Parameter::OUT);
    return method;
}

}  // namespace

TEST(BinaryProtocolAdapter, SmallMethodsEncodeCompactly) {
    // version, type, name, count; then name, type, direction, value per parameter.
    EXPECT_EQ(encode(sample()), std::string("\x01\x00\x14registerSvcInterface\x02"
                                            "\x03ifc\x00\x00\x03"
                                            "A B"
                                            "\x06result\x01\x01\x01",
                                            44));
}

TEST(BinaryProtocolAdapter, RefusesEveryMalformedInputAndLeavesTheMethodAlone) {
    const std::string valid = encode(sample());
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty", ""},
        {"unknown method type", valid.substr(0, 1) + "\x02" + valid.substr(2)},
        {"name longer than the data", std::string("\x01\x00\x7f", 3) + "abc"},
        {"parameter count beyond the data", std::string("\x01\x00\x00\xff\xff\xff\xff\x0f", 8)},
        {"unknown parameter type", std::string("\x01\x00\x00\x01\x00\x02\x00\x00", 8)},
        {"unknown direction", std::string("\x01\x00\x00\x01\x00\x00\x02\x00", 8)},
        {"varint beyond 32 bits", std::string("\x01\x00\xff\xff\xff\xff\x7f", 7)},
        {"varint without its end", std::string("\x01\x00\x80\x80\x80\x80\x80\x01", 8)},
        {"beyond the size limit", encode([] {
             Method huge("huge", Method::REQUEST);
             huge.addStringParameter("v", std::string(BinaryProtocolAdapter::kMaxEncodedSize, 'x'),
                                     Parameter::IN);
             return huge;
         }())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " (" + std::to_string(c.bytes.size()) + " bytes)");
        Method method("untouched", Method::REPLY);
        EXPECT_FALSE(decode(c.bytes, method));
        EXPECT_EQ(method, Method("untouched", Method::REPLY));
    }
}

TEST(BinaryProtocolAdapter, DecodesFromTheStreamsReadPosition) {
    BinaryProtocolAdapter adapter;
    std::stringstream stream(std::ios::in | std::ios::out);
    stream << "prefix";
    Method method = sample();
    adapter.encode(method, stream);
    stream.ignore(6);
    Method decoded;
    ASSERT_TRUE(adapter.decode(stream, decoded));
    EXPECT_EQ(decoded, sample());
}
