#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Mutex.h"
#include "ServiceRegistry/Limits.h"
#include "UserBudget.h"

namespace svcreg {

// What each user holds in the registry, counted against the quotas: the entries it
// registered, the creators and the subscriber channels. Each change is checked and counted at
// once; a refused one changes nothing and returns its reason, for the peer and the log.
class RegistryUsage {
public:
    explicit RegistryUsage(const RegistryQuotas& quotas);

    // One entry per name at channel.
    std::string addEntries(uid_t user, const std::vector<std::string>& names,
                           const std::string& channel);
    // Every entry of names at channel, each user's given back; refused when one is another
    // user's and mayRemoveOthers says no for its name.
    std::string removeEntries(uid_t user, const std::vector<std::string>& names,
                              const std::string& channel,
                              const std::function<bool(const std::string& ifc)>& mayRemoveOthers);
    // A creator registered twice is counted once: the registry keeps one.
    std::string addCreator(uid_t user, const std::string& lib, const std::string& creatorFn,
                           const std::string& ifc, const std::string& protocol);
    // A channel subscribing again is counted once: it has one observer proxy.
    std::string addSubscriber(uid_t user, const std::string& channel);
    // The channel's process is gone, and with it its subscription.
    void removeSubscriber(const std::string& channel);
    std::size_t subscriberCount();

private:
    using Entry = std::pair<std::string, std::string>;  // interface, channel
    using Creator = std::tuple<std::string, std::string, std::string, std::string>;

    static std::string overQuota(const char* what, const UserBudget& budget,
                                 UserBudget::Verdict verdict);

    UserBudget entries;
    UserBudget creators;
    UserBudget subscriptions;

    Mutex mutex;  // guards the maps below, and keeps each check with its change
    std::map<Entry, std::map<uid_t, std::size_t>> entryOwners TS_GUARDED_BY(mutex);
    std::set<Creator> creatorsKept TS_GUARDED_BY(mutex);
    std::map<std::string, uid_t> subscribers TS_GUARDED_BY(mutex);  // by channel
};

}  // namespace svcreg
