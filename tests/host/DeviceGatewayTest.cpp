// Calls between devices in one process: two hosts, each with a runtime directory of its own and
// a gateway, joined by a link that carries their messages in order on a thread of its own.
// The callee sees its caller as the other device's user; tunnels and vouches refuse what they
// may not carry. Calls both ways, 8 MiB ones, and a call ended as its service or link is lost are
// FederatedDevicesTest's DeviceCalls, over the real link.
#include "DeviceGateway.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "AccountNames.h"
#include "BinaryCodec.h"
#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "InvokerResponse.h"
#include "LogCapture.h"
#include "Method.h"
#include "Processes.h"
#include "ServiceRegistry/HostFramework.h"
#include "Vouch.h"

using namespace svcreg;

namespace {

constexpr const char* kEcho = "test.Echo";

// Two gateways joined as the link layer joins them: each message goes, in order, to the other's
// received(), tagged with its sender's device, on the link's one thread. It may refuse one Frame
// of a device's, as a full queue does. The Closes each device has taken are counted, and the
// shares of the queue each device's messages took are kept.
class LoopbackLink {
public:
    LoopbackLink(DeviceCalls& a, DeviceCalls& b) : a(a), b(b), carrier([this] { carry(); }) {}
    ~LoopbackLink() {
        {
            std::lock_guard<std::mutex> hold(mutex);
            ending = true;
        }
        changed.notify_all();
        carrier.join();
    }

    DeviceCalls::Sender senderOf(const std::string& device) {
        return
            [this, device](const std::string& to, DeviceMessage message, const std::string& share) {
                std::lock_guard<std::mutex> hold(mutex);
                if (to == device)
                    return Outcome(Status::Unreachable, "a device does not call itself");
                shares[device].insert(share);
                if (message.kind == DeviceMessage::Kind::Frame && refusing == device) {
                    refusing.clear();
                    return Outcome(Status::Busy, "the queue is full");
                }
                queue.push_back({device, to, std::move(message)});
                changed.notify_all();
                return Outcome();
            };
    }
    void refuseOneFrameFrom(const std::string& device) {
        std::lock_guard<std::mutex> hold(mutex);
        refusing = device;
    }
    std::size_t closesTo(const std::string& device) {
        std::lock_guard<std::mutex> hold(mutex);
        return closes.count(device);
    }
    std::set<std::string> sharesFrom(const std::string& device) {
        std::lock_guard<std::mutex> hold(mutex);
        return shares[device];
    }

private:
    struct Carried {
        std::string from;
        std::string to;
        DeviceMessage message;
    };

    void carry() {
        std::unique_lock<std::mutex> hold(mutex);
        for (;;) {
            changed.wait(hold, [&] { return ending || !queue.empty(); });
            if (ending) return;
            Carried next = std::move(queue.front());
            queue.pop_front();
            const bool closing = next.message.kind == DeviceMessage::Kind::Close;
            hold.unlock();
            (next.to == "A" ? a : b).received(next.from, std::move(next.message));
            hold.lock();
            if (closing) closes.insert(next.to);
        }
    }

    DeviceCalls& a;
    DeviceCalls& b;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Carried> queue;
    std::multiset<std::string> closes;
    std::map<std::string, std::set<std::string>> shares;
    std::string refusing;
    bool ending = false;
    std::thread carrier;
};

// Answers each call with its request, and keeps who called last and whether it may name svc@B
// as its own.
class Echo final : public CallHandler {
public:
    void handleCall(IncomingCall& call, const char* data, int length,
                    std::unique_ptr<InvokerResponse> response) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            caller = call.peer();
            ownsSvcOfB = call.ownsChannel("svc@B");
        }
        response->sendReply(data, length);
    }
    PeerCredentials lastCaller() {
        std::lock_guard<std::mutex> hold(mutex);
        return caller;
    }
    bool lastOwnedSvcOfB() {
        std::lock_guard<std::mutex> hold(mutex);
        return ownsSvcOfB;
    }

private:
    std::mutex mutex;
    PeerCredentials caller;
    bool ownsSvcOfB = false;
};

// A service that takes one connection and reads it up to its first call, which it leaves
// unanswered until it is destroyed.
class CallTaker {
public:
    explicit CallTaker(const std::string& path) {
        std::string error;
        listener = listenAt(path, error);
        taker = std::thread([this] {
            pollfd ready{listener.get(), POLLIN, 0};
            if (poll(&ready, 1, 20000) != 1) return;
            connection = UniqueFd(accept(listener.get(), nullptr, nullptr));
            called = readFramesUntil(connection.get(), [](const Frame& frame) {
                return frame.kind == Frame::Kind::Call;
            });
        });
    }
    ~CallTaker() { taker.join(); }

    std::atomic<bool> called{false};

private:
    UniqueFd listener;
    UniqueFd connection;
    std::thread taker;
};

HostOptions optionsIn(const std::string& folder) {
    HostOptions options = hostOptionsIn(folder, 2);
    options.requestTimeout = std::chrono::seconds(20);
    options.socketGroup = static_cast<gid_t>(-1);
    return options;
}

// Devices A and B, each serving "svc" with an echo, their gateways joined.
class TwoDevices : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto* device : {&a, &b}) {
            ASSERT_TRUE(device->host.bindChannel("svc", nullptr));
            device->host.bindCallHandler("svc", kEcho, device->echo);
            ASSERT_TRUE(device->host.start());
        }
        std::string error;
        ASSERT_TRUE(a.host.deviceCalls().carryOver(link.senderOf("A"), error)) << error;
        ASSERT_TRUE(b.host.deviceCalls().carryOver(link.senderOf("B"), error)) << error;
    }

    // The hosts send nothing more through the link once stopped.
    void TearDown() override {
        a.host.stop();
        b.host.stop();
    }

    // What channel answers a call of the echo carrying payload from host, in answer.
    static Outcome echo(HostFramework& host, const std::string& channel, const std::string& payload,
                        std::string* answer = nullptr) {
        Method request("echo", Method::REQUEST);
        request.addStringParameter("payload", payload, Parameter::IN);
        Method reply;
        const Outcome outcome = host.call(channel, kEcho, "", request, reply);
        if (answer != nullptr) reply.getStringParameter("payload", *answer, Parameter::IN);
        return outcome;
    }

    struct Device {
        explicit Device(const std::string& folder) : host(optionsIn(folder)) {}
        Echo echo;
        HostFramework host;
    };

    // Made before the hosts, whose relays are fitted to the descriptors: room for a device's 256
    // tunnels, each a relay and its end, whatever the shell's soft limit.
    const bool roomForTunnels = [] {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 8192));
        return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }();
    TempDirectory folderA;
    TempDirectory folderB;
    Device a{folderA.path()};
    Device b{folderB.path()};
    LoopbackLink link{a.host.deviceCalls(), b.host.deviceCalls()};
};

// A frame of the echo's interface, encoded.
std::string frameBytes(Frame::Kind kind, std::int64_t id, const std::string& destination,
                       const std::string& data = std::string(),
                       const std::string& source = std::string(),
                       const std::string& remoteContext = std::string()) {
    std::string bytes;
    appendEncodedFrame({kind, id, destination, source, remoteContext,
                        BinaryProtocolAdapter::kProtocolName, kEcho, data},
                       bytes);
    return bytes;
}

// What the opener of tunnel sends another device: its Open, to channel for user, or a frame.
DeviceMessage openOf(std::uint64_t tunnel, const std::string& user, const std::string& channel) {
    return {DeviceMessage::Kind::Open, tunnel, true, user, channel, ""};
}
DeviceMessage frameOf(std::uint64_t tunnel, std::string bytes, bool fromOpener = true) {
    return {DeviceMessage::Kind::Frame, tunnel, fromOpener, "", "", std::move(bytes)};
}

// A device holds at most a quarter of the relays here (of 8 connections, 2), so that one
// device's tunnels leave the others room: C's third is refused, D's first taken.
TEST(DeviceGateway, ADeviceHoldsAQuarterOfTheRelaysAtMost) {
    LogCapture log;
    TempDirectory folder;
    HostOptions options = optionsIn(folder.path());
    options.limits.connections = 8;
    HostFramework host(options);
    ASSERT_TRUE(host.bindChannel("svc", nullptr));
    ASSERT_TRUE(host.start());
    std::string error;
    const auto carrier = [](const std::string&, DeviceMessage, const std::string&) {
        return Outcome();
    };
    ASSERT_TRUE(host.deviceCalls().carryOver(carrier, error)) << error;
    for (std::uint64_t tunnel = 1; tunnel <= 3; ++tunnel)
        host.deviceCalls().received("C", openOf(tunnel, "alice", "svc"));
    host.deviceCalls().received("D", openOf(1, "alice", "svc"));
    EXPECT_TRUE(eventually([&] { return host.connectionCount() == 2 * 3; }));
    EXPECT_TRUE(
        log.holding("Tunnel of device C to channel 'svc' for user 'alice' refused: the "
                    "device holds 2 tunnels"));
}

// The callee sees the caller's device and user, and no local process or user of its own. A call
// device B sends back through A's tunnel to the caller's own channel is B's, not the gateway's
// that carried it.
TEST_F(TwoDevices, TheCalleeSeesTheCallersDeviceAndUserOnly) {
    std::string answer;
    const Outcome outcome = echo(a.host, "svc@B", "hello", &answer);
    ASSERT_TRUE(outcome) << outcome.reason();
    EXPECT_EQ(answer, "hello");
    const PeerCredentials caller = b.echo.lastCaller();
    EXPECT_EQ(caller.device, "A");
    EXPECT_EQ(caller.user, nameOfUser(geteuid()));
    EXPECT_EQ(caller.pid, 0);
    EXPECT_EQ(caller.uid, static_cast<uid_t>(-1));
    EXPECT_EQ(link.sharesFrom("A"), std::set<std::string>{"uid " + std::to_string(geteuid())});
    EXPECT_EQ(link.sharesFrom("B"), std::set<std::string>{"user " + caller.user});

    a.host.deviceCalls().received(
        "B",
        frameOf(1, frameBytes(Frame::Kind::Call, 7, "svc", encode(Method("echo", Method::REQUEST))),
                false));
    EXPECT_TRUE(eventually([&] { return a.echo.lastCaller().describe() == "device B"; }))
        << a.echo.lastCaller().describe();
    EXPECT_TRUE(a.echo.lastOwnedSvcOfB()) << "B's own, called back over its tunnel";

    // A caller of another device owns none of the channels reached through A's gateway, which
    // would carry what is sent there as A's user.
    DeviceCalls& gateway = a.host.deviceCalls();
    gateway.received("C", openOf(1, "carol", "svc"));
    gateway.received("C", frameOf(1, frameBytes(Frame::Kind::Call, 8, "svc",
                                                encode(Method("echo", Method::REQUEST)))));
    EXPECT_TRUE(eventually([&] { return a.echo.lastCaller().device == "C"; }));
    EXPECT_FALSE(a.echo.lastOwnedSvcOfB());
}

// A process may name its private channel on its connections to `@` and to a channel here: the
// gateway's frames take no part in the claim.
TEST_F(TwoDevices, TunnelsCarryTheirOneChannelAndAtMost64PerUserAnd256PerDevice) {
    LogCapture log;
    {
        UniqueFd caller, local;
        ASSERT_EQ(connectTo(folderA.path() + "/@", caller), ConnectResult::Connected);
        const std::string data = encode(Method("echo", Method::REQUEST));
        const std::string mine = ":4242.0123456789abcdef";
        ASSERT_TRUE(sendAll(caller.get(), frameBytes(Frame::Kind::Call, 1, "svc@B", data, mine) +
                                              frameBytes(Frame::Kind::Call, 2, "other@B", data) +
                                              frameBytes(Frame::Kind::Call, 3, "svc@B", data)));
        std::vector<std::int64_t> replies;
        readFramesUntil(caller.get(), [&](const Frame& frame) {
            replies.push_back(frame.requestId);
            return replies.size() == 2;
        });
        EXPECT_EQ(replies, (std::vector<std::int64_t>{1, 3})) << "the frame for other@B dropped";
        ASSERT_EQ(connectTo(folderA.path() + "/svc", local), ConnectResult::Connected);
        ASSERT_TRUE(sendAll(local.get(), frameBytes(Frame::Kind::Call, 4, "svc", data, mine)));
        EXPECT_TRUE(readFramesUntil(local.get(), [](const Frame& frame) {
            return frame.kind == Frame::Kind::Reply && frame.requestId == 4;
        })) << "a private channel named through the gateway too";
    }
    ASSERT_TRUE(eventually([&] { return link.closesTo("B") == 1; })) << "its tunnel closed";

    // Each relay, and its end at "svc", accepted before the next: a burst of connections
    // could find the listen backlog full. A tunnel to a channel nobody serves is refused, an Open
    // from the answering end dropped, Alice's 65th refused, then the device's 257th.
    DeviceCalls& gateway = b.host.deviceCalls();
    ASSERT_TRUE(eventually([&] { return b.host.connectionCount() == 0; })) << "its relay ended";
    DeviceMessage toNobody = openOf(1000, "bob", "nobody");
    gateway.received("A", toNobody);
    toNobody.fromOpener = false;  // the answering end never opens: dropped, nothing answered
    gateway.received("A", toNobody);
    const std::size_t alices = DeviceGateway::kMaxTunnelsPerUser + 1;
    std::size_t relays = 0;
    for (std::size_t tunnel = 1; tunnel <= DeviceGateway::kMaxTunnelsPerDevice + 2; ++tunnel) {
        const std::string user = tunnel <= alices ? "alice" : "u" + std::to_string(tunnel % 4);
        gateway.received("A", openOf(tunnel, user, "svc"));
        if (tunnel != alices && relays < DeviceGateway::kMaxTunnelsPerDevice) ++relays;
        ASSERT_TRUE(eventually([&] { return b.host.connectionCount() == 2 * relays; }));
    }
    EXPECT_TRUE(eventually([&] { return link.closesTo("A") == 3; }));
    // The relays of A, vouched for by B's gateway, take no share of another device's
    // connections at "svc", nor of its gateway's user's.
    gateway.received("C", openOf(1, "carol", "svc"));
    EXPECT_TRUE(eventually([&] { return b.host.connectionCount() == 2 * relays + 2; }));
    for (const char* refusal : {"for user 'alice' refused: the user holds 64 tunnels",
                                "for user 'u2' refused: the device holds 256 tunnels",
                                "for user 'bob' refused: nobody serves channel 'nobody'",
                                "for tunnel 1000 dropped: only the opener"}) {
        EXPECT_TRUE(log.holding(refusal)) << refusal;
    }
}

// Opens past 512 a second of one device are refused, tunnels closed at once or not.
TEST_F(TwoDevices, ADeviceOpensAtMost512TunnelsASecond) {
    LogCapture log;
    const char* refusal = "tunnel 513 refused: it opened 512 tunnels this second";
    for (std::uint64_t tunnel = 1; tunnel <= 1024 && !log.holding(refusal); ++tunnel) {
        b.host.deviceCalls().received("A", openOf(tunnel, "alice", "nobody"));
    }
    EXPECT_TRUE(log.holding(refusal));
}

TEST_F(TwoDevices, ALocalUserHoldsAtMost64TunnelsToADevice) {
    LogCapture log;
    const std::string call =
        frameBytes(Frame::Kind::Call, 1, "svc@B", encode(Method("echo", Method::REQUEST)));
    std::vector<UniqueFd> callers(DeviceGateway::kMaxTunnelsPerUser + 1);
    for (UniqueFd& caller : callers) {
        ASSERT_EQ(connectTo(folderA.path() + "/@", caller), ConnectResult::Connected);
        ASSERT_TRUE(sendAll(caller.get(), call));
        if (&caller == &callers.back()) break;
        ASSERT_TRUE(readFramesUntil(caller.get(), [](const Frame&) { return true; }));
    }
    EXPECT_TRUE(closedByPeer(callers.back().get()));
    EXPECT_TRUE(log.holding("the user holds 64 tunnels to device B")) << "names the user";
}

// A frame the link refuses closes its tunnel at both ends, the refused call ending at once, and
// so does an Open, each logged with the link's reason; a frame of a tunnel a device does not
// hold is answered with a Close.
TEST_F(TwoDevices, AFrameTheLinkRefusesClosesItsTunnelAtBothEnds) {
    LogCapture log;
    EXPECT_FALSE(echo(a.host, "svc@A", "to itself"));
    for (const char* refusing : {"A", "B"}) {
        SCOPED_TRACE(std::string("refused from ") + refusing);
        ASSERT_TRUE(echo(a.host, "svc@B", "warm"));
        link.refuseOneFrameFrom(refusing);
        const auto begun = std::chrono::steady_clock::now();
        EXPECT_FALSE(echo(a.host, "svc@B", "refused"));
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10));
        const Outcome next = echo(a.host, "svc@B", "again");
        EXPECT_TRUE(next) << next.reason();
        EXPECT_TRUE(eventually([&] { return b.host.connectionCount() == 2; }))
            << b.host.connectionCount() << " connections at B: a relay of a closed tunnel stays";
    }
    EXPECT_TRUE(log.holding("to channel 'svc@A' not opened: a device does not call itself"));
    EXPECT_TRUE(log.holding("not take a frame of pid " + std::to_string(getpid())));
    EXPECT_TRUE(log.holding("from channel 'svc' for user '" + nameOfUser(geteuid()) +
                            "': the queue is full; closing its tunnel"));
    const struct {
        HostFramework& at;
        const char* from;
        bool fromOpener;
    } unknown[] = {{b.host, "A", true}, {a.host, "B", false}};
    for (const auto& frame : unknown) {
        SCOPED_TRACE(std::string("a frame from ") + frame.from);
        const std::size_t closes = link.closesTo(frame.from);
        frame.at.deviceCalls().received(
            frame.from, frameOf(999, frameBytes(Frame::Kind::Message, 1, "svc"), frame.fromOpener));
        EXPECT_TRUE(eventually([&] { return link.closesTo(frame.from) == closes + 1; }));
    }
}

// A frame a process of a device with the longest of names sent at the bound still reaches B's
// service, its source and remote context named after that device.
TEST_F(TwoDevices, AFrameAtTheBoundCrossesThoughItsNamingLengthensIt) {
    CallTaker taker(folderB.path() + "/raw");
    const std::string device(kMaxDeviceNameSize, 'd');
    DeviceCalls& gateway = b.host.deviceCalls();
    gateway.received(device, openOf(1, "alice", "raw"));
    const auto call = [](const std::string& data) {
        return frameBytes(Frame::Kind::Call, 1, "raw", data, "caller", "callback");
    };
    const std::string data(kMaxFrameBodySize - (call("").size() - kFrameHeaderSize), 'x');
    ASSERT_EQ(call(data).size(), kFrameHeaderSize + kMaxFrameBodySize);
    gateway.received(device, frameOf(1, call(data)));
    EXPECT_TRUE(eventually([&] { return taker.called.load(); }));
}

// What a device sends to a service that does not read waits in relays whose bytes count apart
// from the local connections', each device's in a share of its own. Two relays to a silent
// service hold 32 MiB, a share: once device C filled its share, B still answers a call from A
// and one of its own, to a service of the same user; once D filled its share too, the relays'
// total, B still answers its own.
TEST_F(TwoDevices, RelaysToAServiceThatDoesNotReadHoldOnlyTheirDevicesShare) {
    std::string error;
    const UniqueFd silent = listenAt(folderB.path() + "/silent", error);  // never accepts
    ASSERT_TRUE(silent.valid()) << error;
    DeviceCalls& gateway = b.host.deviceCalls();
    const std::string large(kMaxFrameBodySize - 4096, 'x');
    const std::string payload(64 << 10, 'y');
    std::uint64_t tunnel = 0;
    for (const std::string device : {"C", "D"}) {
        const std::size_t connections = b.host.connectionCount();
        for (const std::uint64_t last = tunnel + 2; tunnel < last;) {
            gateway.received(device, openOf(++tunnel, "alice", "silent"));
            const DeviceMessage frame =
                frameOf(tunnel, frameBytes(Frame::Kind::Message, 0, "silent", large));
            for (int queued = 0; queued < 2; ++queued) gateway.received(device, frame);
        }
        ASSERT_EQ(b.host.connectionCount(), connections + 2) << "the relays hold their frames";
        for (auto* caller : {&a, &b}) {
            if (caller == &a && device == "D") continue;
            std::string answer;
            const Outcome called =
                echo(caller->host, caller == &a ? "svc@B" : "svc", payload, &answer);
            EXPECT_TRUE(called) << device << ": " << called.reason();
            EXPECT_TRUE(answer == payload);
        }
    }
}

// What a service here leaves unfinished on a relay counts against its user's budget of
// unfinished bytes (16 MiB), with what it leaves on its other connections: a frame at the bound
// all but sent on a relay, and another to "svc", pass it.
TEST_F(TwoDevices, AServicesUnfinishedFramesOnARelayCountAgainstItsUsersBudget) {
    LogCapture log;
    std::string error;
    const UniqueFd listener = listenAt(folderB.path() + "/raw", error);
    ASSERT_TRUE(listener.valid()) << error;
    b.host.deviceCalls().received("A", openOf(1, "alice", "raw"));
    pollfd ready{listener.get(), POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 20000), 1);
    const UniqueFd relay(accept(listener.get(), nullptr, nullptr));
    UniqueFd local;
    ASSERT_EQ(connectTo(folderB.path() + "/svc", local), ConnectResult::Connected);
    const std::size_t fields = frameBytes(Frame::Kind::Call, 1, "svc").size() - kFrameHeaderSize;
    std::string unfinished =
        frameBytes(Frame::Kind::Call, 1, "svc", std::string(kMaxFrameBodySize - fields, 'x'));
    unfinished.pop_back();
    ASSERT_TRUE(sendAll(relay.get(), unfinished));
    sendAll(local.get(), unfinished);  // fails when its connection is the one closed
    EXPECT_TRUE(eventually([&] {
        return log.holding("passes the quota of bytes in unfinished frames (16777216 per user)");
    }));
}

// Only the first frame of an accepted connection may vouch, and only from root, the runtime
// directory's owner or the registry's user: a test not run as root has no other user to vouch
// as. Only they may serve the gateway either, whatever the process's gate.
TEST_F(TwoDevices, AVouchIsTakenFirstAndFromATrustedRegistryOnly) {
    const std::string socket = folderB.path() + "/svc";
    const std::string vouch = frameBytes(Frame::Kind::Vouch, 0, "", "A\nalice");
    UniqueFd late;
    ASSERT_EQ(connectTo(socket, late), ConnectResult::Connected);
    ASSERT_TRUE(sendAll(late.get(), frameBytes(Frame::Kind::Message, 1, "svc") + vouch));
    EXPECT_TRUE(closedByPeer(late.get())) << "a vouch after the first frame";

    if (geteuid() != 0) GTEST_SKIP() << "only root can vouch as a user who is not the owner";
    ASSERT_EQ(chmod(folderB.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(socket.c_str(), 0777), 0);
    const ForkedAs nobody{kNobody, kNobody, {}};
    const ForkedProcess stranger(
        [&] {
            UniqueFd connection;
            return connectTo(socket, connection) == ConnectResult::Connected &&
                   sendAll(connection.get(), vouch) && closedByPeer(connection.get());
        },
        &nobody);
    EXPECT_TRUE(stranger.started) << "a vouch from a user who is neither root nor the owner";

    TempDirectory folderC;
    ASSERT_EQ(chmod(folderC.path().c_str(), 0777), 0);
    const ForkedProcess gateway(
        [&] {
            static UniqueFd listener;  // kept open by the child until it is killed
            std::string error;
            listener = listenAt(folderC.path() + "/@", error);
            return listener.valid();
        },
        &nobody);
    ASSERT_TRUE(gateway.started);
    HostFramework c(optionsIn(folderC.path()));
    ASSERT_TRUE(c.start());
    EXPECT_EQ(echo(c, "svc@B", "hello").status(), Status::Untrusted) << "a gateway of nobody's";
}

}  // namespace
