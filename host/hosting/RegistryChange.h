#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AccessPolicy.h"
#include "RegistryJournal.h"

namespace svcreg {

// The request by which an observer subscribes: its subscription is named so.
constexpr char kObserverSubscription[] = "subscribeStartupEvents";
// Enough of a request to recognise it in a log line.
constexpr std::size_t kRequestShownLength = 120;

// One request to change the registry, decoded once, whichever way it came: a text command on
// the registry's channel, a remote call, or a watch of the feed of changes.
struct RegistryChange {
    enum class Kind : std::uint8_t {
        Register,
        Deregister,
        RegisterProxy,
        RegisterInvoker,
        Subscribe
    };

    Kind kind;
    std::string names;  // Register, Deregister: names separated by spaces; creators: the interface
    std::string channel;  // Register, Deregister: the entries' channel; Subscribe: the callback one
    std::string lib, creatorFn, protocol;  // creators only
    // The request as a log line names it, its first kRequestShownLength bytes: a copy of a
    // large change's whole text would cost as much as the change's own names.
    std::string request;
    // Register: the entries end with the process that asked for them, unless a process serving
    // their channel owns them; else they stay until deregistered when nobody serves it.
    bool ownedByCaller = false;

    // The change a text command asks for; none for a lookup or text that is no request.
    static std::optional<RegistryChange> fromText(std::string_view text);
    static RegistryChange entries(Kind kind, std::string names, std::string channel,
                                  const char* method);
    static RegistryChange creator(Kind kind, const std::string& lib, const std::string& creatorFn,
                                  const std::string& ifc, const std::string& protocol,
                                  const char* method);
    static RegistryChange subscription(const std::string& channel, const char* method);

    // The interface names the change is about: the registered or removed ones, a creator's one.
    // Split from names at the first use, and only then: the gate counts the names before, so that
    // a request of millions of them costs nothing before it is refused.
    const std::vector<std::string>& interfaces() const;
    // The other names the peer chose: the channel and a creator's library, function and protocol.
    std::vector<const std::string*> otherNames() const;
    // The bytes of the names it carries, interfaces and the others, by which its work grows.
    std::size_t bytes() const;
    // What the access policy must permit for it, and how a refusal names that.
    Permission permission() const;
    const char* verb() const;
    // The change as the journal keeps it; none for a subscription, which lasts as its process.
    std::optional<JournalRecord> record(uid_t owner) const;

    // What interfaces() split names into, once asked for; not to be set by hand.
    mutable std::optional<std::vector<std::string>> split = std::nullopt;
};

}  // namespace svcreg
