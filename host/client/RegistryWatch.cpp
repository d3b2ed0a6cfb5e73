#include "RegistryWatch.h"

#include "Method.h"
#include "RegistryEventsProtocol.h"
#include "RegistryRequests.h"
#include "ServiceRegistry/SocketProxyRequest.h"

namespace svcreg {

RegistryWatch::RegistryWatch(ProtocolAdapter& adapter, RegistryRequests& requests, std::string name)
    : requests(requests), feed(adapter, std::move(name)) {}

Outcome RegistryWatch::callFeed(const char* method, Deadline deadline) {
    Method reply;
    const Outcome called =
        requests.call(RegistryEventsProtocol::kInterface, method, reply, deadline);
    if (called != Status::Done) return called;
    bool accepted = false;
    reply.getBoolParameter(RegistryEventsProtocol::kResult, accepted, Parameter::OUT);
    if (accepted) return Status::Done;
    std::string reason;
    reply.getStringParameter(kRefusalParameter, reason, Parameter::OUT);
    return requests.refused(std::move(reason));
}

Outcome RegistryWatch::requestWatch(Deadline deadline) {
    MutexLock calling(feedCalls);
    {
        MutexLock hold(mutex);
        if (!watching) return Status::Interrupted;
    }
    return callFeed(RegistryEventsProtocol::kWatch, deadline);
}

Outcome RegistryWatch::watch(std::function<void(const RegistryEvent&)> told, Deadline deadline) {
    feed.setWatcher(std::move(told));
    {
        MutexLock hold(mutex);
        watching = true;
        watcherSet = true;
        lost = false;
    }
    const Outcome status = requestWatch(deadline);
    if (status != Status::Done) unwatch(deadline);
    return status;
}

Outcome RegistryWatch::unwatch(Deadline deadline) {
    {
        MutexLock hold(mutex);
        watcherSet = false;
    }
    const Outcome status = stop(deadline);
    feed.setWatcher(nullptr);
    return status;
}

Outcome RegistryWatch::stop(Deadline deadline) {
    MutexLock calling(feedCalls);
    forget();
    return callFeed(RegistryEventsProtocol::kUnwatch, deadline);
}

void RegistryWatch::forget() {
    {
        MutexLock hold(mutex);
        watching = false;
        lost = false;
    }
    changed.notify_all();
}

void RegistryWatch::await(const std::string& ifc) {
    feed.await(ifc);
    MutexLock hold(mutex);
    watching = true;
}

Outcome RegistryWatch::waitUntil(std::chrono::steady_clock::time_point deadline) {
    return feed.waitUntil(deadline);
}

void RegistryWatch::interrupt() {
    {
        MutexLock hold(mutex);
        interrupted = true;
    }
    changed.notify_all();
    feed.interrupt();
}

void RegistryWatch::clearInterrupt() {
    {
        MutexLock hold(mutex);
        interrupted = false;
    }
    feed.clearInterrupt();
}

bool RegistryWatch::interruptPending() {
    MutexLock hold(mutex);
    return interrupted;
}

bool RegistryWatch::watchingForSomeone() {
    MutexLock hold(mutex);
    return watcherSet;
}

void RegistryWatch::connectionLost() {
    {
        MutexLock hold(mutex);
        lost = watching;
    }
    changed.notify_all();
}

bool RegistryWatch::awaitLoss() {
    {
        MutexLock hold(mutex);
        while (!lost && !closing) changed.wait(hold.native());
        if (closing) return false;
        lost = false;
    }
    feed.tell(RegistryEvent{RegistryEvent::Kind::Lost, {}});
    feed.expectRestart();
    return true;
}

void RegistryWatch::close() {
    {
        MutexLock hold(mutex);
        closing = true;
    }
    changed.notify_all();
}

bool RegistryWatch::pauseFor(std::chrono::milliseconds pause, bool interruptible) {
    MutexLock hold(mutex);
    const auto until = std::chrono::steady_clock::now() + pause;
    while (!pauseEnds(interruptible)) {
        if (changed.wait_until(hold.native(), until) == std::cv_status::timeout) break;
    }
    if (!pauseEnds(interruptible)) return true;
    if (interruptible) interrupted = false;
    return false;
}

}  // namespace svcreg
