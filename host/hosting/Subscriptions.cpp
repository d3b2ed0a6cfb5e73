#include "Subscriptions.h"

namespace svcreg {

Subscriptions::Subscriptions(const RegistryQuotas& quotas)
    : budget(quotas.subscriptionsPerUser, quotas.subscriptions) {}

std::string Subscriptions::refusalOf(uid_t user, const std::string& request,
                                     const std::string& channel) const {
    MutexLock hold(mutex);
    if (owners.count({request, channel}) != 0) return std::string();
    return budget.refusal("subscriptions", budget.wouldTake(user, 1));
}

void Subscriptions::add(uid_t user, const std::string& request, const std::string& channel) {
    MutexLock hold(mutex);
    if (!owners.emplace(std::make_pair(request, channel), user).second) return;
    budget.take(user, 1);
}

void Subscriptions::remove(const std::string& request, const std::string& channel) {
    MutexLock hold(mutex);
    auto found = owners.find({request, channel});
    if (found == owners.end()) return;
    budget.give(found->second, 1);
    owners.erase(found);
}

std::size_t Subscriptions::count() {
    MutexLock hold(mutex);
    return owners.size();
}

}  // namespace svcreg
