#include "UserBudget.h"

#include <cstdint>

#include <gtest/gtest.h>

using namespace svcreg;

namespace {

using Verdict = UserBudget::Verdict;
constexpr uid_t kAlice = 1001, kBob = 1002;

// A budget of 4 per user and 6 in total, with alice and bob holding some first: what one more
// take says, and what the taker holds after it. The user's limit is looked at first; a refused
// take, or one of nothing, holds nothing more; no amount, however large, wraps past a limit.
// The refusals that name the limit passed are the registry gate's test (AccessPolicyTest).
TEST(UserBudget, TakesWithinBothLimitsOnlyAndGivesBackNoMoreThanHeld) {
    const struct {
        const char* what;
        std::size_t alices, bobs;
        uid_t taker;
        std::size_t amount;
        Verdict verdict;
        std::size_t held;
    } cases[] = {
        {"up to the user's limit", 3, 0, kAlice, 1, Verdict::Taken, 4},
        {"one past the user's limit", 3, 0, kAlice, 2, Verdict::OverUserLimit, 3},
        {"past both: the user's is told", 4, 2, kAlice, 1, Verdict::OverUserLimit, 4},
        {"within the user's, past the total", 2, 4, kAlice, 1, Verdict::OverTotalLimit, 2},
        {"up to the total", 2, 3, kBob, 1, Verdict::Taken, 4},
        {"nothing, at the limits", 4, 2, kAlice, 0, Verdict::Taken, 4},
        {"an amount that would wrap", 1, 1, kAlice, SIZE_MAX, Verdict::OverUserLimit, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UserBudget budget(4, 6);
        ASSERT_EQ(budget.take(kAlice, c.alices), Verdict::Taken);
        ASSERT_EQ(budget.take(kBob, c.bobs), Verdict::Taken);
        EXPECT_EQ(budget.wouldTake(c.taker, c.amount), c.verdict);
        EXPECT_EQ(budget.take(c.taker, c.amount), c.verdict);
        EXPECT_EQ(budget.heldBy(c.taker), c.held);
    }

    // Giving back more than held gives back what was held, to the total too; giving for a user
    // who holds nothing changes nothing.
    UserBudget budget(4, 6);
    ASSERT_EQ(budget.take(kAlice, 3), Verdict::Taken);
    ASSERT_EQ(budget.take(kBob, 3), Verdict::Taken);
    budget.give(kAlice, 10);
    budget.give(1003, 10);
    EXPECT_EQ(budget.heldBy(kAlice), 0u);
    EXPECT_EQ(budget.heldBy(kBob), 3u);
    EXPECT_EQ(budget.take(kAlice, 3), Verdict::Taken);
    EXPECT_EQ(budget.take(kAlice, 1), Verdict::OverTotalLimit);

    // What is counted elsewhere may be past a limit lowered since: nothing more fits.
    EXPECT_EQ(budget.judge(10, 0, 1), Verdict::OverUserLimit);
    EXPECT_EQ(budget.judge(0, 10, 1), Verdict::OverTotalLimit);
}

}  // namespace
