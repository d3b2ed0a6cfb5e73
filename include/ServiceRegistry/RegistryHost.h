#pragma once

/// \file
/// The registry served on a channel, as the daemon serves it.

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Defaults.h"
#include "DeviceCalls.h"
#include "HostExport.h"
#include "HostFramework.h"
#include "Logging.h"
#include "Outcome.h"
#include "RemoteDevices.h"

namespace svcreg {

/// Who may use the registry, and change what in it.
struct AccessSettings {
    /// Members of this group may connect, and the channel's socket is theirs to use (mode
    /// 0660); without a policy they may change the registry too, but not deregister other
    /// users' entries. Empty, or a group that does not exist, for none: then only root and the
    /// daemon's user may connect.
    std::string group = kDefaultAccessGroup;
    /// The policy file (see svcregd --help); its drop-ins are the *.conf files of the folder of
    /// the same name with ".d" in place of ".conf". Neither there, or empty: the policy above.
    std::string policyFile = "/etc/svcreg/policy.conf";
    /// How much each user, and everyone together, may keep in the registry.
    RegistryQuotas quotas;
};

/// What the registry does about the processes whose entries it holds, and about its own end.
struct LivenessSettings {
    /// An entry belongs to the process that holds its channel's claim in the runtime directory
    /// when it is registered (the registering process itself, when it serves the channel), and
    /// is removed when that process ends, whatever its socket's mode: the kernel says when (see
    /// HostFramework::watchPeer). An entry at a channel nobody serves then, or whose serving
    /// user's share of watched processes (HostOptions::limits) is used, belongs to nobody the
    /// registry can watch, and stays until it is deregistered; the latter is logged.
    bool removeDeadOwners = true;
    /// The tables are kept in a journal too, in HostOptions::stateDirectory, so that a registry
    /// started again within the same boot has them: every change is written there before it is
    /// acknowledged. Without a state directory there is no journal (nor a table shared with the
    /// clients): nothing of the registry's own is kept where others may write.
    bool keepTables = true;
};

/// Which services the registry starts when one of their interfaces is first asked for, and how.
/// A declaration, a file NAME.service, names the interfaces a service offers, its channel and how
/// to run it; a lookup of a declared interface nobody serves asks the registry to start it (see
/// svcregd(8)).
struct ActivationSettings {
    /// The folders of the declarations, in order: a file of a later folder replaces the one of
    /// the same name of an earlier one. Empty for "/usr/share/svcreg/services" then
    /// "/etc/svcreg/services"; given, they are handed to the launcher too.
    std::vector<std::string> servicesDirectories;
    /// The launcher, which starts a declared service, run as `svcreg-launch
    /// [--services-dir=DIR]... NAME`. Empty: nothing is declared, nothing is started.
    std::string launcher;
    /// A service started that has not registered by then has failed ("did not register within
    /// N s"), and is killed where the daemon may signal it (it runs as the daemon's user).
    std::chrono::seconds startTimeout{10};
};

/// The registry and its invoker, made by the loaded registry library and served on one channel:
/// text messages go to the registry's handleMsg, method calls to the invoker, each once the
/// access policy has let it through. Remote observers that subscribe get proxies that are
/// retired when their process is gone; watchers of the feed of changes get each change with its
/// channel and service id; operators get its status and its entries with their owners.
///
/// The host serves on threads of its own. Its owner calls its operations from one thread at a
/// time.
class HOST_API RegistryHost {
public:
    /// A host that will serve channel with the framework options, access, liveness and
    /// activation given; nothing is made or served before start.
    RegistryHost(const HostOptions& options, std::string channel,
                 AccessSettings access = AccessSettings(),
                 LivenessSettings liveness = LivenessSettings(),
                 ActivationSettings activation = ActivationSettings());
    /// Stops serving, as stop does.
    ~RegistryHost();
    RegistryHost(const RegistryHost&) = delete;             ///< Owns its channel's socket.
    RegistryHost& operator=(const RegistryHost&) = delete;  ///< Owns its channel's socket.

    /// Makes the objects and serves the channel, on listeningSocket when it is not -1 (one a
    /// service manager made; taken over), else on the one a service manager passed to this
    /// process for it, if any (see HostFramework::bindChannel). The files that ended processes left
    /// in the runtime directory are removed first (see removeStaleFiles). Done once serving; else,
    /// with why: Invalid when the access policy cannot be read, CannotStart when the library lacks
    /// something, the journal cannot be read or the system refuses the threads it needs;
    /// Refused when another process serves the channel or its socket cannot be made (see
    /// HostFramework::bindChannel).
    Outcome start(const std::string& libraryPath, int listeningSocket = -1);
    /// The limits, by name, that the registry's status reports; set before start.
    void reportLimits(std::vector<std::pair<std::string, std::string>> limits);
    /// Stops serving and removes the channel's socket; the objects are destroyed after. Again,
    /// it does nothing.
    void stop();
    /// Once started: reads the access policy again and puts it in force for the requests checked
    /// from then on. Invalid, with why ("file:line: what is wrong", a file not to be trusted, the
    /// policy file gone), when it cannot be read; the policy in force then stays. Other devices'
    /// entries the new policy refuses are removed, and the bridge takes every device's entries
    /// again (see RemoteDevices::watchRetake), so that those it now allows come in.
    Outcome reloadPolicy();
    /// Once started: reads the declarations again and puts them in force; the services still
    /// declared keep their state. The reason says what was loaded: a line "FILE:LINE: why" (or
    /// "FILE: why") for each file refused, then "loaded N declared services". Done when none was
    /// refused; Invalid when some were (the others are in force); Refused before start or
    /// without a launcher (ActivationSettings::launcher).
    Outcome reloadDeclarations();
    /// Makes again the entries of the socket-activated declared services that are missing: the
    /// process that held the channel's claim took them along when it ended, and lookups should
    /// still answer at once, the service manager starting the service at the next connection.
    /// Call it now and then (svcregd does each second); made at start and reload too.
    void restoreDeclaredEntries();
    /// Done while the registry can be reached; Unreachable, with what happened, once the runtime
    /// directory or the channel's socket has been removed or replaced: nobody can reach the
    /// registry any more.
    Outcome stillReachable();
    /// Removes the files of channels whose processes ended without removing them; returns how
    /// many channels it cleared.
    std::size_t removeStaleFiles();
    /// Where a federation bridge puts other devices' entries and hears of this device's; only
    /// between a start() that was done and stop().
    RemoteDevices& remoteDevices();
    /// Where the link layer that joins this device to others carries calls between devices: the
    /// framework's gateway (see HostFramework::deviceCalls), served once carrying over.
    DeviceCalls& deviceCalls();
    /// For the log sink of a process that serves the registry, with each record it is handed:
    /// false when it is a line to leave out. A line may hold names a peer sent, of up to a
    /// frame's size, so its message is cut after 8 KiB. The registry library logs at any peer's
    /// request (a lookup that misses, a call of no method of the registry), naming nobody, so
    /// each of its lines is also held to the lines about one peer a log interval
    /// (HostOptions::limits). heldNote, when not empty, says how many lines like it were left
    /// out before: the sink writes it first. Safe from any thread.
    static bool boundLogLine(LogRecord& record, std::string& heldNote);

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace svcreg
