#include "Json.h"

#include <gtest/gtest.h>

namespace {

// Strings are escaped where JSON requires it, C1 controls too (a terminal shown them would act on
// them), bytes of no UTF-8 character are U+FFFD (JSON holds none), and the rest passed as it is;
// members keep their order; the pretty style indents two spaces a level and leaves empty containers
// on one line.
TEST(Json, EscapesWhatJsonRequiresAndWritesBothStyles) {
    const Json escaped = Json::array()
                             .add("say \"hi\"\\")
                             .add("a\nb\tc\x01\x1f")
                             .add(std::string("\0", 1))
                             .add("\xc3\xa9\x7f/")
                             .add(
                                 "\xc2\x9b"
                                 "2J\xff\xc3");
    EXPECT_EQ(escaped.text(Json::Style::Short),
              "[\"say "
              "\\\"hi\\\"\\\\\",\"a\\nb\\tc\\u0001\\u001f\",\"\\u0000\",\"\xc3\xa9\x7f/"
              "\",\"\\u009b2J\\ufffd\\ufffd\"]");

    Json nested = Json::object();
    nested.set("k\"ey", Json::number(-42))
        .set("list", Json::array().add(true).add(Json()).add(Json::object()))
        .set("empty", Json::array());
    EXPECT_EQ(nested.text(Json::Style::Short),
              "{\"k\\\"ey\":-42,\"list\":[true,null,{}],\"empty\":[]}");
    EXPECT_EQ(nested.text(Json::Style::Pretty),
              "{\n  \"k\\\"ey\": -42,\n  \"list\": [\n    true,\n    null,\n    {}\n  ],\n"
              "  \"empty\": []\n}");
}

}  // namespace
