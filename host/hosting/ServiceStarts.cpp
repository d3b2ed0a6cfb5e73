#include "ServiceStarts.h"

#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "AccountNames.h"
#include "ChannelClaim.h"
#include "LockHolder.h"
#include "ProcessWatch.h"

namespace svcreg {

namespace {

// The processes started are watched under an account of their own, not the daemon's user's:
// services of that user register under its share of watched processes, which starts must not
// use up. DeclaredServices bounds how many starts are under way.
constexpr uid_t kStartsAccount = static_cast<uid_t>(-2);

// Debian 12's headers predate it; the kernel has had it since 5.4.
#ifndef P_PIDFD
#define P_PIDFD 3
#endif

std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// The signals as a fresh process has them: the daemon blocks some for its own use.
struct FreshSignals {
    FreshSignals() {
        posix_spawnattr_init(&attributes);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~FreshSignals() { posix_spawnattr_destroy(&attributes); }
    posix_spawnattr_t attributes;
};

}  // namespace

ServiceStarts::ServiceStarts(HostFramework& framework, ActivationSettings settings, Events events)
    : framework(framework),
      settings(std::move(settings)),
      environment{"SVCREG_RUNTIME_DIR=" + framework.runtimeDirectory(),
                  "SVCREG_REGISTRY_USER=" + nameOfUser(geteuid())},
      events(std::move(events)),
      timer([this] { tellTimeouts(); }) {}

ServiceStarts::~ServiceStarts() {
    std::map<pid_t, Child> watched;
    {
        std::lock_guard<std::mutex> hold(mutex);
        stopping = true;
        watched.swap(children);
    }
    deadlinesChanged.notify_all();
    timer.join();
    for (const auto& [pid, child] : watched) framework.unwatchPeer(child.watch);
}

pid_t ServiceStarts::start(const ServiceDeclaration& declaration, std::string& why) {
    if (heldByRoot(declaration, why)) return 0;
    const pid_t pid = spawn(declaration.name, why);
    if (pid == 0) return 0;
    if (!watch(pid, why)) {
        // A launcher that has already become the service's user is out of reach of a daemon
        // that is not root: waiting for it would hold this thread until it ended by itself.
        if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
        return 0;
    }
    {
        std::lock_guard<std::mutex> hold(mutex);
        deadlines.emplace(std::chrono::steady_clock::now() + settings.startTimeout, pid);
    }
    deadlinesChanged.notify_all();
    return pid;
}

// Only a child not reaped yet: its pid cannot be another process's.
void ServiceStarts::stop(pid_t pid) {
    std::lock_guard<std::mutex> hold(mutex);
    const auto child = children.find(pid);
    if (child != children.end())
        syscall(SYS_pidfd_send_signal, child->second.pidfd.get(), SIGKILL, nullptr, 0);
}

std::string ServiceStarts::reasonOf(const siginfo_t& ended) {
    if (ended.si_code == CLD_EXITED) {
        return "could not start: exit " + std::to_string(ended.si_status);
    }
    return "could not start: killed by signal " + std::to_string(ended.si_status);
}

bool ServiceStarts::heldByRoot(const ServiceDeclaration& declaration, std::string& why) const {
    const std::optional<ChannelClaim::Holder> holder =
        ChannelClaim::holderOf(RuntimeDirectory(framework.runtimeDirectory()), declaration.channel);
    const uid_t user = declaration.user.empty() ? geteuid() : uidOfUser(declaration.user);
    // The lock file's owner tells whose claim it is, whoever the table names as holding it: the
    // launcher takes the channel back from a lock file of any other user's than root.
    if (!holder || holder->pid <= 0 || holder->user != 0 || user == 0 || user == kNoUser) {
        return false;
    }
    why = "could not start: " + channelHeldBy(declaration.channel, holder->pid, 0);
    return true;
}

std::vector<std::string> ServiceStarts::commandFor(const std::string& name) const {
    std::vector<std::string> command{"svcreg-launch"};
    for (const std::string& folder : settings.servicesDirectories) {
        command.push_back("--services-dir=" + folder);
    }
    command.push_back(name);
    return command;
}

pid_t ServiceStarts::spawn(const std::string& name, std::string& why) const {
    const std::vector<std::string> command = commandFor(name);
    std::vector<char*> argv = pointersTo(command);
    std::vector<char*> envp = pointersTo(environment);
    FreshSignals signals;
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, settings.launcher.c_str(), nullptr, &signals.attributes,
                                   argv.data(), envp.data());
    if (failed != 0) {
        why = "could not start: cannot run '" + settings.launcher + "': " + std::strerror(failed);
        return 0;
    }
    return pid;
}

// The child is not reaped before its pidfd is taken, so its pid names it alone until then.
bool ServiceStarts::watch(pid_t pid, std::string& why) {
    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd.valid()) {
        why = std::string("could not start: cannot watch its process: ") + std::strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> hold(mutex);
    const Result<PeerWatchId> watched =
        framework.watchProcess(pid, ProcessWatch::startTimeOf(pid), kStartsAccount,
                               [this, pid] { framework.post([this, pid] { reap(pid); }); });
    if (!watched) {
        why = "could not start: cannot watch its process: " + watched.reason();
        return false;
    }
    children[pid] = Child{std::move(pidfd), *watched};
    return true;
}

void ServiceStarts::reap(pid_t pid) {
    siginfo_t ended{};
    {
        std::lock_guard<std::mutex> hold(mutex);
        const auto child = children.find(pid);
        if (child == children.end()) return;
        if (waitid(static_cast<idtype_t>(P_PIDFD), child->second.pidfd.get(), &ended, WEXITED) !=
            0) {
            return;
        }
        children.erase(child);
        for (auto due = deadlines.begin(); due != deadlines.end();) {
            due = due->second == pid ? deadlines.erase(due) : std::next(due);
        }
    }
    events.exited(pid, reasonOf(ended));
}

void ServiceStarts::tellTimeouts() {
    std::unique_lock<std::mutex> hold(mutex);
    while (!stopping) {
        if (deadlines.empty()) {
            deadlinesChanged.wait(hold);
            continue;
        }
        const auto first = deadlines.begin();
        // A copy: the wait lets go of the lock, and a reap may erase the deadline meanwhile.
        const std::chrono::steady_clock::time_point due = first->first;
        if (std::chrono::steady_clock::now() < due) {
            deadlinesChanged.wait_until(hold, due);
            continue;
        }
        const pid_t pid = first->second;
        deadlines.erase(first);
        hold.unlock();
        events.timedOut(pid);
        hold.lock();
    }
}

}  // namespace svcreg
