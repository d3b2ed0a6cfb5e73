#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "Frame.h"
#include "FrameCodec.h"
#include "Mutex.h"
#include "ServiceRegistry/PeerCredentials.h"
#include "UnixSocket.h"

namespace svcreg {

enum class SendResult {
    Queued,
    Gone,       // no process serves the channel: retrying will not help
    Busy,       // the peer does not keep up: its queue or its listen backlog is full
    Refused,    // not a valid channel, a frame too large, or a connection already closed
    Forbidden,  // the system denies this process access to the channel's socket
    Untrusted,  // the process serving the channel is not one this process may trust
};

// One socket between this process and a peer, in both directions. Sends come from any thread;
// reading, and handling what is read, from the thread of the epoll set the socket is in
// (edge-triggered) only, so frames are handled in the order they were sent.
class Connection {
public:
    // Bounds on what may wait for the peer, so that a peer that stops reading costs a fixed
    // amount of memory.
    static constexpr std::size_t kMaxQueuedFrames = 1024;
    static constexpr std::size_t kMaxQueuedBytes = 2 * kMaxFrameBodySize;

    // epollFd is the set the socket is watched in, -1 for none. peerChannel is the channel this
    // process connected to; empty for an accepted connection. credentials are the peer's.
    Connection(UniqueFd socket, int epollFd, std::string peerChannel, PeerCredentials credentials);

    int fd() const { return socket.get(); }
    const std::string& peerChannel() const { return peer; }
    const PeerCredentials& credentials() const { return peerCredentials; }
    int epollSet() const { return epollFd; }

    // Queues the bytes of one frame and writes what the socket takes at once, never waiting;
    // the rest goes when the socket is writable again.
    SendResult send(std::string&& bytes);
    // Reading thread, when the socket takes more. False on a write error.
    bool writeQueued();
    bool hasQueuedOutput() const;

    // Reading thread, when it leaves bytes unread: has their readiness reported again.
    void reportAgain();

    // Reading thread. Remembers a channel that calls on this connection named for calling back, so
    // that its peer can be looked for when the connection closes. Keeps the first few only.
    void noteCallbackChannel(const std::string& channel);
    std::vector<std::string> callbackChannels() const;

    // The private channel the peer has named as its own on this connection; empty for none.
    void setPrivateChannel(const std::string& channel);
    std::string privateChannel() const;

    // Takes the socket out of its epoll set and shuts it down; later sends are refused. The
    // descriptor closes with the object.
    void close();
    bool isClosed() const;

    FrameReader reader;  // the reading thread only

private:
    void setInterest() TS_REQUIRES(mutex);
    bool writeLocked() TS_REQUIRES(mutex);

    const UniqueFd socket;
    const int epollFd;
    const std::string peer;
    const PeerCredentials peerCredentials;

    mutable Mutex mutex;  // guards everything below; never held while a frame is handled
    std::deque<std::string> outbox TS_GUARDED_BY(mutex);
    std::size_t outboxBytes TS_GUARDED_BY(mutex) = 0;
    // Bytes of outbox.front() already written.
    std::size_t writtenOfFront TS_GUARDED_BY(mutex) = 0;
    // The epoll set also reports when the socket takes more.
    bool watchingOutput TS_GUARDED_BY(mutex) = false;
    std::vector<std::string> callbacks TS_GUARDED_BY(mutex);
    std::string ownPrivateChannel TS_GUARDED_BY(mutex);
    bool closed TS_GUARDED_BY(mutex) = false;
};

}  // namespace svcreg
