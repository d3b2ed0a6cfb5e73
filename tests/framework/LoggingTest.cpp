#include "Logging.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

#include "LogCapture.h"

namespace {

struct LogThresholds : ::testing::Test {
    ~LogThresholds() override { resetLogThresholds(); }
};

}  // namespace

TEST_F(LogThresholds, DefaultWantsFailuresOnlyAndAModuleThresholdOverridesIt) {
    EXPECT_TRUE(loggingOnAppUni("AnyModule", 2));
    EXPECT_FALSE(loggingOnAppUni("AnyModule", 3));
    setLogThreshold("ServiceRegistry", 5);
    EXPECT_TRUE(loggingOnAppUni("ServiceRegistry", 5));
    EXPECT_FALSE(loggingOnAppUni("ServiceRegistry", 6));
    EXPECT_FALSE(loggingOnAppUni("ServiceRegistryProxy", 3)) << "module names match exactly";

    setDefaultLogThreshold(4);
    EXPECT_TRUE(loggingOnAppUni("ServiceRegistryProxy", 4));
    setLogThreshold("ServiceRegistry", 1);
    EXPECT_FALSE(loggingOnAppUni("ServiceRegistry", 2)) << "a module can be quieter than default";

    resetLogThresholds();
    EXPECT_FALSE(loggingOnAppUni("ServiceRegistry", 3));
    EXPECT_FALSE(loggingOnAppUni("ServiceRegistryProxy", 3));
}

TEST(LogAppUni, FormatsPrintfStyleAndPassesTheOriginToTheSink) {
    LogCapture capture;
    logAppUni("Mod", "./src/Mod.cpp", 5, 77, "a %s b %d c %p", "text", -3, nullptr);
    std::string longText(1000, 'x');
    logAppUni("Mod", "./src/Mod.cpp", 2, 78, "[%s]", longText.c_str());

    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    const CapturedLine& first = lines[0];
    EXPECT_EQ(std::tie(first.module, first.sourceFile, first.level, first.line, first.message),
              std::make_tuple("Mod", "./src/Mod.cpp", 5, 77, "a text b -3 c (nil)"));
    EXPECT_EQ(lines[1].message, "[" + longText + "]") << "long messages are not cut";

    LogCapture silent(0);  // written whatever the threshold: callers ask first
    logAppUni("Mod", "f.cpp", 6, 1, "trace");
    EXPECT_EQ(silent.messages(), std::vector<std::string>{"trace"});
}

TEST(FormatLogLine, HoldsTimeLevelModuleOriginAndMessageOnOneLine) {
    LogRecord record{"ServiceRegistry", "./src/ServiceRegistry.cpp", 3, 120,
                     "Service interface 'a\nb\x01\xc2\x9b\x9b\xc3\xa9' not found\n"};
    std::string line = formatLogLine(record);
    EXPECT_NE(line.find(" L3 ServiceRegistry ./src/ServiceRegistry.cpp:120 "), std::string::npos)
        << line;
    // C1 controls too, as UTF-8 or as a lone byte; a printable UTF-8 character stays.
    EXPECT_NE(line.find("Service interface 'a\\x0ab\\x01\\xc2\\x9b\\x9b\xc3\xa9' not found"),
              std::string::npos)
        << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << "one message, one line";
    EXPECT_EQ(line.back(), 'd') << "the format's own trailing line feed is dropped";
    // 2026-12-05T19:22:00.123Z
    ASSERT_GE(line.size(), 24u);
    EXPECT_EQ(line[10], 'T');
    EXPECT_EQ(line[23], 'Z');
}

TEST(LogSink, ReplacedSinkIsNotCalledOnceSetLogSinkReturns) {
    std::atomic<int> toFirst{0}, toSecond{0};
    std::atomic<bool> stop{false};
    setLogSink([&](const LogRecord&) { ++toFirst; });
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
        writers.emplace_back([&] {
            while (!stop) logAppUni("Mod", "f.cpp", 2, 1, "x");
        });
    }
    while (toFirst < 100) std::this_thread::yield();
    setLogSink([&](const LogRecord&) { ++toSecond; });
    int firstAtSwap = toFirst;
    while (toSecond < 100) std::this_thread::yield();
    stop = true;
    for (auto& writer : writers) writer.join();
    setLogSink(nullptr);
    EXPECT_EQ(toFirst, firstAtSwap);
}
