#pragma once

#include <sys/types.h>

#include <map>
#include <string>

#include "Mutex.h"
#include "ServiceRegistry/Limits.h"
#include "UserBudget.h"

namespace svcreg {

// The channels subscribed to the registry's announcements, by observer or by watch, each
// counted against its user's quota of subscriptions until its process is gone.
class Subscriptions {
public:
    explicit Subscriptions(const RegistryQuotas& quotas);

    // Empty when user may subscribe channel, which a channel subscribed already always may;
    // else why not. Counts nothing.
    std::string refusalOf(uid_t user, const std::string& channel) const;
    // channel has subscribed; a channel subscribing again is counted once: it has one proxy.
    void add(uid_t user, const std::string& channel);
    // channel's process is gone, and with it its subscription.
    void remove(const std::string& channel);
    std::size_t count();

private:
    UserBudget budget;

    mutable Mutex mutex;  // guards byChannel
    std::map<std::string, uid_t> byChannel TS_GUARDED_BY(mutex);
};

}  // namespace svcreg
