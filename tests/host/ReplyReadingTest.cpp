// A thread waiting for a reply reads the connection itself: what it may handle there, what it
// hands to the transport's thread and in which order, how the end of the connection and the
// deadline end its wait, and what arrives once it has given the connection back.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "RecordingHandler.h"
#include "Transport.h"
#include "UnixSocket.h"

using namespace svcreg;

namespace {

std::string encoded(Frame::Kind kind, std::int64_t requestId) {
    Frame frame;
    frame.kind = kind;
    frame.requestId = requestId;
    frame.destination = ":1.waiter";
    std::string bytes;
    appendEncodedFrame(frame, bytes);
    return bytes;
}

const std::string kReply = encoded(Frame::Kind::Reply, 1);
const std::string kEvent = encoded(Frame::Kind::OneWayCall, 7);

// The peer at channel "peer": takes the waiter's connection, reads up to its request (id 1),
// then answers with bytes, and hangs up when told to.
struct Peer {
    void answerWith(const std::string& answer, bool hangUp) {
        pollfd incoming{listener.get(), POLLIN, 0};
        ASSERT_EQ(poll(&incoming, 1, 10000), 1);
        connection = UniqueFd(accept(listener.get(), nullptr, nullptr));
        ASSERT_TRUE(readFramesUntil(connection.get(),
                                    [](const Frame& frame) { return frame.requestId == 1; }));
        ASSERT_TRUE(sendAll(connection.get(), answer));
        if (hangUp) connection = UniqueFd();
    }

    UniqueFd listener;
    UniqueFd connection;
};

// Connects to the peer with a first frame, then sends the request (id 1) and reads its answer
// until answered() holds or deadline passes: the waiter holds the connection from before the
// request goes, so the transport's thread cannot be first to see the answer.
void ask(Transport& transport, Clock::time_point deadline, const std::function<bool()>& answered) {
    Frame frame;
    frame.destination = "peer";
    frame.source = ":1.waiter";
    ASSERT_EQ(transport.send(frame), SendResult::Queued);
    Transport::ReplyReading reading(transport, frame.destination);
    frame.requestId = 1;
    std::shared_ptr<Connection> via;
    ASSERT_EQ(transport.send(frame, &via), SendResult::Queued);
    reading.readUntil(via, deadline, answered);
}

struct Case {
    const char* what;
    std::string answer;
    bool hangUp;
    std::chrono::milliseconds timeout;
    std::vector<std::int64_t> handled;  // in order
    bool onWaitingThread;               // else on the transport's
    bool endsBeforeDeadline;
};

TEST(ReplyReading, TheWaiterHandlesItsReplyAndHandsOverTheRestInOrder) {
    const Case cases[] = {
        {"reply", kReply, false, std::chrono::seconds(10), {1}, true, true},
        {"event first", kEvent + kReply, false, std::chrono::seconds(10), {7, 1}, false, true},
        {"hang-up", "", true, std::chrono::seconds(10), {}, false, true},
        {"silence", "", false, std::chrono::milliseconds(200), {}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDirectory folder;
        RecordingHandler handler;
        Transport transport(RuntimeDirectory(folder.path()), handler, 1);
        std::string error;
        ASSERT_TRUE(transport.start(error)) << error;
        Peer peer{listenAt(folder.path() + "/peer", error), UniqueFd()};
        ASSERT_TRUE(peer.listener.valid()) << error;
        std::thread answering([&] { peer.answerWith(c.answer, c.hangUp); });

        const auto deadline = Clock::now() + c.timeout;
        ask(transport, deadline, [&] {
            const std::vector<RecordingHandler::Handled> handled = handler.frames();
            return handler.closings() > 0 ||
                   std::any_of(handled.begin(), handled.end(),
                               [](const RecordingHandler::Handled& f) { return f.requestId == 1; });
        });
        EXPECT_EQ(Clock::now() < deadline, c.endsBeforeDeadline);
        EXPECT_EQ(handler.closings(), c.hangUp ? 1 : 0) << "the waiter tells of the end itself";
        answering.join();

        ASSERT_TRUE(handler.await(c.handled.size(), c.hangUp ? 1 : 0));
        const std::vector<RecordingHandler::Handled> handled = handler.frames();
        for (std::size_t i = 0; i < handled.size(); ++i) {
            EXPECT_EQ(handled[i].requestId, c.handled[i]);
            EXPECT_EQ(handled[i].thread == std::this_thread::get_id(), c.onWaitingThread);
        }
        if (c.answer != kReply) continue;
        // Once the wait is over, the transport's thread is told of what comes.
        ASSERT_TRUE(sendAll(peer.connection.get(), kEvent));
        ASSERT_TRUE(handler.await(2, 0));
        EXPECT_EQ(handler.frames()[1].requestId, 7);
        EXPECT_NE(handler.frames()[1].thread, std::this_thread::get_id());
    }
}

}  // namespace
