#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ChannelClaim.h"
#include "EventLoops.h"
#include "Mutex.h"
#include "UnixSocket.h"

namespace svcreg {

// Listens on the claimed channels and takes the connections that arrive. Out of descriptors,
// it stops listening until resumed, so that a listener whose pending connection cannot be
// taken does not wake it forever.
class Acceptor {
public:
    // Receives each connection taken.
    using Adopt = std::function<void(UniqueFd socket)>;

    Acceptor(EventLoops& loops, Adopt adopt);

    bool listen(std::unique_ptr<ChannelClaim> claim, std::string& error);
    bool isListener(int fd);
    // The listener's thread, when it reports connections waiting.
    void acceptFrom(int listenerFd);
    // Listens again on the listeners paused for want of descriptors: a connection has ended,
    // or a while has passed.
    void resume();
    // False, with what happened, once a claimed channel can no longer be reached.
    bool claimsInPlace(std::string& error);
    // Stops listening and gives up every claim, which removes their files.
    void stop();

private:
    void pause(int listenerFd);

    EventLoops& loops;
    const Adopt adopt;

    Mutex mutex;  // guards claims and paused; no system call is made while it is held
    std::map<int, std::shared_ptr<ChannelClaim>> claims TS_GUARDED_BY(mutex);  // by socket
    std::vector<int> paused TS_GUARDED_BY(mutex);  // out of the epoll set until resumed
};

}  // namespace svcreg
