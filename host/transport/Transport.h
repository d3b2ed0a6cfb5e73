#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Acceptor.h"
#include "Connection.h"
#include "EventLoops.h"
#include "Frame.h"
#include "IdleWatch.h"
#include "Mutex.h"
#include "OutboundConnections.h"
#include "PeerEnds.h"
#include "RelayHandler.h"
#include "RuntimeDirectory.h"
#include "ServiceRegistry/Limits.h"
#include "ServiceRegistry/PeerCredentials.h"
#include "UnixSocket.h"
#include "UserBudget.h"

namespace svcreg {

// What the transport hands the frames it receives to.
class FrameHandler {
public:
    // The frames of one connection one at a time, in the order sent. Never Reply.
    virtual void handleFrame(const std::shared_ptr<Connection>& from, Frame& frame) = 0;
    // Must not wait: a caller may be blocked on it.
    virtual void handleReply(const Connection& from, Frame& frame) = 0;
    // Whether frame may be handled on a thread waiting for a reply over its connection (see
    // Transport::ReplyReading), rather than on the transport's: its handling must be quick,
    // never wait, and be safe on any thread.
    virtual bool handledWhileWaiting(const Frame& frame) = 0;
    virtual void connectionClosed(const Connection& connection) = 0;
    // Whether to keep a new connection: one accepted (servedChannel empty) or one made to the
    // process serving servedChannel. A refusal is logged by the handler.
    virtual bool admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) = 0;

protected:
    ~FrameHandler() = default;
};

// Channels of one process as Unix-domain sockets in a runtime directory: listens on the
// channels claimed here, connects to others on first send, and moves frames both ways.
//
// A private channel (see RuntimeDirectory) belongs to the connection it is first named on, as
// the source or the remote context of a frame: its peer is reached there over that connection
// for as long as the connection lasts, and once it closes the name is free. Clients need no
// socket, and so no write access to the runtime directory, to get replies and announcements.
// A connection holds one private channel: a frame that names another, or one that another
// open connection holds, is dropped.
//
// A channel NAME@DEVICE of another device is sent to over a connection of its own to the
// gateway's socket (see RuntimeDirectory::isRemoteChannel), admitted when its server's user may
// be the registry's (see isRegistrysUser) and the handler admits it as the process serving
// NAME@DEVICE. The gateway reaches the channels served here for callers on other
// devices over relay connections (see openRelay), whose peers take each caller for the one the
// gateway vouches for (see takeVouch).
//
// What peers may hold is bounded per user and in total (see ConnectionLimits); the caps on
// connections are lowered to fit the process's descriptor limit. A connection that passes a
// bound is closed, or its frame refused, with a log line naming the peer and the bound. Once a
// second, a frame begun too long ago closes its connection, and outbound connections left idle
// are closed.
//
// The thread of the epoll set a connection belongs to reads it and handles its frames itself,
// in order: no hand-over between threads on the way, and the same thread, its caches warm, for
// all of a peer's requests. A thread waiting for a reply reads the connection it comes on itself
// meanwhile (see ReplyReading), so that the reply needs no hand-over either. A handler must not
// wait for a reply to a call of its own: the thread that would read it may be its own.
class Transport {
public:
    Transport(RuntimeDirectory directory, FrameHandler& handler, unsigned threads,
              const ConnectionLimits& limits = ConnectionLimits());
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Serves channel until stop. Fails when another process serves it. given, when valid, is
    // a listening socket made for the channel by someone else; else one passed to this process
    // for it is served, if any (see ChannelClaim).
    bool listen(const std::string& channel, std::string& error, UniqueFd given = UniqueFd());
    bool start(std::string& error);
    // Removes the sockets of the claimed channels, lets the threads finish the frames they
    // hold, gives queued output a moment to leave, then closes every connection.
    void stop();

    // To frame.destination, never waiting. via, when given, receives the connection used.
    // asker, when given, is the connection whose request this answers, and the destination
    // must be a channel asker names as its own (see ownsChannel): else nothing is sent, nor any
    // connection made, and the result is Foreign. sending, when given, learns each connection
    // before the frame is written to it: what answers the frame can come on that one only.
    SendResult send(const Frame& frame, std::shared_ptr<Connection>* via = nullptr,
                    const Connection* asker = nullptr,
                    const std::function<void(const Connection&)>& sending = nullptr);
    // Whether the peer of asker may name channel as its own, for answers or calls back: root may
    // name any; others a private channel this connection carries, or a channel served by a
    // process of their own user (the socket file is theirs, and so is the process serving it
    // when it is connected to already, see servedByUser).
    bool ownsChannel(const Connection& asker, const std::string& channel);
    // Back through the connection a frame came in on, with descriptors for its peer.
    // A body may be over kMaxFrameBodySize up to mostBody: a frame of another device's, which
    // the gateway named on this one.
    SendResult reply(Connection& to, const Frame& frame, std::vector<UniqueFd> descriptors = {},
                     std::size_t mostBody = kMaxFrameBodySize);
    // Closes the connection that carries what is sent to channel, if there is one: its peer
    // learns that what it was sent may be incomplete.
    void disconnect(const std::string& channel);
    // Runs task on one of the transport's threads.
    void post(std::function<void()> task);
    // A connection of its own to channel, served in this runtime directory, for the gateway:
    // vouch goes first, every frame that comes on it goes to relay, replies included, and relay
    // hears of its close, which neither the handler nor the idle sweep ever decide. It is never
    // used for other sends, nor counted among the outbound connections: relays have a cap of
    // their own, limits' cap of accepted connections fitted to a quarter of the descriptor
    // limit (relayCap). What waits in relays counts in budgets of their own, never in the local
    // connections', each device's relays in one share of them: share names the device (see
    // accountOfDevice). Null, with failure, when it cannot be made, as for send.
    std::shared_ptr<Connection> openRelay(const std::string& channel, const Frame& vouch,
                                          RelayHandler& relay, uid_t share, SendResult& failure);
    // How many relays there may be at once, of all devices together.
    std::size_t relayCap() const { return maxRelays; }
    // Closes connection, as when its peer hangs up.
    void close(const std::shared_ptr<Connection>& connection) { dropConnection(connection); }

    // A thread that sends a request and waits for its reply reads the connection the reply comes
    // on itself, while no other thread reads it, so that the reply is not handed over from a
    // transport thread. The read turn of the connection to the request's destination is taken
    // before the request goes, so that the transport's threads are not even woken by the reply;
    // it is given back once the wait is over, and at the end of the scope. Nothing is read on a
    // transport thread, where nothing may wait.
    class ReplyReading {
    public:
        ReplyReading(Transport& transport, const std::string& destination);
        ~ReplyReading();
        ReplyReading(const ReplyReading&) = delete;
        ReplyReading& operator=(const ReplyReading&) = delete;

        // Once the request is on its way over via: reads via and handles its frames until
        // answered() holds or deadline passes. At the first frame the handler will not have
        // handled while waiting, the connection goes, with that frame, to the transport's
        // threads, and this returns; so it does at once when another thread reads via. answered()
        // then comes to hold through the transport's threads, for the caller to wait for.
        void readUntil(const std::shared_ptr<Connection>& via, SteadyTime deadline,
                       const std::function<bool()>& answered);

    private:
        // Takes the read turn of connection, unless on a transport thread or another holds it.
        void hold(std::shared_ptr<Connection> connection);
        void giveBack();

        Transport& transport;
        std::shared_ptr<Connection> held;  // whose read turn this holds; null for none
    };

    // The watch of peers' ends: of the processes and the connections this transport reaches.
    PeerEnds& peerEnds() { return ends; }
    // True on the transport's threads, where nothing may wait for a reply.
    static bool onTransportThread();

    const RuntimeDirectory& runtimeDirectory() const { return directory; }
    // False, with what happened, once a channel served here can no longer be reached.
    bool channelsInPlace(std::string& error) { return acceptor.claimsInPlace(error); }
    std::size_t connectionCount();
    // Calls idle once, on the tick (so up to a second late), once no peer has been connected to
    // a channel served here for quiet, counting from now (see IdleWatch).
    void whenIdle(std::chrono::milliseconds quiet, std::function<void()> idle) {
        quietness.add(quiet, std::move(idle), std::chrono::steady_clock::now());
    }

private:
    void onReady(int fd, unsigned events);
    void handleReady(int fd, unsigned events);
    // Logs failure, met while reading or handling connection's frames, and closes it.
    void closeAfter(const std::exception& failure, const std::shared_ptr<Connection>& connection);
    // Once a second: closes the connections stalled inside a frame and the idle outbound ones,
    // and returns to the system the memory of queued output let go of.
    void sweep();
    std::shared_ptr<Connection> connectionAt(int fd);
    bool handleEvents(const std::shared_ptr<Connection>& connection, unsigned events);
    bool readFrom(const std::shared_ptr<Connection>& connection, bool toTheEnd);
    bool handleFrames(const std::shared_ptr<Connection>& connection);
    // False when the connection is to close: a Vouch was refused.
    bool handleFrame(const std::shared_ptr<Connection>& connection, Frame& frame);
    // Whether connection's first frame, vouch, makes its peer the caller it names, from another
    // device: only an accepted connection's, from a user trusted as the registry's, for a
    // caller the handler admits. Refusals are logged naming the peer.
    bool takeVouch(Connection& connection, const Frame& vouch);
    // Whether uid may be the registry daemon's: root, the runtime directory's owner (a daemon of
    // a user's own) or the registry's user. Only such a peer vouches, or serves the gateway.
    bool isRegistrysUser(uid_t uid) const;
    // Why vouch may not be taken; empty when it may, caller then the one it names.
    std::string vouchRefusal(const Connection& connection, const Frame& vouch,
                             PeerCredentials& caller) const;
    // Whether the reader's next frame is whole, or the stream broken (logged): false then.
    bool takeFrame(Connection& connection, Frame& frame, bool& broken);
    // What reading on a waiting thread came to; GoingOn while it reads on.
    enum class WaiterRead { GoingOn, Answered, TimedOut, HandedOver, Ended };
    // Reads connection, whose read turn the calling thread holds, until answered() holds or
    // deadline passes; false once it has handed the turn over to the transport's threads.
    bool readWhileWaiting(const std::shared_ptr<Connection>& connection, SteadyTime deadline,
                          const std::function<bool()>& answered);
    WaiterRead readUntilAnswered(const std::shared_ptr<Connection>& connection, SteadyTime deadline,
                                 const std::function<bool()>& answered);
    // Handles the whole frames the reader holds on a waiting thread, up to the first the
    // handler will not have handled there, which goes to the transport's threads (HandedOver).
    WaiterRead handleFramesWhileWaiting(const std::shared_ptr<Connection>& connection);
    // On a transport thread, with the read turn a waiter handed over with first: handles it and
    // what the reader holds after it, then gives the turn back.
    void takeOverFromWaiter(const std::shared_ptr<Connection>& connection, Frame& first);
    // False, logged, when the connection's unfinished frames pass their budget.
    bool withinUnfinishedBudget(Connection& connection);
    bool namesOwnChannelsOnly(const std::shared_ptr<Connection>& connection, const Frame& frame);
    // tell: the handler hears of it (see FrameHandler::connectionClosed).
    void dropConnection(const std::shared_ptr<Connection>& connection, bool tell = true);
    // An accepted connection, unless the handler refuses its peer.
    void adoptAccepted(UniqueFd socket);
    // relay, when given, takes the connection's frames (see openRelay).
    std::shared_ptr<Connection> adopt(UniqueFd socket, const std::string& peerChannel,
                                      PeerCredentials credentials, RelayHandler* relay = nullptr,
                                      std::optional<QueuedShare> queuedShare = std::nullopt);
    // A socket connected to path, or none with failure; with askersUser, only to a socket of that
    // user's (Foreign otherwise).
    UniqueFd dial(const std::string& path, SendResult& failure, const uid_t* askersUser);
    // A connection to the socket of channel, kept; with asker (see send), only to one of its
    // user's, else failure is Foreign and nothing is kept.
    std::shared_ptr<Connection> connectTo(const std::string& channel, SendResult& failure,
                                          const Connection* asker = nullptr);
    // Whether this process may send what goes to channel to server.
    bool admitsServer(const PeerCredentials& server, const std::string& channel);
    // Under the cap of outbound connections, and, for a connection made to answer asker (not
    // root), of those whose output waits for asker's user; closing the one unused longest (of
    // that user's, at its share) when at either. False, logged, when every one has output
    // waiting.
    bool roomForOutbound(const std::string& channel, const Connection* asker);
    void flushQueuedOutput();
    // Whether what goes over connection reaches a peer of asker's own (see ownsChannel).
    bool reachesOwnPeer(const Connection& asker, const Connection& connection) const;
    // Whether the process serving channel, server at the other end of a connection made to it,
    // is of user: server itself; or, when root made the listening socket (a service manager,
    // which passes it to the service it starts), the process holding the channel's claim. The
    // claim alone never makes a channel the user's: its socket file must be theirs too.
    bool servedByUser(const PeerCredentials& server, const std::string& channel, uid_t user) const;
    // Whether channel's socket belongs to asker's user, or asker is root.
    bool socketOwnedBy(const Connection& asker, const std::string& channel) const;
    // Whether channel's socket file, in the runtime directory, is a socket of user's.
    bool socketFileOf(uid_t user, const std::string& channel) const;

    const RuntimeDirectory directory;
    // The registry's user (defaultRegistryUser), who may vouch for callers of other devices
    // besides root and the runtime directory's owner; -1 when there is no such user.
    const uid_t registryUser;
    FrameHandler& handler;
    const ConnectionLimits limits;
    const std::size_t maxOutbound;         // limits' cap, lowered to fit the descriptor limit
    const std::size_t maxOutboundPerUser;  // a quarter of it
    const std::size_t maxRelays;           // see relayCap
    UserBudget acceptedConnections;
    // The accepted connections vouched for, counted from the vouch on by the callers' devices
    // as the others are by users: the relays of one device take nothing of another's share, nor
    // of their voucher's user's.
    UserBudget vouchedConnections;
    const std::shared_ptr<ConnectionBudgets> budgets;
    // What the relays' output may hold, with the same limits, shared by devices as the others'
    // by users: what a device sends to a service here that does not read takes nothing of what
    // the local connections, or the relays of other devices, may hold. What a service leaves
    // unfinished on a relay counts in budgets, for its user.
    const std::shared_ptr<QueuedBudget> relayQueued;
    EventLoops loops;
    Acceptor acceptor;
    OutboundConnections outbound;
    PeerEnds ends;
    IdleWatch quietness;  // of the accepted connections
    std::atomic<bool> stopping{false};
    std::atomic<std::size_t> outboundCount{0};
    std::atomic<std::size_t> relayCount{0};

    Mutex mutex;  // guards connections; no system call is made while held
    std::map<int, std::shared_ptr<Connection>> connections TS_GUARDED_BY(mutex);  // by socket
};

}  // namespace svcreg
