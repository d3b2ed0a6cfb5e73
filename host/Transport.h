#pragma once

#include <atomic>
#include <deque>
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

// What the transport hands the frames it receives to.
class FrameHandler {
public:
    virtual ~FrameHandler() = default;
    // The frames of one connection one at a time, in the order sent. Never Reply.
    virtual void handleFrame(const std::shared_ptr<Connection>& from, Frame& frame) = 0;
    // Must not wait: a caller may be blocked on it.
    virtual void handleReply(const Connection& from, Frame& frame) = 0;
    virtual void connectionClosed(const Connection& connection) = 0;
};

// Channels of one process as Unix-domain sockets in a runtime directory: listens on the
// channels bound here, connects to others on first send, and moves frames both ways.
//
// Each of a few threads waits on an epoll set of its own, and each connection belongs to one of
// them, the one with the fewest connections when it opens. That thread reads the connection and
// handles its frames itself, in order: no hand-over between threads on the way, and the same
// thread, its caches warm, for all of a peer's requests. A handler must not wait for a reply to a
// call of its own: the thread that would read it may be its own.
class Transport {
public:
    // Beyond this many accepted connections, new ones are closed at once.
    static constexpr std::size_t kMaxAcceptedConnections = 1024;

    Transport(RuntimeDirectory directory, FrameHandler& handler, unsigned threads);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Serves channel until stop. Fails when another process serves it. Given a listening
    // socket (one a service manager made), serves that one at its place instead of making
    // one; its file then belongs to whoever made it, and stays when this process stops.
    bool listen(const std::string& channel, std::string& error, UniqueFd given = UniqueFd());
    void start();
    // Removes the sockets of the bound channels, lets the threads finish the frames they hold,
    // gives queued output a moment to leave, then closes every connection.
    void stop();

    // To frame.destination, never waiting. via, when given, receives the connection used.
    SendResult send(const Frame& frame, std::shared_ptr<Connection>* via = nullptr);
    // Back through the connection a frame came in on.
    SendResult reply(Connection& to, const Frame& frame);
    // Runs task on one of the transport's threads.
    void post(std::function<void()> task);
    // True on the transport's threads, where nothing may wait for a reply.
    static bool onTransportThread();

    const RuntimeDirectory& runtimeDirectory() const { return directory; }

private:
    struct Listener {
        std::string channel;
        UniqueFd socket;
        UniqueFd lock;  // held while the channel is served here
        bool ownsSocketFile;
    };

    void loop(int epollSet);
    void runPostedTasks();
    void flushQueuedOutput();
    void acceptFrom(int listenerFd);
    void pauseAccepting(int listenerFd);
    void resumeAccepting();
    void serviceConnection(const std::shared_ptr<Connection>& connection, unsigned events);
    bool handleEvents(const std::shared_ptr<Connection>& connection, unsigned events);
    bool readFrom(const std::shared_ptr<Connection>& connection, bool toTheEnd);
    bool handleFrames(const std::shared_ptr<Connection>& connection);
    void dropConnection(const std::shared_ptr<Connection>& connection);
    std::shared_ptr<Connection> adopt(UniqueFd socket, const std::string& peerChannel);
    int listeningSet() const { return epollSets.front().get(); }
    std::shared_ptr<Connection> outboundTo(const std::string& channel, SendResult& failure);
    void forgetOutbound(const std::shared_ptr<Connection>& connection);
    void wakeThreads();

    const RuntimeDirectory directory;
    FrameHandler& handler;
    std::vector<UniqueFd> epollSets;  // one per thread; the first also holds the listeners
    UniqueFd wakeEvent;               // in every set: posted tasks, and stop

    std::mutex mutex;  // guards the maps and tasks; no socket call is made while holding it
    std::map<int, Listener> listeners;
    std::map<int, std::shared_ptr<Connection>> connections;       // by descriptor, all of them
    std::map<std::string, std::shared_ptr<Connection>> outbound;  // by the channel connected to
    std::vector<int> pausedListeners;  // out of the epoll set until a connection closes
    std::size_t acceptedCount = 0;
    std::deque<std::function<void()>> tasks;

    std::vector<std::size_t> setLoads;  // connections in each epoll set
    std::atomic<bool> stopRequested{false};
    std::vector<std::thread> threads;
};
