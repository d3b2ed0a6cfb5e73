#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Connection.h"
#include "Frame.h"
#include "RuntimeDirectory.h"
#include "UnixSocket.h"
#include "WorkerPool.h"

// What the transport hands the frames it receives to.
class FrameHandler {
public:
    virtual ~FrameHandler() = default;
    // On a worker: the frames of one connection one at a time, in the order sent. Never Reply.
    virtual void handleFrame(const std::shared_ptr<Connection>& from, Frame& frame) = 0;
    // On the transport's thread, which it must not hold up.
    virtual void handleReply(const Connection& from, Frame& frame) = 0;
    virtual void connectionClosed(const Connection& connection) = 0;
};

// Channels of one process as Unix-domain sockets in a runtime directory: listens on the
// channels bound here, connects to others on first send, and moves frames both ways. One thread
// does all socket reading and the writing that could not be done at once; a pool of workers
// handles what arrives, so that a slow frame holds up only its own connection.
class Transport {
public:
    // Beyond this many accepted connections, new ones are closed at once.
    static constexpr std::size_t kMaxAcceptedConnections = 1024;

    Transport(RuntimeDirectory directory, FrameHandler& handler, unsigned workerThreads);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Serves channel until stop. Fails when another process serves it.
    bool listen(const std::string& channel, std::string& error);
    void start();
    // Removes the sockets of the bound channels, lets the workers finish what they hold, gives
    // queued output a moment to leave, then closes every connection.
    void stop();

    // To frame.destination, never waiting. via, when given, receives the connection used.
    SendResult send(const Frame& frame, std::shared_ptr<Connection>* via = nullptr);
    // Back through the connection a frame came in on.
    SendResult reply(Connection& to, const Frame& frame);
    // Runs task on a worker.
    void post(std::function<void()> task);

    const RuntimeDirectory& runtimeDirectory() const { return directory; }

private:
    struct Listener {
        std::string channel;
        UniqueFd socket;
        UniqueFd lock;  // held while the channel is served here
    };

    void loop();
    bool shouldLeaveLoop();
    void acceptFrom(int listenerFd);
    void pauseAccepting(int listenerFd);
    void resumeAccepting();
    void serviceConnection(const std::shared_ptr<Connection>& connection, unsigned events);
    bool readFrom(const std::shared_ptr<Connection>& connection, bool toTheEnd);
    // How takeFrames left a connection's buffered bytes.
    enum class Intake {
        Broken,   // the stream cannot be trusted any more
        Paused,   // the inbox is full: frames may still wait in the reader
        Emptied,  // no whole frame is left in the reader
    };
    Intake takeFrames(const std::shared_ptr<Connection>& connection, bool ignoreInboxBound);
    void dispatch(const std::shared_ptr<Connection>& connection, Frame&& frame);
    void drain(const std::shared_ptr<Connection>& connection);
    void resumePaused();
    void dropConnection(const std::shared_ptr<Connection>& connection);
    std::shared_ptr<Connection> adopt(UniqueFd socket, const std::string& peerChannel);
    std::shared_ptr<Connection> outboundTo(const std::string& channel, SendResult& failure);
    void forgetOutbound(const std::shared_ptr<Connection>& connection);
    void wakeLoop();

    const RuntimeDirectory directory;
    FrameHandler& handler;
    UniqueFd epoll;
    UniqueFd wakeEvent;

    std::mutex mutex;  // guards the maps and toResume; no socket call is made while holding it
    std::map<int, Listener> listeners;
    std::map<int, std::shared_ptr<Connection>> connections;       // by descriptor, all of them
    std::map<std::string, std::shared_ptr<Connection>> outbound;  // by the channel connected to
    std::vector<std::shared_ptr<Connection>> toResume;
    std::vector<int> pausedListeners;  // out of the epoll set until a connection closes
    std::size_t acceptedCount = 0;

    std::atomic<bool> stopRequested{false};
    std::chrono::steady_clock::time_point stopDeadline;
    // Destroyed before the maps: no worker runs once they go.
    WorkerPool workers;
    std::thread thread;
};
