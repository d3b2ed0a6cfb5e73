#include "Method.h"

#include <gtest/gtest.h>

TEST(Method, KeepsNameTypeAndParametersInOrderAdded) {
    Method method(std::string("registerSvcInterface"), Method::REQUEST);
    method.addStringParameter("ifc", "A B", Parameter::IN);
    method.addBoolParameter("flag", true, Parameter::OUT);
    method.addStringParameter("chanName", "", Parameter::IN);

    EXPECT_EQ(method.getName(), "registerSvcInterface");
    EXPECT_EQ(method.getType(), Method::REQUEST);
    const auto& parameters = method.getParameters();
    ASSERT_EQ(parameters.size(), 3u);
    EXPECT_EQ(parameters[0].getName(), "ifc");
    EXPECT_EQ(parameters[0].getType(), Parameter::STRING);
    EXPECT_EQ(parameters[0].getStringValue(), "A B");
    EXPECT_EQ(parameters[1].getName(), "flag");
    EXPECT_EQ(parameters[1].getType(), Parameter::BOOL);
    EXPECT_EQ(parameters[1].getDirection(), Parameter::OUT);
    EXPECT_TRUE(parameters[1].getBoolValue());
    EXPECT_EQ(parameters[2].getStringValue(), "");
}

TEST(Method, GettersMatchNameDirectionAndTypeAndLeaveValueAloneWhenAbsent) {
    Method method("m", Method::REPLY);
    method.addStringParameter("channel", "ch1", Parameter::OUT);
    method.addBoolParameter("result", true, Parameter::OUT);

    std::string text = "untouched";
    EXPECT_FALSE(method.getStringParameter("channel", text, Parameter::IN));
    EXPECT_FALSE(method.getStringParameter("Channel", text, Parameter::OUT));
    EXPECT_FALSE(method.getStringParameter("result", text, Parameter::OUT)) << "result is a bool";
    EXPECT_EQ(text, "untouched");
    EXPECT_TRUE(method.getStringParameter("channel", text, Parameter::OUT));
    EXPECT_EQ(text, "ch1");

    bool flag = false;
    EXPECT_FALSE(method.getBoolParameter("result", flag, Parameter::IN));
    EXPECT_FALSE(method.getBoolParameter("channel", flag, Parameter::OUT));
    EXPECT_FALSE(flag);
    EXPECT_TRUE(method.getBoolParameter("result", flag, Parameter::OUT));
    EXPECT_TRUE(flag);
}

TEST(Method, FirstOfEqualParametersWins) {
    Method method("m", Method::REQUEST);
    method.addStringParameter("ifc", "first", Parameter::IN);
    method.addStringParameter("ifc", "second", Parameter::IN);
    std::string value;
    ASSERT_TRUE(method.getStringParameter("ifc", value, Parameter::IN));
    EXPECT_EQ(value, "first");
}

TEST(Parameter, StringLiteralStaysAString) {
    Parameter parameter("name", "text", Parameter::IN);
    EXPECT_EQ(parameter.getType(), Parameter::STRING);
    EXPECT_EQ(parameter.getStringValue(), "text");
}
