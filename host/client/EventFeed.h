#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <string>

#include "Executable.h"
#include "Invoker.h"
#include "Mutex.h"
#include "ServiceRegistry/RegistryClient.h"

class ProtocolAdapter;

namespace svcreg {

// Receives the registry's feed of table changes on the client's channel, on the client's
// transport thread, and hands each entry to the watcher; it also tells a waiter when the
// interface it waits for is there. A watcher that throws loses the event it threw on, and no
// more: the feed and its thread go on, and the first throw of each watch is logged.
class EventFeed final : public Invoker, public Executable {
public:
    // name says whose watch it is, for the log.
    EventFeed(ProtocolAdapter& adapter, std::string name);

    void init(Context&) override {}
    void shutdown() override {}
    void handleMessage(Executable* executable, const char* data, int length,
                       InvokerResponse* response) override;

    // Returns once the watcher it replaces is not running on any thread: after it, the old one
    // is never called again.
    void setWatcher(std::function<void(const RegistryEvent&)> watcher);
    // Whether the calling thread is running this feed's watcher now.
    bool insideWatcher() const;
    // Tells the watcher of what happened to the feed itself (Lost).
    void tell(const RegistryEvent& event);
    // The watch is being made again: the watcher is told Restarted before the replay, or once
    // restarted is called when the replay was empty.
    // Relaxed, as the exchange in restarted: the flag carries no other data, and no stronger
    // order would make the store seen any sooner.
    void expectRestart() { restartDue.store(true, std::memory_order_relaxed); }
    void restarted();

    void await(const std::string& ifc);
    // Done when the awaited interface came, NotFound at the deadline, Interrupted.
    Outcome waitUntil(std::chrono::steady_clock::time_point deadline);
    void interrupt();
    // Forgets an interruption no wait has taken.
    void clearInterrupt();

private:
    std::string runWatcher(const std::function<void(const RegistryEvent&)>& told,
                           const RegistryEvent& event);

    ProtocolAdapter& adapter;
    const std::string name;
    std::atomic<bool> restartDue{false};
    Mutex mutex;  // guards everything below
    std::condition_variable changed;
    std::function<void(const RegistryEvent&)> watcher TS_GUARDED_BY(mutex);
    std::string awaited TS_GUARDED_BY(mutex);
    bool awaitedSeen TS_GUARDED_BY(mutex) = false;
    bool interrupted TS_GUARDED_BY(mutex) = false;
    int telling TS_GUARDED_BY(mutex) = 0;         // threads running the watcher now
    bool throwSaid TS_GUARDED_BY(mutex) = false;  // this watcher's throw was logged
};

}  // namespace svcreg
