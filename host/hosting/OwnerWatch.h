#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "Mutex.h"
#include "RegistryPipeline.h"
#include "RuntimeDirectory.h"
#include "UnixSocket.h"

namespace svcreg {

// Watches the processes serving channels of the runtime directory, over one connection to each:
// when a process ends, cleanly or killed, the kernel closes the connection, and the channel is
// reported gone once nobody listens at its socket any more, or another process does. Nothing is
// polled. A channel
// nobody serves when it is first watched is served elsewhere and left alone, unless it is known
// to have been served here before.
class OwnerWatch final : public TableListener {
public:
    struct Events {
        // channel is served here: its entries are its process's.
        std::function<void(const std::string& channel)> served;
        // channel's process is gone.
        std::function<void(const std::string& channel)> gone;
        // Whether channel still has entries worth watching it for.
        std::function<bool(const std::string& channel)> wanted;
    };

    // Watches at most capacity channels at once (fewer when the process may not open that many
    // descriptors); those beyond are logged and left.
    OwnerWatch(RuntimeDirectory directory, std::size_t capacity, Events events);
    ~OwnerWatch();
    OwnerWatch(const OwnerWatch&) = delete;
    OwnerWatch& operator=(const OwnerWatch&) = delete;

    // False, with the system's reason, when the watching thread cannot be set up.
    bool start(std::string& error);
    void stop();
    // Looks into channel on the watching thread. knownServed: it was served here before, so
    // nobody serving it now means its process is gone.
    void look(const std::string& channel, bool knownServed = false);
    // The process serving channel while it is watched; 0 otherwise.
    pid_t serverOf(const std::string& channel);

    // A channel that gets entries is looked into, at most once a second: a storm of
    // registrations at one channel costs one look. One that loses all of them stays watched
    // until its process ends, or its place is wanted.
    void registered(const std::vector<ServiceRecord>& entries) override;
    void removed(const std::vector<ServiceRecord>&) override {}

private:
    struct Watched {
        std::string channel;
        UniqueFd connection;
        pid_t server;  // the process at the other end
        int hangUpsWhileServed;
    };
    struct Request {
        std::string channel;
        bool knownServed;
    };

    void loop();
    void lookNow(const Request& request);
    void hungUp(int fd);
    bool watchOver(const std::string& channel, UniqueFd connection, int hangUps = 0);
    // Stops watching the channels that have no entries left; true when any place was freed.
    bool forgetUnwanted();
    void forget(int fd);
    void reportGone(const std::string& channel);

    const RuntimeDirectory directory;
    const std::size_t capacity;
    const Events events;
    UniqueFd epoll;
    UniqueFd wakeup;  // an eventfd: requests are waiting, or stop
    std::thread thread;

    Mutex mutex;  // guards requests, stopping, lookedAt and servers
    std::deque<Request> requests TS_GUARDED_BY(mutex);
    bool stopping TS_GUARDED_BY(mutex) = false;
    // When each channel was last looked into on a registration.
    std::map<std::string, std::chrono::steady_clock::time_point> lookedAt TS_GUARDED_BY(mutex);
    std::map<std::string, pid_t> servers TS_GUARDED_BY(mutex);  // of the channels watched

    // The watching thread's own.
    std::map<int, Watched> watched;            // by the connection's descriptor
    std::map<std::string, int> watchedByName;  // the descriptor of each channel watched
    bool warnedFull = false;
};

}  // namespace svcreg
