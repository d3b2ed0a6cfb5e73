#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FrameworkContext.h"
#include "HostExport.h"
#include "Limits.h"
#include "PeerCredentials.h"
#include "ProxyRequest.h"
#include "SocketProxyRequest.h"

class CommsChannelDataContainerMessage;
class CommsChannelIfc;
class Executable;
class Invoker;
class Method;
class Proxy;
class Service;

namespace svcreg {

// HostOptions::socketGroup's default: the registry's access group (kDefaultAccessGroup) when it
// exists and this process may give its files to it, so that the registry can reach the
// services' channels with its announcements; else the umask decides.
constexpr gid_t kRegistryAccessGroup = static_cast<gid_t>(-2);

struct HostOptions {
    // Where the channels' sockets live; empty for the default (see Defaults.h).
    std::string runtimeDirectory;
    // Threads that read connections and handle what arrives on them.
    unsigned workerThreads = 4;
    // How long a call waits for its answer.
    std::chrono::milliseconds requestTimeout{5000};
    // The group whose members may connect to the sockets of the channels bound here (made
    // mode 0660 and given to it); -1 leaves them to the umask.
    gid_t socketGroup = kRegistryAccessGroup;
    // What peers may hold of this process's connections and memory.
    ConnectionLimits limits;
    // A folder only this process's user may write, for the claims and the state of the
    // channels bound here, out of the reach of everyone who may write the runtime directory;
    // empty keeps them in the runtime directory, beside the sockets.
    std::string stateDirectory;
};

// The interface a message names when it answers a text request with an error instead of the
// reply: one too large for a frame, or a request the access gate refused. The message's data
// is the reason, for a person; its request id is the request's.
constexpr const char* kErrorReplyInterface = "svcreg.Error";

// Told of the connections this process made that have closed.
class PeerListener {
public:
    // A connection this process made to channel has closed: what went out on it may never be
    // answered. Called on a transport thread.
    virtual void connectionLost(const std::string& channel) = 0;

protected:
    ~PeerListener() = default;
};

// Takes the text messages that come to a channel bound here in answer to requests sent from it
// (see HostFramework::bindReplies).
class ReplySink {
public:
    // A message for the channel: the request id it names (0 for none), its interface
    // (kErrorReplyInterface for a refusal) and its data. Called on the thread that reads the
    // connection it came on, a transport thread or one waiting in sendAndAwait: it must be
    // quick, never wait, and be safe on any thread.
    virtual void replyArrived(std::int64_t requestId, const std::string& interface,
                              std::string&& data) = 0;

protected:
    ~ReplySink() = default;
};

// Names a watch of a peer's end (see HostFramework::watchPeer); 0 for none.
using PeerWatchId = std::uint64_t;

// Decides whom this process deals with. Called on transport threads; each refusal is the
// gate's to log. What a peer may ask is for the service or invoker it asks to decide: on the
// thread that handles its frame, currentCaller names it.
class AccessGate {
public:
    // A new connection: one a peer made to a channel served here (servedChannel empty), or one
    // this process made to the process serving servedChannel.
    virtual bool admitsPeer(const PeerCredentials& peer, const std::string& servedChannel) = 0;

protected:
    ~AccessGate() = default;
};

// Makes the proxies that getProxy hands out.
class ProxyProvider {
public:
    // A proxy of interfaceName bound to remoteContext, a valid channel name; null for none.
    virtual Proxy* proxyFor(const std::string& interfaceName, const std::string& remoteContext) = 0;

protected:
    ~ProxyProvider() = default;
};

// The framework of one process, across processes: binds this process's channels, hands what
// arrives on them to the service and invokers bound there, and carries requests, replies and
// one-way calls to other processes, encoded by the binary adapter.
//
// A channel whose name starts with ':' is private: it has no socket, and the processes this one
// connects to reach it over those connections only. Each of them gives the name to the first
// connection that names it, until that connection closes, and drops frames that name it on
// any other: a name nobody can guess, such as ":<pid>." and random digits, is the process's
// own. A process that only calls others needs no write access to the runtime directory that
// way.
//
// Bind everything, and set the provider, listener and gate, before start. Objects handed in are
// not owned and must outlive stop.
class HOST_API HostFramework final : public FrameworkContext, public CallbackChannelResolver {
public:
    explicit HostFramework(const HostOptions& options);
    ~HostFramework();
    HostFramework(const HostFramework&) = delete;
    HostFramework& operator=(const HostFramework&) = delete;

    // Serves channel here; its text messages go to service->handleMsg (dropped when null).
    // Fails when the runtime directory cannot be made or another process serves the channel.
    // listeningSocket, when not -1, is a listening socket made for the channel by a service
    // manager; the framework takes it over.
    bool bindChannel(const std::string& channel, Service* service, std::string& error,
                     int listeningSocket = -1);
    // Calls of interfaceName arriving on the bound channel go to invoker, with executable.
    void bindInvoker(const std::string& channel, const std::string& interfaceName, Invoker& invoker,
                     Executable& executable);
    // A peer connected to the bound channel that asks for the memory it shares gets the
    // descriptors share returns (at most four), passed over its connection; the framework
    // closes them once sent. share runs on a transport thread, for a peer the gate admitted.
    void bindSharedMemory(const std::string& channel, std::function<std::vector<int>()> share);
    // Text messages to channel, bound here, go to sink rather than to its service: a thread
    // waiting in sendAndAwait hands over itself those that come on the connection it reads.
    void bindReplies(const std::string& channel, ReplySink& sink);
    void setProxyProvider(ProxyProvider* provider);
    void setPeerListener(PeerListener* listener);
    // Without a gate, every peer is dealt with and may ask anything.
    void setAccessGate(AccessGate* gate);

    // False, with the system's reason, when the transport's threads cannot be set up.
    bool start(std::string& error);
    // Returns once no frame is being handled; the sockets of the bound channels are removed.
    void stop();
    // False, with what happened, once the runtime directory or the socket of a channel bound
    // here has been removed or replaced, so that nobody can reach the channel any more.
    bool channelsInPlace(std::string& error);
    // The connections open now, accepted and made.
    std::size_t connectionCount();

    // Where the sockets of the channels bound here are.
    const std::string& runtimeDirectory() const;
    // The file where the process serving channel, bound here, keeps its state (see
    // HostOptions::stateDirectory).
    std::string statePath(const std::string& channel) const;
    // The comms channel that sends from a bound channel; null for others.
    CommsChannelIfc* commsChannel(const std::string& boundChannel);
    // Sends message, from boundChannel, to message.channel() without waiting: Answered once
    // it is on its way.
    CallOutcome sendMessage(const std::string& boundChannel,
                            const CommsChannelDataContainerMessage& message);
    // Sends message as sendMessage does; then, once it is on its way, waits until answered()
    // holds or deadline passes, reading the connection it went out on itself while no other
    // thread reads it, so that the reply is not handed over from a transport thread. It returns
    // early, with the transport's threads carrying on, when another thread reads the connection
    // or once a frame comes there that it may not handle (a call, or a message for a channel
    // without a reply sink): answered() then comes to hold through them, for the caller to
    // wait for. Nothing is read on a transport thread.
    CallOutcome sendAndAwait(const std::string& boundChannel,
                             const CommsChannelDataContainerMessage& message,
                             std::chrono::steady_clock::time_point deadline,
                             const std::function<bool()>& answered);
    std::unique_ptr<SocketProxyRequest> makeProxyRequest(const std::string& channel,
                                                         const std::string& interfaceName);

    // Sends request to the invoker of interfaceName on channel and waits for the answer, up to
    // HostOptions::requestTimeout. remoteContext, when not empty, names the channel where the
    // callee may call back.
    CallOutcome call(const std::string& channel, const std::string& interfaceName,
                     const std::string& remoteContext, Method& request, Method& reply);
    // As call, waiting until deadline, retries of a busy peer included.
    CallOutcome call(const std::string& channel, const std::string& interfaceName,
                     const std::string& remoteContext, Method& request, Method& reply,
                     std::chrono::steady_clock::time_point deadline);
    // Sends request without waiting.
    CallOutcome sendOneWay(const std::string& channel, const std::string& interfaceName,
                           Method& request);
    // The peer whose message or call the calling thread is handling; null on other threads.
    static const PeerCredentials* currentCaller();
    // The channel that the call being handled on the calling thread names for calling back;
    // empty on other threads.
    static std::string currentCallContext();
    // The call being handled on the calling thread is refused, for reason: its answer carries
    // the reason (the string parameter kRefusalParameter) beside the invoker's result.
    static void refuseCurrentCall(std::string reason);
    // The answer of the call being handled on the calling thread carries the string parameter
    // name beside the invoker's result; nothing happens on other threads.
    static void addToCurrentAnswer(std::string name, std::string value);
    // The text message being handled on the calling thread is refused, for reason: an error
    // message (see kErrorReplyInterface) goes back to its source, over the connection it came in
    // on. Nothing goes when it names no source.
    static void refuseCurrentMessage(const std::string& reason);
    // Whether the peer whose message or call the calling thread is handling may name channel
    // as its own, to be answered or called back there: root may name any channel, other users
    // a private channel of the connection they came on, or a channel served by a process of
    // their own user. True on other threads.
    static bool callerOwnsChannel(const std::string& channel);
    // Calls gone once, on a framework thread, when the peer at channel ends, as the kernel says:
    // for a private channel when the connection it belongs to closes, for another when the
    // process holding its claim in the runtime directory ends, whatever its socket's mode. 0
    // when it cannot be told: why stays empty when nobody serves the channel now, and says why
    // otherwise (the share of watched processes of the user serving it is used, see
    // ConnectionLimits). server, when given, gets the pid watched (0 for a private channel).
    PeerWatchId watchPeer(const std::string& channel, std::function<void()> gone, std::string& why,
                          pid_t* server = nullptr);
    // Calls gone once, on a framework thread, when the process whose message or call the
    // calling thread is handling ends: the one the kernel saw at the other end of its
    // connection, never one that took its pid since. gone is called at once when it has ended
    // already. 0, with why, when it cannot be watched (see watchPeer), and on other threads.
    static PeerWatchId watchCaller(std::function<void()> gone, std::string& why);
    // Calls gone once, on a framework thread, when process pid, of user, ends: the one that
    // started at startTime (the 22nd field of /proc/PID/stat), so that a process that took its
    // pid since is never taken for it; gone is called at once when it has ended already. 0, with
    // why, when it cannot be watched (see watchPeer).
    PeerWatchId watchProcess(pid_t pid, const std::string& startTime, uid_t user,
                             std::function<void()> gone, std::string& why);
    // Whether the call being handled on the calling thread carries the bool parameter flag, set;
    // false for a text message and on other threads.
    static bool currentCallAsks(const std::string& flag);
    // gone is not called for id once this returns, unless it is being called now.
    void unwatchPeer(PeerWatchId id);
    // Whether the watch id still waits: false once its peer has been found gone.
    bool stillWatching(PeerWatchId id);
    // Whether watchPeer may find a peer at channel, cheaply (no system call for a served channel,
    // a read of the runtime directory's events at most for another): false when it certainly
    // would not. A channel claimed from a state directory (see HostOptions) is never found.
    bool mayWatchPeer(const std::string& channel);
    // Runs task on one of the framework's threads.
    void post(std::function<void()> task);
    // Closes the connection that carries what goes to channel, if any: the process serving it
    // learns that something sent to it may have been lost.
    void disconnect(const std::string& channel);
    // Runs work once every frame being handled now has been handled: at once when none is.
    void afterFramesInFlight(std::function<void()> work);

    // The bound channel where executable receives calls; empty when it receives none.
    std::string getCallbackChannel(Executable* executable) override;
    // The provider's proxy; null without a provider and for contexts that are no channel name.
    Proxy* getProxy(const std::string& interfaceName, const std::string& remoteContext) override;
    ProtocolAdapter* getProtocolAdapter(const std::string& protocol) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace svcreg
