#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "PipelineDifferential.h"
#include "Processes.h"

using namespace svcreg;

namespace {

std::string differenceOf(const std::vector<std::uint8_t>& steps) {
    const TempDirectory folder;
    return PipelineDifferential(steps.data(), steps.size(), folder.path() + "/journal").run();
}

}  // namespace

// The seeds of the pipeline fuzzer (the daemon registering until the ids run out, members over
// their quota deregistering each other's entries, text, creators and the daemon's removals,
// registrations refused on once the ids are spent, and a registration left with only its empty
// name beside the daemon's own creators), and random inputs: every change's answer, id and
// counts are the library's, until its ids run out and after.
TEST(PipelineDifferential, AnswersIdsAndCountsAreTheLibrarysOnEveryChange) {
    const LogCapture log(2);  // the refusals, kept out of the test's output
    int seeds = 0;
    for (const auto& seed : std::filesystem::directory_iterator(PIPELINE_CORPUS)) {
        SCOPED_TRACE(seed.path().string());
        std::ifstream file(seed.path(), std::ios::binary);
        const std::vector<std::uint8_t> steps((std::istreambuf_iterator<char>(file)),
                                              std::istreambuf_iterator<char>());
        EXPECT_EQ(differenceOf(steps), "");
        ++seeds;
    }
    EXPECT_GE(seeds, 5);
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("random inputs of seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (int input = 0; input < 50; ++input) {
        std::vector<std::uint8_t> steps(200);
        for (std::uint8_t& byte : steps) byte = static_cast<std::uint8_t>(random());
        EXPECT_EQ(differenceOf(steps), "") << "input " << input;
    }
}
