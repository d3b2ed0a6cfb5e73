// The router hands each frame to what is bound at its channel, with the frame as the handler's
// IncomingCall. The daemon's tests route every road through it: calls and messages handled, their
// refusals told to the asker (Access, DeadOwners.ACallerThatCannotBeWatchedIsRefused...), and the
// framework's invokers (the status command). Here: who asked and where it takes calls back, what
// comes back of a frame nobody handles, of a refused one-way call and of a refused message that
// names no source, all to the asker alone (the router holds no other peer to send to); and that a
// caller of another device gets no memory shared, and ends with its connection rather than with a
// process.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BinaryCodec.h"
#include "BinaryProtocolAdapter.h"
#include "FrameCodec.h"
#include "FrameRouter.h"
#include "InvokerResponse.h"
#include "LogCapture.h"
#include "Processes.h"
#include "RecordingHandler.h"
#include "ServiceRegistry/HostFramework.h"
#include "Transport.h"

using namespace svcreg;

namespace {

constexpr char kServed[] = "served";
constexpr char kHandled[] = "Handled";  // the interface of the call handler

// Refuses each call and message it is handed, and answers each call all the same; keeps who asked,
// and where the asker takes calls back.
class RefusingHandlers final : public CallHandler, public MessageHandler {
public:
    void handleCall(IncomingCall& call, const char*, int,
                    std::unique_ptr<InvokerResponse> response) override {
        handledFrom(call, response->getRemoteContext());
        const std::string bytes = encode(Method("ask", Method::REPLY));
        response->sendReply(bytes.data(), static_cast<int>(bytes.size()));
    }
    void handleMessage(IncomingCall& call, const char*, int, const std::string&, CommsChannelIfc&,
                       CommsChannelDataContainerMessage*) override {
        handledFrom(call, call.callbackChannel());
    }

    // "uid callback-channel answer's-context" of each: a message has no answer of its own.
    std::vector<std::string> handled;

private:
    void handledFrom(IncomingCall& call, const std::string& answersContext) {
        handled.push_back(std::to_string(call.peer().uid) + " " + call.callbackChannel() + " " +
                          answersContext);
        call.refuse("refused");
    }
};

// A peer connected to the router's process over a socket pair: the router is handed its frames as
// if read from its connection, and the test reads what the router sends back.
// A remote peer is one its device vouched for: no pid, uid or gid of its own here.
struct Peer {
    explicit Peer(uid_t uid, const std::string& device = "") {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        PeerCredentials credentials;
        credentials.pid = device.empty() ? getpid() : 0;
        credentials.uid = uid;
        credentials.device = device;
        credentials.user = device.empty() ? "" : "alice";
        connection =
            std::make_shared<Connection>(UniqueFd(ends[0]), -1, "", credentials,
                                         std::make_shared<ConnectionBudgets>(ConnectionLimits()));
        ownEnd = UniqueFd(ends[1]);
    }

    // What has come back so far: the router sends before route returns.
    std::vector<Frame> received() {
        char bytes[65536];
        for (ssize_t got; (got = recv(ownEnd.get(), bytes, sizeof bytes, MSG_DONTWAIT)) > 0;)
            reader.append(bytes, static_cast<std::size_t>(got));
        std::vector<Frame> frames(1);
        while (reader.next(frames.back()) == FrameReader::Status::Ready) frames.emplace_back();
        frames.pop_back();
        return frames;
    }

    std::shared_ptr<Connection> connection;
    UniqueFd ownEnd;
    FrameReader reader;
};

Frame frameOf(Frame::Kind kind, const char* destination, const char* interface) {
    Frame frame;
    frame.kind = kind;
    frame.destination = destination;
    frame.interface = interface;
    frame.remoteContext = "alice_cb";
    frame.data = encode(Method("ask", Method::REQUEST));
    return frame;
}

// A router of a transport in a fresh runtime directory: the frames are handed to the router here.
class FrameRouterTest : public ::testing::Test {
protected:
    TempDirectory folder;
    RecordingHandler unused;
    Transport transport{RuntimeDirectory(folder.path()), unused, 1};
    BinaryProtocolAdapter adapter;
    FrameRouter router{transport, adapter};
};

TEST_F(FrameRouterTest, AnswersACallNobodyHandlesEmptyAndOnlyToItsSender) {
    const struct {
        const char* what;
        Frame frame;
        bool handled;
        bool emptyAnswer;  // else nothing comes back
    } cases[] = {
        {"one-way call refused", frameOf(Frame::Kind::OneWayCall, kServed, kHandled), true, false},
        {"message refused that names no source", frameOf(Frame::Kind::Message, kServed, ""), true,
         false},
        {"call of an interface bound nowhere", frameOf(Frame::Kind::Call, kServed, "None"), false,
         true},
        {"call to a channel not served", frameOf(Frame::Kind::Call, "elsewhere", kHandled), false,
         true},
        {"message to a channel not served", frameOf(Frame::Kind::Message, "elsewhere", ""), false,
         false},
    };
    RefusingHandlers handlers;
    router.bindChannel(kServed, static_cast<MessageHandler&>(handlers));
    router.bindCallHandler(kServed, kHandled, handlers);
    Peer alice(1001);

    std::int64_t requestId = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Frame frame = c.frame;
        frame.requestId = ++requestId;
        handlers.handled.clear();
        router.route(alice.connection, frame);
        EXPECT_EQ(handlers.handled, c.handled ? std::vector<std::string>{"1001 alice_cb alice_cb"}
                                              : std::vector<std::string>{});
        const std::vector<Frame> back = alice.received();
        ASSERT_EQ(back.size(), c.emptyAnswer ? 1u : 0u);
        if (back.empty()) continue;
        EXPECT_EQ(back[0].kind, Frame::Kind::Reply);
        EXPECT_EQ(back[0].requestId, frame.requestId);
        EXPECT_EQ(back[0].data, "");
    }
}

// Watches each caller's end, as the registry does for an entry that ends with its caller.
class WatchingHandler final : public CallHandler {
public:
    void handleCall(IncomingCall& call, const char*, int,
                    std::unique_ptr<InvokerResponse>) override {
        watched = call.watchCaller([this] { ended = true; }).ok();
    }

    bool watched = false;
    std::atomic<bool> ended{false};
};

// The socket pair's other end is this process: a watch of the process at the connection's other
// end would never end, as the relay's other end, the registry daemon, does not.
TEST_F(FrameRouterTest, ACallerOfAnotherDeviceGetsNoSharedMemoryAndEndsWithItsConnection) {
    std::string error;
    ASSERT_TRUE(transport.start(error)) << error;
    WatchingHandler handler;
    router.bindCallHandler(kServed, kHandled, handler);
    TempDirectory memory;
    router.bindSharedMemory(kServed, [&] {
        return std::vector<int>{open(memory.path().c_str(), O_RDONLY | O_CLOEXEC)};
    });
    Peer remote(static_cast<uid_t>(-1), "A");
    LogCapture log(2);

    Frame ask = frameOf(Frame::Kind::Descriptors, kServed, "");
    router.route(remote.connection, ask);
    const std::vector<Frame> back = remote.received();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].data, "");  // not shared: lookups go by calls
    EXPECT_EQ(log.holding("Refused to share the memory of channel 'served' with user alice of "
                          "device A: it is another device's"),
              1u);

    Frame call = frameOf(Frame::Kind::Call, kServed, kHandled);
    router.route(remote.connection, call);
    ASSERT_TRUE(handler.watched);
    remote.connection->close();
    transport.peerEnds().connectionEnded(*remote.connection);
    EXPECT_TRUE(eventually([&] { return handler.ended.load(); }));
    transport.stop();
}

}  // namespace
