#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DeclaredServices.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryHost.h"
#include "UnixSocket.h"

namespace svcreg {

// Starts declared services through the launcher: `LAUNCHER [--services-dir=DIR]... NAME`,
// spawned (posix_spawn: the daemon is threaded) with an environment of SVCREG_RUNTIME_DIR and
// SVCREG_REGISTRY_USER only (the daemon's runtime directory and user), the signals as a fresh
// process has them. The launcher execs the service in its own place, so the child is the
// service: its pidfd is watched on the framework's event loops, and once it ends it is reaped
// (waitid on the pidfd) and its end told with why, as "could not start: exit N" or "could not
// start: killed by signal N". Its start timeout is told too, by a thread of this object's. A
// start fails at once, naming the process, while a live process of another user than the
// service's holds its channel.
class ServiceStarts final : public DeclaredServices::Starter {
public:
    struct Events {
        std::function<void(pid_t pid, const std::string& reason)> exited;
        std::function<void(pid_t pid)> timedOut;
    };

    // Each event is told on a thread of the framework's or of this object's, never on the
    // thread that called start.
    ServiceStarts(HostFramework& framework, ActivationSettings settings, Events events);
    // Tells nothing more; the services started go on.
    ~ServiceStarts();
    ServiceStarts(const ServiceStarts&) = delete;
    ServiceStarts& operator=(const ServiceStarts&) = delete;

    pid_t start(const ServiceDeclaration& declaration, std::string& why) override;
    // SIGKILL, through its pidfd; a service that runs as another user than the daemon's is out
    // of its reach, and runs on.
    void stop(pid_t pid) override;

    // Why a process ended, as waitid told it.
    static std::string reasonOf(const siginfo_t& ended);

private:
    struct Child {
        UniqueFd pidfd;
        PeerWatchId watch = 0;
    };

    // Whether a lock file of root's at the channel of a service of another user is held: the
    // service could not serve it, and the launcher would refuse it (see ChannelRoom.h; it takes
    // the channel back from files of any other user's); why names the process holding it, for
    // the start's failure.
    bool heldByRoot(const ServiceDeclaration& declaration, std::string& why) const;
    std::vector<std::string> commandFor(const std::string& name) const;
    // Runs the launcher for name: its pid, or 0 with why.
    pid_t spawn(const std::string& name, std::string& why) const;
    // Watches child pid's end; false, with why, when it cannot be.
    bool watch(pid_t pid, std::string& why);
    void reap(pid_t pid);
    void tellTimeouts();

    HostFramework& framework;
    const ActivationSettings settings;
    const std::vector<std::string> environment;
    const Events events;

    std::mutex mutex;  // guards what follows; nothing is told while it is held
    std::map<pid_t, Child> children;
    std::multimap<std::chrono::steady_clock::time_point, pid_t> deadlines;
    std::condition_variable deadlinesChanged;
    bool stopping = false;
    std::thread timer;  // tells the start timeouts
};

}  // namespace svcreg
