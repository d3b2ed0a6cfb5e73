#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DeviceCalls.h"
#include "FrameworkContext.h"
#include "HostExport.h"
#include "IncomingCall.h"
#include "Limits.h"
#include "Outcome.h"
#include "PeerCredentials.h"
#include "ProxyRequest.h"
#include "SocketProxyRequest.h"

class CommsChannelDataContainerMessage;
class CommsChannelIfc;
class Executable;
class Invoker;
class InvokerResponse;
class Method;
class Proxy;
class Service;

namespace svcreg {

/// HostOptions::socketGroup's default: the registry's access group (kDefaultAccessGroup) when it
/// exists and this process may give its files to it, so that the registry can reach the
/// services' channels with its announcements; else the umask decides.
constexpr gid_t kRegistryAccessGroup = static_cast<gid_t>(-2);

/// How a HostFramework serves and calls: where its sockets live, its threads, its limits.
struct HostOptions {
    /// Where the channels' sockets live; empty for the default (see Defaults.h).
    std::string runtimeDirectory;
    /// Threads that read connections and handle what arrives on them.
    unsigned workerThreads = 4;
    /// How long a call waits for its answer.
    std::chrono::milliseconds requestTimeout{5000};
    /// The group whose members may connect to the sockets of the channels bound here (made
    /// mode 0660 and given to it); -1 leaves them to the umask.
    gid_t socketGroup = kRegistryAccessGroup;
    /// What peers may hold of this process's connections and memory.
    ConnectionLimits limits;
    /// A folder only this process's user may write, for the claims and the state of the
    /// channels bound here, out of the reach of everyone who may write the runtime directory;
    /// empty keeps them in the runtime directory, beside the sockets.
    std::string stateDirectory;
};

/// The interface a message names when it answers a text request with an error instead of the
/// reply: one too large for a frame, or a request the access gate refused. The message's data
/// is the reason, for a person; its request id is the request's.
constexpr const char* kErrorReplyInterface = "svcreg.Error";

/// Told of the connections this process made that have closed. No judgment of its own: it is
/// told by the transport's one close of a connection, right after the watch of peers' ends
/// (watchPeer) hears of that close, whichever way it came (the peer hung up or
/// ended, the connection broke or stalled, or this process closed it: idle, to make room, or by
/// disconnect).
class PeerListener {
public:
    /// A connection this process made to channel has closed: what went out on it may never be
    /// answered. Called on the thread that closed it, a transport thread or one waiting in
    /// sendAndAwait: it must be quick and never wait.
    virtual void connectionLost(const std::string& channel) = 0;

protected:
    ~PeerListener() = default;
};

/// Takes the text messages that come to a channel bound here in answer to requests sent from it
/// (see HostFramework::bindReplies).
class ReplySink {
public:
    /// A message for the channel: the request id it names (0 for none), its interface
    /// (kErrorReplyInterface for a refusal) and its data. Called on the thread that reads the
    /// connection it came on, a transport thread or one waiting in sendAndAwait: it must be
    /// quick, never wait, and be safe on any thread.
    virtual void replyArrived(std::int64_t requestId, const std::string& interface,
                              std::string&& data) = 0;

protected:
    ~ReplySink() = default;
};

/// Takes the text messages of a channel bound here with the frame they came in, so that it may
/// learn who sent each and refuse it (see HostFramework::bindChannel).
class MessageHandler {
public:
    /// A message, as Service::handleMsg gets it, with call, the frame it came in: replies sends
    /// only to a channel the sender names as its own. Called on a transport thread.
    virtual void handleMessage(IncomingCall& call, const char* data, int length,
                               const std::string& sourceChannel, CommsChannelIfc& replies,
                               CommsChannelDataContainerMessage* message) = 0;

protected:
    ~MessageHandler() = default;
};

/// Takes the calls of one interface on a channel bound here with the frame they came in, so
/// that it may learn who calls, what they ask, and refuse them (see
/// HostFramework::bindCallHandler).
class CallHandler {
public:
    /// A call: data and length are its encoded request, response the way back, to be answered
    /// or deleted before this returns (an answer goes when it is deleted unanswered, as for an
    /// Invoker). Called on a transport thread.
    virtual void handleCall(IncomingCall& call, const char* data, int length,
                            std::unique_ptr<InvokerResponse> response) = 0;

protected:
    ~CallHandler() = default;
};

/// A watch of the peer at a channel (see HostFramework::watchPeer).
struct PeerWatch {
    /// What unwatchPeer and stillWatching take.
    PeerWatchId id = 0;
    /// The pid watched; 0 for a private channel, whose end is its connection's.
    pid_t server = 0;
};

/// Decides whom this process deals with. Called on transport threads; each refusal is the
/// gate's to log. What a peer may ask is for the handler it asks to decide, from the
/// IncomingCall it is handed.
class AccessGate {
public:
    /// Whether this process deals with peer over a new connection: one the peer made to a
    /// channel served here (servedChannel empty), or one this process made to the process
    /// serving servedChannel. False closes the connection: nothing is read from it, and what
    /// was to go out on it ends Untrusted.
    virtual bool admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) = 0;

protected:
    ~AccessGate() = default;
};

/// Makes the proxies that getProxy hands out.
class ProxyProvider {
public:
    /// A proxy of interfaceName bound to remoteContext, a valid channel name; null for none.
    /// Called on the thread that asks getProxy.
    virtual Proxy* proxyFor(const std::string& interfaceName, const std::string& remoteContext) = 0;

protected:
    ~ProxyProvider() = default;
};

/// The framework of one process, across processes: binds this process's channels, hands what
/// arrives on them to the service, handlers and invokers bound there, and carries requests,
/// replies and one-way calls to other processes, encoded by the binary adapter.
///
/// A channel whose name starts with ':' is private: it has no socket, and the processes this one
/// connects to reach it over those connections only. Each of them gives the name to the first
/// connection that names it, until that connection closes, and drops frames that name it on
/// any other: a name nobody can guess, such as ":<pid>." and random digits, is the process's
/// own. A process that only calls others needs no write access to the runtime directory that
/// way.
///
/// Bind everything, and set the provider, listener and gate, before start, on one thread. Objects
/// handed in are not owned and must outlive stop. Once started, every function may be called on
/// any thread but where it says otherwise.
class HOST_API HostFramework final : public FrameworkContext, public CallbackChannelResolver {
public:
    /// Makes nothing yet: the runtime directory, sockets and threads come with bindChannel and
    /// start.
    explicit HostFramework(const HostOptions& options);
    /// Stops, as stop does.
    ~HostFramework();
    HostFramework(const HostFramework&) = delete;
    HostFramework& operator=(const HostFramework&) = delete;

    /// Serves channel here; its text messages go to service->handleMsg (dropped when null).
    /// listeningSocket, when not -1, is a listening socket made for the channel by a service
    /// manager; the framework takes it over, and closes it on failure. When it is -1 and the
    /// process was started with sockets passed in ($LISTEN_PID, $LISTEN_FDS), the one named
    /// channel in $LISTEN_FDNAMES, else the only one when none is named, else one bound at the
    /// channel's place, is served (the variables are read, and cleared, at the first channel
    /// bound: bind before starting threads that read the environment). Either way the channel's
    /// claim is taken as for a socket made here. Refused, with the system's reason, when the
    /// runtime directory cannot be made or the channel cannot be served, another process serving
    /// it, or when the socket given or passed is not a listening Unix stream socket at the
    /// channel's place in the runtime directory.
    Outcome bindChannel(const std::string& channel, Service* service, int listeningSocket = -1);
    /// As the other bindChannel, the text messages going to handler with the frame each came in.
    Outcome bindChannel(const std::string& channel, MessageHandler& handler,
                        int listeningSocket = -1);
    /// Calls of interfaceName arriving on the bound channel go to invoker, with executable.
    void bindInvoker(const std::string& channel, const std::string& interfaceName, Invoker& invoker,
                     Executable& executable);
    /// Calls of interfaceName arriving on the bound channel go to handler, each with the frame
    /// it came in.
    void bindCallHandler(const std::string& channel, const std::string& interfaceName,
                         CallHandler& handler);
    /// A peer connected to the bound channel that asks for the memory it shares gets the
    /// descriptors share returns (at most four), passed over its connection; the framework
    /// closes them once sent. share runs on a transport thread, for a peer the gate admitted.
    void bindSharedMemory(const std::string& channel, std::function<std::vector<int>()> share);
    /// Text messages to channel, bound here, go to sink rather than to its service: a thread
    /// waiting in sendAndAwait hands over itself those that come on the connection it reads.
    void bindReplies(const std::string& channel, ReplySink& sink);
    /// Makes the proxies getProxy hands out; null for none.
    void setProxyProvider(ProxyProvider* provider);
    /// Told of the connections this process made that close; null for none.
    void setPeerListener(PeerListener* listener);
    /// Decides whom this process deals with; without a gate (null), every peer is dealt with.
    void setAccessGate(AccessGate* gate);

    /// Starts the transport's threads: what comes to the bound channels is handled from now on.
    /// CannotStart, with the system's reason, when they cannot be set up.
    Outcome start();
    /// Returns once no frame is being handled; the sockets of the bound channels are removed.
    /// Not on a transport thread.
    void stop();
    /// Done while the runtime directory and the sockets of the channels bound here are in place;
    /// Unreachable, saying what happened, once one has been removed or replaced, so that nobody
    /// can reach the channel any more.
    Outcome channelsInPlace();
    /// The connections open now, accepted and made.
    std::size_t connectionCount();
    /// Calls idle once, on a framework thread, once no peer has been connected to a channel
    /// served here for quiet, counting from this call: a connection that opens starts the count
    /// again from its close. It is looked at once a second, so idle comes up to a second after
    /// the quiet. For a service that may end when nobody uses it (see declaredIdleExit()):
    /// idle must not wait, nor stop the framework itself; it tells another thread to. Invalid
    /// for an empty idle or a negative quiet.
    Outcome whenIdle(std::chrono::milliseconds quiet, std::function<void()> idle);

    /// Where the sockets of the channels bound here are.
    const std::string& runtimeDirectory() const;
    /// The file where the process serving channel, bound here, keeps its state (see
    /// HostOptions::stateDirectory).
    std::string statePath(const std::string& channel) const;
    /// The comms channel that sends from a bound channel; null for others.
    CommsChannelIfc* commsChannel(const std::string& boundChannel);
    /// Sends message, from boundChannel, to message.channel() without waiting: Done once it is
    /// on its way. Unreachable when nobody serves the channel, Busy when its process does not
    /// keep up, Forbidden or Untrusted as the system or the gate decide, Refused for a channel
    /// not bound here, an invalid name or a message too large for a frame; each with why.
    Outcome sendMessage(const std::string& boundChannel,
                        const CommsChannelDataContainerMessage& message);
    /// Sends message as sendMessage does, with its outcome; then, once it is on its way, waits
    /// until answered() holds or deadline passes, reading the connection it went out on itself
    /// while no other thread reads it, so that the reply is not handed over from a transport
    /// thread. It returns early, with the transport's threads carrying on, when another thread
    /// reads the connection or once a frame comes there that it may not handle (a call, or a
    /// message for a channel without a reply sink): answered() then comes to hold through them,
    /// for the caller to wait for. Nothing is read on a transport thread.
    Outcome sendAndAwait(const std::string& boundChannel,
                         const CommsChannelDataContainerMessage& message,
                         std::chrono::steady_clock::time_point deadline,
                         const std::function<bool()>& answered);
    /// A request channel to the executable serving interfaceName on channel, for a proxy.
    std::unique_ptr<SocketProxyRequest> makeProxyRequest(const std::string& channel,
                                                         const std::string& interfaceName);

    /// Sends request to the invoker of interfaceName on channel and waits for the answer, in
    /// reply, up to HostOptions::requestTimeout. remoteContext, when not empty, names the
    /// channel where the callee may call back. Done once answered; NoReply when no answer came
    /// in time; ConnectionLost when the connection it went out on closed first (its peer ended,
    /// or, for a channel of another device, the tunnel or the link to it was lost); Refused
    /// when called on a transport thread or for a request that cannot go; else as sendMessage.
    /// Not on a transport thread.
    Outcome call(const std::string& channel, const std::string& interfaceName,
                 const std::string& remoteContext, Method& request, Method& reply);
    /// As call, waiting until deadline, retries of a busy peer included.
    Outcome call(const std::string& channel, const std::string& interfaceName,
                 const std::string& remoteContext, Method& request, Method& reply,
                 std::chrono::steady_clock::time_point deadline);
    /// Sends request without waiting: Done once it is on its way, else as sendMessage.
    Outcome sendOneWay(const std::string& channel, const std::string& interfaceName,
                       Method& request);
    /// Calls gone once, on a framework thread, when the peer at channel ends, as the kernel says:
    /// for a private channel when the connection it belongs to closes, for another when the
    /// process holding its claim in the runtime directory ends, whatever its socket's mode.
    /// The watch once taken; NotFound when nobody serves the channel now; Refused, with why,
    /// when its end cannot be told (the share of watched processes of the user serving it is
    /// used, see ConnectionLimits).
    Result<PeerWatch> watchPeer(const std::string& channel, std::function<void()> gone);
    /// Calls gone once, on a framework thread, when process pid, of user, ends: the one that
    /// started at startTime (the 22nd field of /proc/PID/stat), so that a process that took its
    /// pid since is never taken for it; gone is called at once when it has ended already. The
    /// watch's id once taken; Refused, with why, when the process cannot be watched (see
    /// watchPeer).
    Result<PeerWatchId> watchProcess(pid_t pid, const std::string& startTime, uid_t user,
                                     std::function<void()> gone);
    /// Calls gone once, on a framework thread, when the peer of socket hangs up: socket is a
    /// connected socket of the caller's own that the framework does not read (the other end
    /// closed it, or its process ended). The watch keeps a copy of socket, and so the connection
    /// open, until it is told or unwatched. The watch's id once taken; Refused, with why, before
    /// start or when the system refuses.
    Result<PeerWatchId> watchHangUp(int socket, std::function<void()> gone);
    /// gone is not called for id once this returns, unless it was told already: a call may be
    /// under way or queued on the event loops.
    void unwatchPeer(PeerWatchId id);
    /// Whether the watch id still waits: false once its peer has been found gone.
    bool stillWatching(PeerWatchId id);
    /// Whether watchPeer may find a peer at channel, cheaply (no system call for a served channel,
    /// a read of the runtime directory's events at most for another): false when it certainly
    /// would not. A channel claimed from a state directory (see HostOptions) is never found.
    bool mayWatchPeer(const std::string& channel);
    /// Runs task on one of the framework's threads.
    void post(std::function<void()> task);
    /// Closes the connection that carries what goes to channel, if any: the process serving it
    /// learns that something sent to it may have been lost.
    void disconnect(const std::string& channel);
    /// Runs work once every frame being handled now has been handled: at once when none is.
    void afterFramesInFlight(std::function<void()> work);
    /// The gateway between the processes of this device and other devices, for the link layer
    /// that joins this device to them (see DeviceCalls). Once carrying over, it serves the
    /// channel `@`: what a process sends to a channel `NAME@DEVICE` comes there, and goes through
    /// a tunnel to DEVICE; what another device opens a tunnel for is carried to its channel
    /// here, the caller seen as its device's user (PeerCredentials::device and user). Stop the
    /// link layer before the framework.
    DeviceCalls& deviceCalls();

    /// The bound channel where executable receives calls; empty when it receives none.
    std::string getCallbackChannel(Executable* executable) override;
    /// The provider's proxy; null without a provider and for contexts that are no channel name.
    Proxy* getProxy(const std::string& interfaceName, const std::string& remoteContext) override;
    /// The binary adapter for its protocol's name; null for any other.
    ProtocolAdapter* getProtocolAdapter(const std::string& protocol) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace svcreg
