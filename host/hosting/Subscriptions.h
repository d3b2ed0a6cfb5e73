#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>

#include "Mutex.h"
#include "ServiceRegistry/Limits.h"
#include "UserBudget.h"

namespace svcreg {

// The channels subscribed to the registry's announcements, each counted against its user's
// quota of subscriptions until it is given back. A subscription is named by what subscribed
// (the request: an observer's, or a watch of the feed) and its channel, so that giving one back
// never gives back the other.
class Subscriptions {
public:
    explicit Subscriptions(const RegistryQuotas& quotas);

    // Empty when user may subscribe channel by request, which one subscribed already always
    // may; else why not. Counts nothing.
    std::string refusalOf(uid_t user, const std::string& request, const std::string& channel) const;
    // channel has subscribed by request; subscribing again is counted once: the channel has one
    // observer proxy, or one place among the watchers.
    void add(uid_t user, const std::string& request, const std::string& channel);
    // The subscription is given back: its process is gone, or it ended it.
    void remove(const std::string& request, const std::string& channel);
    std::size_t count();

private:
    UserBudget budget;

    mutable Mutex mutex;  // guards owners
    std::map<std::pair<std::string, std::string>, uid_t> owners TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
