#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "PipelineDifferential.h"
#include "Processes.h"

using namespace svcreg;

namespace {

// Each step is: who (0 and 1 two members, 2 the daemon), names, channel, what (0 register, 1
// deregister, 2 "reg:" text, 3 a creator: kind, lib, function, interface, protocol; 4 the
// channel's entries removed by the daemon, 5 a registration's: its id), as PipelineDifferential
// reads them.
std::vector<std::uint8_t> repeated(std::vector<std::uint8_t> step, int times) {
    std::vector<std::uint8_t> steps;
    for (int i = 0; i < times; ++i) steps.insert(steps.end(), step.begin(), step.end());
    return steps;
}

std::vector<std::uint8_t> joined(std::vector<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::string differenceOf(const std::vector<std::uint8_t>& steps) {
    const TempDirectory folder;
    return PipelineDifferential(steps.data(), steps.size(), folder.path() + "/journal").run();
}

}  // namespace

// The seeds of fuzz/corpus/pipeline, and random inputs: every change's answer, id and counts are
// the library's, until its ids run out and after.
TEST(PipelineDifferential, AnswersIdsAndCountsAreTheLibrarysOnEveryChange) {
    const LogCapture log(2);  // the refusals, kept out of the test's output
    const struct {
        const char* what;
        std::vector<std::uint8_t> steps;
    } seeds[] = {
        {"the daemon registers until the ids run out", repeated({2, 1, 1, 0}, 14)},
        {"members over their quota, and deregistering each other's entries",
         joined({repeated({0, 7, 1, 0}, 3), {1, 7, 1, 1, 0, 7, 1, 1}})},
        {"text, creators and the daemon's removals",
         joined({{0, 3, 1, 2, 1, 1, 2, 3, 1, 1, 2, 0, 1, 2, 0, 1, 4, 2, 0, 0, 5, 1}})},
        {"the ids run out, entries go, and registrations are refused on",
         joined({repeated({0, 6, 2, 0, 1, 1, 1, 2}, 7),
                 {2, 1, 2, 4, 2, 3, 1, 1},
                 repeated({1, 4, 2, 0}, 3)})},
    };
    for (const auto& seed : seeds) {
        SCOPED_TRACE(seed.what);
        EXPECT_EQ(differenceOf(seed.steps), "");
    }
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("random inputs of seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int input = 0; input < 50; ++input) {
        std::vector<std::uint8_t> steps(200);
        for (std::uint8_t& byte : steps) byte = static_cast<std::uint8_t>(random());
        EXPECT_EQ(differenceOf(steps), "") << "input " << input;
    }
}
