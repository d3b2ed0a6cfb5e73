// The router hands each frame to what is bound at its channel, with the frame as the handler's
// IncomingCall: the peer it came from, what it asks, and the way back to that peer alone, for
// the answer and for a refusal.
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BinaryCodec.h"
#include "BinaryProtocolAdapter.h"
#include "Executable.h"
#include "FrameCodec.h"
#include "FrameRouter.h"
#include "Invoker.h"
#include "InvokerResponse.h"
#include "Processes.h"
#include "ServiceRegistry/HostFramework.h"
#include "Transport.h"

using namespace svcreg;

namespace {

constexpr char kServed[] = "served";
constexpr char kHandled[] = "Handled";  // the interface of the call handler
constexpr char kPlain[] = "Plain";      // the interface of the framework's invoker
constexpr char kRefuse[] = "refuse";    // what asks the handlers to refuse

class NoFrames final : public FrameHandler {
public:
    void handleFrame(const std::shared_ptr<Connection>&, Frame&) override {}
    void handleReply(const Connection&, Frame&) override {}
    bool handledWhileWaiting(const Frame&) override { return false; }
    void connectionClosed(const Connection&) override {}
    bool admitsPeer(const PeerCredentials&, const std::string&) override { return true; }
};

// What was handed a frame, and what it learnt of the frame's call.
struct Handling {
    std::string by;  // "call", "message" or "invoker"
    uid_t peer;
    std::string callbackChannel;
};

// Records each frame it is handed, answers each call "result" true, and refuses, naming the
// peer's user, a call that asks kRefuse and a message that says it.
class RecordingHandlers final : public CallHandler, public MessageHandler, public Invoker {
public:
    void handleCall(IncomingCall& call, const char* data, int length,
                    std::unique_ptr<InvokerResponse> response) override {
        handled.push_back({"call", call.peer().uid, call.callbackChannel()});
        if (call.asks(kRefuse)) call.refuse(refusalFor(call.peer().uid));
        answer(data, length, *response);
    }
    void handleMessage(IncomingCall& call, const char* data, int length, const std::string&,
                       CommsChannelIfc&, CommsChannelDataContainerMessage*) override {
        handled.push_back({"message", call.peer().uid, call.callbackChannel()});
        if (std::string(data, static_cast<std::size_t>(length)) == kRefuse)
            call.refuse(refusalFor(call.peer().uid));
    }
    void handleMessage(Executable*, const char* data, int length,
                       InvokerResponse* response) override {
        const std::unique_ptr<InvokerResponse> owned(response);
        handled.push_back({"invoker", static_cast<uid_t>(-1), response->getRemoteContext()});
        answer(data, length, *response);
    }

    static std::string refusalFor(uid_t user) { return "refused for uid " + std::to_string(user); }

    std::vector<Handling> handled;

private:
    static void answer(const char* data, int length, InvokerResponse& response) {
        Method request;
        ASSERT_TRUE(decode(std::string(data, static_cast<std::size_t>(length)), request));
        Method reply(request.getName(), Method::REPLY);
        reply.addBoolParameter("result", true, Parameter::OUT);
        const std::string bytes = encode(reply);
        response.sendReply(bytes.data(), static_cast<int>(bytes.size()));
    }
};

class NoWork final : public Executable {
public:
    void init(Context&) override {}
    void shutdown() override {}
};

// A peer connected to the router's process over a socket pair: the router is handed its
// frames as if read from its connection, and the test reads what the router sends back.
struct Peer {
    Peer(uid_t uid, const std::shared_ptr<ConnectionBudgets>& budgets) {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        PeerCredentials credentials;
        credentials.pid = getpid();
        credentials.uid = uid;
        connection = std::make_shared<Connection>(UniqueFd(ends[0]), -1, "", credentials, budgets);
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

Frame callOf(Frame::Kind kind, const char* interface, bool refused) {
    Method request("ask", Method::REQUEST);
    if (refused) request.addBoolParameter(kRefuse, true, Parameter::IN);
    Frame frame;
    frame.kind = kind;
    frame.interface = interface;
    frame.data = encode(request);
    return frame;
}

Frame messageOf(const std::string& source, const std::string& text) {
    Frame frame;
    frame.kind = Frame::Kind::Message;
    frame.source = source;
    frame.data = text;
    return frame;
}

// What comes back to the sender: nothing, an answer (with the refusal, if any), or an error
// message in place of a reply.
enum class Back { Nothing, Answer, EmptyAnswer, Refusal, Error };

struct Case {
    const char* what;
    bool fromAlice;  // else from Bob
    Frame frame;
    const char* destination;
    const char* handledBy;  // empty when nothing is handed the frame
    Back back;
};

TEST(FrameRouter, HandsEachFrameToItsBindingAndAnswersOnlyItsSender) {
    const Case cases[] = {
        {"call to its handler", true, callOf(Frame::Kind::Call, kHandled, false), kServed, "call",
         Back::Answer},
        {"call its handler refuses", false, callOf(Frame::Kind::Call, kHandled, true), kServed,
         "call", Back::Refusal},
        {"call to a framework invoker", true, callOf(Frame::Kind::Call, kPlain, true), kServed,
         "invoker", Back::Answer},
        {"call of an interface bound nowhere", false, callOf(Frame::Kind::Call, "None", false),
         kServed, "", Back::EmptyAnswer},
        {"call to a channel not served", true, callOf(Frame::Kind::Call, kHandled, false),
         "elsewhere", "", Back::EmptyAnswer},
        {"one-way call refused", true, callOf(Frame::Kind::OneWayCall, kHandled, true), kServed,
         "call", Back::Nothing},
        {"message", false, messageOf("bob_ch", "hello"), kServed, "message", Back::Nothing},
        {"message refused", true, messageOf("alice_ch", kRefuse), kServed, "message", Back::Error},
        {"message refused that names no source", false, messageOf("", kRefuse), kServed, "message",
         Back::Nothing},
        {"message to a channel not served", true, messageOf("alice_ch", kRefuse), "elsewhere", "",
         Back::Nothing},
    };
    TempDirectory folder;
    NoFrames noFrames;
    Transport transport(RuntimeDirectory(folder.path()), noFrames, 1);
    BinaryProtocolAdapter adapter;
    FrameRouter router(transport, adapter);
    RecordingHandlers handlers;
    NoWork executable;
    router.bindChannel(kServed, static_cast<MessageHandler&>(handlers));
    router.bindCallHandler(kServed, kHandled, handlers);
    router.bindInvoker(kServed, kPlain, handlers, executable);
    const auto budgets = std::make_shared<ConnectionBudgets>(ConnectionLimits());
    Peer alice(1001, budgets), bob(1002, budgets);

    std::int64_t requestId = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Peer& sender = c.fromAlice ? alice : bob;
        Peer& other = c.fromAlice ? bob : alice;
        Frame frame = c.frame;
        frame.requestId = ++requestId;
        frame.destination = c.destination;
        frame.remoteContext = c.fromAlice ? "alice_cb" : "bob_cb";
        handlers.handled.clear();

        router.route(sender.connection, frame);

        ASSERT_EQ(handlers.handled.size(), *c.handledBy == '\0' ? 0u : 1u);
        if (!handlers.handled.empty()) {
            const Handling& handling = handlers.handled.front();
            EXPECT_EQ(handling.by, c.handledBy);
            EXPECT_EQ(handling.callbackChannel, c.fromAlice ? "alice_cb" : "bob_cb");
            if (handling.by != "invoker") {
                EXPECT_EQ(handling.peer, sender.connection->credentials().uid);
            }
        }
        EXPECT_TRUE(other.received().empty());
        const std::vector<Frame> back = sender.received();
        ASSERT_EQ(back.size(), c.back == Back::Nothing ? 0u : 1u);
        if (back.empty()) continue;
        EXPECT_EQ(back[0].requestId, frame.requestId);
        const std::string refusal =
            RecordingHandlers::refusalFor(sender.connection->credentials().uid);
        if (c.back == Back::Error) {
            EXPECT_EQ(back[0].kind, Frame::Kind::Message);
            EXPECT_EQ(back[0].interface, kErrorReplyInterface);
            EXPECT_EQ(back[0].destination, frame.source);
            EXPECT_EQ(back[0].data, refusal);
            continue;
        }
        EXPECT_EQ(back[0].kind, Frame::Kind::Reply);
        EXPECT_EQ(back[0].data.empty(), c.back == Back::EmptyAnswer);
        if (c.back == Back::EmptyAnswer) continue;
        Method reply;
        ASSERT_TRUE(decode(back[0].data, reply));
        bool result = false;
        EXPECT_TRUE(reply.getBoolParameter("result", result, Parameter::OUT) && result);
        std::string said;
        reply.getStringParameter(kRefusalParameter, said, Parameter::OUT);
        EXPECT_EQ(said, c.back == Back::Refusal ? refusal : "");
    }
}

}  // namespace
