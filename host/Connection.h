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

// One socket between this process and a peer, in both directions. Reading and the cutting of
// frames happen on the transport's thread only; sends come from any thread; the frames read
// wait in an inbox for one worker at a time, so that each connection's frames are handled in
// the order they were sent.
class Connection {
public:
    // Bounds on what may wait for the peer, so that a peer that stops reading costs a fixed
    // amount of memory.
    static constexpr std::size_t kMaxQueuedFrames = 1024;
    static constexpr std::size_t kMaxQueuedBytes = 2 * kMaxFrameBodySize;
    // Reading pauses while this many frames wait for a worker, and resumes at half of it.
    static constexpr std::size_t kMaxInboxFrames = 64;

    // peerChannel is the channel this process connected to; empty for an accepted connection.
    Connection(UniqueFd socket, int epollFd, std::string peerChannel);

    int fd() const { return socket.get(); }
    const std::string& peerChannel() const { return peer; }

    // Queues the bytes of one frame and writes what the socket takes at once, never waiting;
    // the transport's thread writes the rest.
    SendResult send(std::string&& bytes);
    // Transport thread, when the socket takes more. False on a write error.
    bool writeQueued();
    bool hasQueuedOutput() const;

    // Transport thread. True when the connection was idle: the caller schedules a worker.
    bool pushInbound(Frame&& frame);
    // Transport thread. Pauses reading when the inbox is full, in one step with the test, so
    // that a worker emptying the inbox meanwhile cannot miss the pause and leave it for good.
    bool pauseReadingIfInboxFull();
    // Worker. False when the inbox is empty, which leaves the connection idle.
    bool popInbound(Frame& frame);
    // Worker. True when reading was paused and the inbox has drained enough to resume it.
    bool drainedWhilePaused();
    // Transport thread, after drainedWhilePaused.
    void resumeReading();

    // Worker. Remembers a channel that calls on this connection named for calling back, so
    // that its peer can be looked for when the connection closes. Keeps the first few only.
    void noteCallbackChannel(const std::string& channel);
    std::vector<std::string> callbackChannels() const;

    // Shuts the socket down; later sends are refused. The descriptor closes with the object.
    void close();
    bool isClosed() const;

    FrameReader reader;  // transport thread only

private:
    void updateInterest();  // with mutex held
    bool writeLocked();     // with mutex held

    const UniqueFd socket;
    const int epollFd;
    const std::string peer;

    mutable std::mutex mutex;  // guards everything below; never held while a frame is handled
    std::deque<std::string> outbox;
    std::size_t outboxBytes = 0;
    std::size_t writtenOfFront = 0;  // bytes of outbox.front() already written
    std::deque<Frame> inbox;
    bool scheduled = false;  // a worker holds or is about to take the inbox
    bool readingPaused = false;
    std::vector<std::string> callbacks;
    bool closed = false;
};
