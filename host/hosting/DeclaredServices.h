#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "AccountNames.h"
#include "DeclaredState.h"
#include "Mutex.h"
#include "RegistryPipeline.h"
#include "ServiceDeclaration.h"

namespace svcreg {

// The declared services (see ServiceDeclaration.h) and where each stands (see DeclaredState.h).
// A lookup that misses a declared interface asks to start its service: one start at a time per
// service, however many ask. A service whose interfaces have entries at its declared channel is
// Running, whoever registered them, but a start under way ends only with the registration of
// the process started (else the start timeout fails it); it is Idle again once none is left
// and the process started for it, if any, has ended. A start that ends before it registers, or does
// not register within the start timeout, fails: the service is Failed with the reason, and the next
// start waits a back-off, 1 s after the first failure, doubling to 60 s, back to 1 s at its next
// registration; a start asked for meanwhile fails at once with the last reason, whoever registered
// and deregistered its interfaces meanwhile. A service's starts past kMostStartsPerInterval in
// kStartInterval fail so too, and so do its starts while the process of its last start runs on
// (it did not register in time, and the starter could not end it). Each failure is logged once,
// naming the service and why. A socket-activated service is never started here: the service manager
// starts it at its socket's first connection.
//
// Told of the table's changes as a listener of the pipeline, under its lock. Threads: any.
class DeclaredServices final : public TableListener {
public:
    using Clock = std::chrono::steady_clock;

    // What starts a declared service's process: the launcher (ServiceStarts), or a test's.
    class Starter {
    public:
        // Starts the process of declaration: its pid, which is then told to exited, and
        // timedOut once the start timeout has passed; 0, with why, when it cannot be started.
        // Never calls back on the caller's thread.
        virtual pid_t start(const ServiceDeclaration& declaration, std::string& why) = 0;
        // Ends process pid, which start started and which has not registered in time.
        virtual void stop(pid_t pid) = 0;

    protected:
        ~Starter() = default;
    };

    // What a start of an interface found or did.
    struct Answer {
        DeclaredState state;
        std::string reason;  // why the last start failed, for Failed
        // Refused by the daemon's bound of starts under way, not failed: the asker's to log.
        bool refused = false;
    };

    // A declared service as the daemon reports it.
    struct Row {
        std::string name;
        DeclaredState state;
        std::string reason;
        std::string channel;
        std::vector<std::string> interfaces;
        pid_t pid;  // the process started for it; 0 for none
    };

    // Starts under way at once, at most: each holds a process and its watch. Past it, a start
    // is refused, saying so, and the service is left as it was.
    static constexpr std::size_t kMostStartsUnderWay = 32;
    // Starts of one service in an interval, at most: one that ends as soon as it has registered
    // is otherwise started again at each lookup, as fast as anyone asks. Past it, its start fails
    // and backs off. One that ends when idle runs a second at least, and never reaches it.
    static constexpr int kMostStartsPerInterval = 10;
    static constexpr std::chrono::seconds kStartInterval{10};
    static constexpr std::chrono::seconds kFirstBackOff{1};
    static constexpr std::chrono::seconds kLongestBackOff{60};

    // stateChanged is called, outside any lock of this object's, after a start, an exit or a
    // timeout changed a service's state (not after a change the pipeline told, nor replace).
    DeclaredServices(Starter& starter, std::chrono::seconds startTimeout,
                     std::function<void()> stateChanged,
                     std::function<Clock::time_point()> clock = Clock::now);

    // Puts declarations in force, entries being the local entries of the table now: a service
    // still declared keeps its state, a new one is Running when its interfaces have entries,
    // else Idle. Call it under the pipeline's lock (see RegistryPipeline::whileUnchanged).
    void replace(std::vector<ServiceDeclaration> declarations,
                 const std::vector<ServiceRecord>& entries);

    // Starts the service declaring ifc when it is Idle, or Failed with its back-off passed;
    // nullopt when ifc is not declared.
    std::optional<Answer> start(const std::string& ifc);
    bool isDeclared(const std::string& ifc) const;
    // A socket-activated service's entries: its interfaces, blank-separated, at its channel,
    // where the socket must be root's or user's (the declaration's User=) for them to be kept.
    struct SocketEntries {
        std::string names;
        std::string channel;
        std::string user;
        bool operator==(const SocketEntries& other) const {
            return names == other.names && channel == other.channel;
        }
    };
    // What the socket-activated services lack among entries (the local entries of the table
    // now): for each, its interfaces without an entry at its channel. Their entries stay while
    // the socket is there, so that lookups answer at once; one goes when the process holding
    // the channel's claim ends, as any other's, and is made again.
    std::vector<SocketEntries> missingSocketEntries(
        const std::vector<ServiceRecord>& entries) const;
    // Every socket-activated service's entries.
    std::vector<SocketEntries> socketEntries() const;
    // The process pid that the starter started has ended, for reason when it had not
    // registered.
    void exited(pid_t pid, const std::string& reason);
    // The start timeout of process pid has passed.
    void timedOut(pid_t pid);

    // The services, by name.
    std::vector<Row> rows() const;
    // Each declared interface with its service's state, by interface.
    std::vector<std::pair<std::string, DeclaredState>> interfaces() const;

    // A declared interface is its service's: only root, the daemon's user and the user the
    // service runs as (its User=) may register it, at any channel, or a creator of it. Anyone
    // else's entry of it would answer its lookups, and keep the service from being started;
    // anyone else's creator would run in the process of every client of the service.
    std::string registrationRefusal(const PeerCredentials& by,
                                    const std::vector<std::string>& interfaces) const override;
    // An entry of entries (the local entries of the table now) that its owner (ownerOf its
    // registration) may not register, with why: made before its interface was declared, or
    // before its User= changed. One whose interface a user who may register it has at the same
    // channel too is left: lookups lead to the same channel either way, and a deregistration of
    // it would take that one along.
    struct Usurped {
        ServiceRecord entry;
        uid_t owner;
        std::string why;
    };
    std::vector<Usurped> usurped(const std::vector<ServiceRecord>& entries,
                                 const std::function<uid_t(ServiceId)>& ownerOf) const;
    void registered(const std::vector<ServiceRecord>& entries, const PeerCredentials*) override;
    void removed(const std::vector<ServiceRecord>& entries, const PeerCredentials*) override;

private:
    struct Service {
        ServiceDeclaration declaration;
        uid_t user = kNoUser;  // declaration.user's uid, as the declarations were put in force
        DeclaredState state = DeclaredState::Idle;
        std::string reason;
        std::size_t entries = 0;  // of its interfaces, in the table
        pid_t pid = 0;            // the process started for it, until it ends
        std::chrono::seconds backOff = kFirstBackOff;
        Clock::time_point retryAfter;
        std::deque<Clock::time_point> recentStarts;  // within kStartInterval, oldest first
    };

    Service* serviceOf(const std::string& ifc) TS_REQUIRES(mutex);
    // The service whose declared channel and interfaces entry is at: only what is served where
    // the declaration says counts for it.
    Service* servedAt(const ServiceRecord& entry) TS_REQUIRES(mutex);
    Service* startedAs(pid_t pid) TS_REQUIRES(mutex);
    // Starts service: Starting, or Failed when its process cannot be started.
    void launch(Service& service) TS_REQUIRES(mutex);
    // Counts a start of service now; false when it has had its most starts in the interval
    // before.
    bool mayStartAgain(Service& service) TS_REQUIRES(mutex);
    void fail(Service& service, std::string reason) TS_REQUIRES(mutex);
    // Counts entries among the entries of service's interfaces, by sign.
    void count(const std::vector<ServiceRecord>& entries, int sign) TS_REQUIRES(mutex);
    static bool becameIdle(Service& service);
    std::size_t startsUnderWay() const TS_REQUIRES(mutex);

    Starter& starter;
    const std::chrono::seconds startTimeout;
    const std::function<void()> stateChanged;
    const std::function<Clock::time_point()> clock;

    mutable Mutex mutex;  // guards what follows; taken after the pipeline's
    std::map<std::string, Service> services TS_GUARDED_BY(mutex);          // by name
    std::map<std::string, std::string> serviceOfIfc TS_GUARDED_BY(mutex);  // interface -> name
};

}  // namespace svcreg
