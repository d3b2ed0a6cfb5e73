#include "EventFeed.h"

#include <exception>
#include <memory>

#include "HostLog.h"
#include "InvokerResponse.h"
#include "Method.h"
#include "MethodBytes.h"
#include "ProtocolAdapter.h"
#include "RegistryEventsProtocol.h"

namespace svcreg {

namespace Wire = RegistryEventsProtocol;

namespace {

bool kindOf(const std::string& name, RegistryEvent::Kind& kind) {
    if (name == Wire::kReplayed) {
        kind = RegistryEvent::Kind::Replayed;
    } else if (name == Wire::kRegistered) {
        kind = RegistryEvent::Kind::Registered;
    } else if (name == Wire::kRemoved) {
        kind = RegistryEvent::Kind::Removed;
    } else {
        return false;
    }
    return true;
}

// The feed whose watcher the calling thread is running, while it runs.
thread_local const EventFeed* runningFeed = nullptr;

// Names feed as the calling thread's for the life of the scope, however the watcher ends.
struct RunningWatcher {
    explicit RunningWatcher(const EventFeed* feed) { runningFeed = feed; }
    ~RunningWatcher() { runningFeed = nullptr; }
};

}  // namespace

bool EventFeed::insideWatcher() const {
    return runningFeed == this;
}

EventFeed::EventFeed(ProtocolAdapter& adapter, std::string name)
    : adapter(adapter), name(std::move(name)) {}

void EventFeed::handleMessage(Executable*, const char* data, int length,
                              InvokerResponse* response) {
    delete response;  // events are one-way
    Method event;
    RegistryEvent::Kind kind;
    std::string encoded;
    std::vector<ServiceRecord> entries;
    if (!decodeMethod(adapter, bytesOf(data, length), event) || !kindOf(event.getName(), kind) ||
        !event.getStringParameter(Wire::kEntries, encoded, Parameter::IN) ||
        !Wire::decodeEntries(encoded, entries)) {
        return;
    }
    if (kind == RegistryEvent::Kind::Replayed) restarted();
    for (ServiceRecord& entry : entries) tell(RegistryEvent{kind, std::move(entry)});
}

void EventFeed::restarted() {
    if (restartDue.exchange(false, std::memory_order_relaxed))
        tell(RegistryEvent{RegistryEvent::Kind::Restarted, {}});
}

void EventFeed::setWatcher(std::function<void(const RegistryEvent&)> told) {
    MutexLock hold(mutex);
    while (telling > 0) changed.wait(hold.native());
    watcher = std::move(told);
    throwSaid = false;
}

void EventFeed::tell(const RegistryEvent& event) {
    std::function<void(const RegistryEvent&)> told;
    {
        MutexLock hold(mutex);
        told = watcher;
        const bool present = event.kind == RegistryEvent::Kind::Registered ||
                             event.kind == RegistryEvent::Kind::Replayed;
        if (present && !awaited.empty() && event.entry.ifc == awaited) awaitedSeen = true;
        if (told) ++telling;
    }
    changed.notify_all();
    if (!told) return;
    const std::string thrown = runWatcher(told, event);
    bool say = false;
    {
        MutexLock hold(mutex);
        --telling;
        say = !thrown.empty() && !throwSaid;
        throwSaid = throwSaid || say;
    }
    changed.notify_all();
    if (say) {
        HOST_FAILURE(
            "The watch of %s: its callback threw %s on an event of '%s'; the event is "
            "dropped and the watch goes on (further throws of this watch are not logged)",
            name.c_str(), thrown.c_str(), event.entry.ifc.c_str());
    }
}

// What the watcher threw, for the log; empty when it returned.
std::string EventFeed::runWatcher(const std::function<void(const RegistryEvent&)>& told,
                                  const RegistryEvent& event) {
    const RunningWatcher running(this);
    try {
        told(event);
    } catch (const std::exception& thrown) {
        return std::string("'") + thrown.what() + "'";
    } catch (...) {
        return "something that is not a std::exception";
    }
    return std::string();
}

void EventFeed::await(const std::string& ifc) {
    MutexLock hold(mutex);
    awaited = ifc;
    awaitedSeen = false;
}

Outcome EventFeed::waitUntil(std::chrono::steady_clock::time_point deadline) {
    MutexLock hold(mutex);
    while (!awaitedSeen && !interrupted) {
        if (changed.wait_until(hold.native(), deadline) == std::cv_status::timeout) break;
    }
    const Outcome status = awaitedSeen   ? Status::Done
                           : interrupted ? Status::Interrupted
                                         : Status::NotFound;
    awaited.clear();
    interrupted = false;
    return status;
}

void EventFeed::clearInterrupt() {
    MutexLock hold(mutex);
    interrupted = false;
}

void EventFeed::interrupt() {
    {
        MutexLock hold(mutex);
        interrupted = true;
    }
    changed.notify_all();
}

}  // namespace svcreg
