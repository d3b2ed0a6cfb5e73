#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Frame.h"
#include "FrameCodec.h"
#include "UnixSocket.h"

enum class SendResult {
    Queued,
    Gone,     // no process serves the channel: retrying will not help
    Busy,     // the peer does not keep up: its queue or its listen backlog is full
    Refused,  // not a valid channel, a frame too large, or a connection already closed
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

    // peerChannel is the channel this process connected to; empty for an accepted connection.
    Connection(UniqueFd socket, int epollFd, std::string peerChannel);

    int fd() const { return socket.get(); }
    const std::string& peerChannel() const { return peer; }
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

    // Takes the socket out of its epoll set and shuts it down; later sends are refused. The
    // descriptor closes with the object.
    void close();
    bool isClosed() const;

    FrameReader reader;  // the reading thread only

private:
    void setInterest();  // with mutex held
    bool writeLocked();  // with mutex held

    const UniqueFd socket;
    const int epollFd;
    const std::string peer;

    mutable std::mutex mutex;  // guards everything below; never held while a frame is handled
    std::deque<std::string> outbox;
    std::size_t outboxBytes = 0;
    std::size_t writtenOfFront = 0;  // bytes of outbox.front() already written
    bool watchingOutput = false;     // the epoll set also reports when the socket takes more
    std::vector<std::string> callbacks;
    bool closed = false;
};
