#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <string>

#include "EventFeed.h"
#include "Mutex.h"
#include "ServiceRegistry/RegistryClient.h"

class ProtocolAdapter;

namespace svcreg {

class RegistryRequests;

// A client's watch of the registry's feed of changes: whether one is under way, whether it was
// lost with the registry, and the feed that hands its events on. A waitFor watches too, and
// interrupt ends its pauses.
class RegistryWatch {
public:
    // name says whose watch it is, for the log.
    RegistryWatch(ProtocolAdapter& adapter, RegistryRequests& requests, std::string name);

    // The invoker the registry's events come to, on the client's channel.
    EventFeed& events() { return feed; }

    // The calls to the registry below end by deadline.
    using Deadline = std::chrono::steady_clock::time_point;

    // From now on, told is handed each event.
    Outcome watch(std::function<void(const RegistryEvent&)> told, Deadline deadline);
    Outcome unwatch(Deadline deadline);
    // Asks the registry for a watch while one is under way, without changing that; Interrupted
    // once none is. Never after, nor during, a stop: a watch asked for by another thread (the
    // one that watches again) cannot reach the registry after its end and stay there.
    Outcome requestWatch(Deadline deadline);

    // Watches for ifc, which waitUntil then waits for; end with stop, or with forget when the
    // registry never answered.
    void await(const std::string& ifc);
    // Done when the awaited interface came, NotFound at the deadline, Interrupted.
    Outcome waitUntil(std::chrono::steady_clock::time_point deadline);
    Outcome stop(Deadline deadline);
    // Ends the watch here only, without asking the registry.
    void forget();

    // Ends the pause of a waiter (interruptible) under way, or else the next one, and its
    // waitUntil.
    void interrupt();
    // Forgets an interruption the wait that ends now did not take.
    void clearInterrupt();
    // Whether an interruption waits for a wait to take it.
    bool interruptPending();
    // Whether a watch (not a wait's) is under way.
    bool watchingForSomeone();
    // The registry went away: a watch under way is lost.
    void connectionLost();
    // Waits until a watch under way is lost, tells the watcher so, and returns true; false once
    // the client closes.
    bool awaitLoss();
    // The watch lost has been made again.
    void restarted() { feed.restarted(); }
    void close();

    // False when, within pause, the client closes or, for a waiter (interruptible), interrupt is
    // called, or, for anyone else, the watch ends.
    bool pauseFor(std::chrono::milliseconds pause, bool interruptible);

private:
    // Asks the registry's feed of changes for a watch, or for its end.
    Outcome callFeed(const char* method, Deadline deadline);
    bool pauseEnds(bool interruptible) TS_REQUIRES(mutex) {
        return closing || (interruptible ? interrupted : !watching);
    }

    RegistryRequests& requests;
    EventFeed feed;
    // Held across each request of a watch, with the look at whether one is under way, and
    // across each stop, with its end here: the registry hears them in the order decided.
    Mutex feedCalls;
    Mutex mutex;  // guards the flags below
    std::condition_variable changed;
    bool watching TS_GUARDED_BY(mutex) = false;
    bool lost TS_GUARDED_BY(mutex) = false;  // watching, and the registry went away
    bool closing TS_GUARDED_BY(mutex) = false;
    bool interrupted TS_GUARDED_BY(mutex) = false;
    bool watcherSet TS_GUARDED_BY(mutex) = false;  // watch() was asked, unwatch() not yet
};

}  // namespace svcreg
