#include "UserBudget.h"

#include <algorithm>
#include <string>

namespace svcreg {

UserBudget::Verdict UserBudget::judge(std::size_t ofUser, std::size_t inTotal,
                                      std::size_t amount) const {
    if (amount > perUserLimit - std::min(ofUser, perUserLimit)) return Verdict::OverUserLimit;
    if (amount > totalLimit - std::min(inTotal, totalLimit)) return Verdict::OverTotalLimit;
    return Verdict::Taken;
}

UserBudget::Verdict UserBudget::take(uid_t user, std::size_t amount) {
    MutexLock hold(mutex);
    auto found = held.find(user);
    const std::size_t ofUser = found != held.end() ? found->second : 0;
    const Verdict verdict = judge(ofUser, heldInTotal, amount);
    if (verdict != Verdict::Taken || amount == 0) return verdict;
    held[user] = ofUser + amount;
    heldInTotal += amount;
    return Verdict::Taken;
}

UserBudget::Verdict UserBudget::wouldTake(uid_t user, std::size_t amount) const {
    MutexLock hold(mutex);
    auto found = held.find(user);
    return judge(found != held.end() ? found->second : 0, heldInTotal, amount);
}

void UserBudget::give(uid_t user, std::size_t amount) {
    MutexLock hold(mutex);
    auto found = held.find(user);
    if (found == held.end()) return;
    const std::size_t given = std::min(amount, found->second);
    heldInTotal -= given;
    found->second -= given;
    if (found->second == 0) held.erase(found);
}

std::size_t UserBudget::heldBy(uid_t user) const {
    MutexLock hold(mutex);
    auto found = held.find(user);
    return found != held.end() ? found->second : 0;
}

std::string UserBudget::describe(Verdict verdict) const {
    return verdict == Verdict::OverTotalLimit ? std::to_string(totalLimit) + " in total"
                                              : std::to_string(perUserLimit) + " per user";
}

std::string UserBudget::refusal(const char* what, Verdict verdict) const {
    if (verdict == Verdict::Taken) return std::string();
    return std::string("over the quota of ") + what + " (" + describe(verdict) + ")";
}

}  // namespace svcreg
