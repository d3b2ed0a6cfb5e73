#include "RegistryUsage.h"

namespace svcreg {

RegistryUsage::RegistryUsage(const RegistryQuotas& quotas)
    : entries(quotas.entriesPerUser, quotas.entries),
      creators(quotas.creatorsPerUser, quotas.creators),
      subscriptions(quotas.subscriptionsPerUser, quotas.subscriptions) {}

std::string RegistryUsage::overQuota(const char* what, const UserBudget& budget,
                                     UserBudget::Verdict verdict) {
    return std::string("over the quota of ") + what + " (" + budget.describe(verdict) + ")";
}

std::string RegistryUsage::addEntries(uid_t user, const std::vector<std::string>& names,
                                      const std::string& channel) {
    MutexLock hold(mutex);
    const UserBudget::Verdict verdict = entries.take(user, names.size());
    if (verdict != UserBudget::Verdict::Taken) return overQuota("entries", entries, verdict);
    for (const std::string& name : names) ++entryOwners[{name, channel}][user];
    return std::string();
}

std::string RegistryUsage::removeEntries(
    uid_t user, const std::vector<std::string>& names, const std::string& channel,
    const std::function<bool(const std::string& ifc)>& mayRemoveOthers) {
    MutexLock hold(mutex);
    for (const std::string& name : names) {
        auto found = entryOwners.find({name, channel});
        if (found == entryOwners.end()) continue;
        for (const auto& [owner, count] : found->second) {
            if (owner == user || mayRemoveOthers(name)) continue;
            return "interface '" + name + "' at channel '" + channel + "' was registered by uid " +
                   std::to_string(static_cast<long>(owner));
        }
    }
    for (const std::string& name : names) {
        auto found = entryOwners.find({name, channel});
        if (found == entryOwners.end()) continue;
        for (const auto& [owner, count] : found->second) entries.give(owner, count);
        entryOwners.erase(found);
    }
    return std::string();
}

std::string RegistryUsage::addCreator(uid_t user, const std::string& lib,
                                      const std::string& creatorFn, const std::string& ifc,
                                      const std::string& protocol) {
    MutexLock hold(mutex);
    Creator creator{lib, creatorFn, ifc, protocol};
    if (creatorsKept.count(creator) != 0) return std::string();
    const UserBudget::Verdict verdict = creators.take(user, 1);
    if (verdict != UserBudget::Verdict::Taken) return overQuota("creators", creators, verdict);
    creatorsKept.insert(std::move(creator));
    return std::string();
}

std::string RegistryUsage::addSubscriber(uid_t user, const std::string& channel) {
    MutexLock hold(mutex);
    if (subscribers.count(channel) != 0) return std::string();
    const UserBudget::Verdict verdict = subscriptions.take(user, 1);
    if (verdict != UserBudget::Verdict::Taken) {
        return overQuota("subscriptions", subscriptions, verdict);
    }
    subscribers.emplace(channel, user);
    return std::string();
}

void RegistryUsage::removeSubscriber(const std::string& channel) {
    MutexLock hold(mutex);
    auto found = subscribers.find(channel);
    if (found == subscribers.end()) return;
    subscriptions.give(found->second, 1);
    subscribers.erase(found);
}

std::size_t RegistryUsage::subscriberCount() {
    MutexLock hold(mutex);
    return subscribers.size();
}

}  // namespace svcreg
