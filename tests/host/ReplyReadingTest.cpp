// A thread waiting for a reply reads the connection itself: what it may handle there, what it
// hands to the transport's thread and in which order, how the end of the connection and the
// deadline end its wait, and what arrives once it has given the connection back.
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FrameCodec.h"
#include "Processes.h"
#include "Transport.h"
#include "UnixSocket.h"

using namespace svcreg;

namespace {

// A frame handled, and on which thread.
struct Handled {
    std::int64_t requestId;
    std::thread::id thread;
};

// Records what the transport hands over; replies may be handled while waiting, nothing else.
class RecordingHandler final : public FrameHandler {
public:
    void handleFrame(const std::shared_ptr<Connection>&, Frame& frame) override { record(frame); }
    void handleReply(const Connection&, Frame& frame) override { record(frame); }
    bool handledWhileWaiting(const Frame& frame) override {
        return frame.kind == Frame::Kind::Reply;
    }
    void connectionClosed(const Connection&) override {
        std::lock_guard<std::mutex> hold(mutex);
        closed = true;
        changed.notify_all();
    }
    bool admitsPeer(const PeerCredentials&, const std::string&) override { return true; }

    bool holds(std::int64_t requestId) {
        std::lock_guard<std::mutex> hold(mutex);
        for (const Handled& frame : handled) {
            if (frame.requestId == requestId) return true;
        }
        return false;
    }
    bool hasClosed() {
        std::lock_guard<std::mutex> hold(mutex);
        return closed;
    }
    // Waits up to ten seconds for count frames.
    std::vector<Handled> awaitFrames(std::size_t count) {
        std::unique_lock<std::mutex> hold(mutex);
        changed.wait_for(hold, std::chrono::seconds(10), [&] { return handled.size() >= count; });
        return handled;
    }

private:
    void record(const Frame& frame) {
        std::lock_guard<std::mutex> hold(mutex);
        handled.push_back({frame.requestId, std::this_thread::get_id()});
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Handled> handled;
    bool closed = false;
};

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

// What the peer does once the request has come.
enum class Answer { Reply, EventThenReply, HangUp, Nothing };

// The peer at channel "peer": accepts the waiter's connection and answers as told.
class Peer {
public:
    explicit Peer(const std::string& folder) {
        std::string error;
        listener = listenAt(folder + "/peer", error);
        EXPECT_TRUE(listener.valid()) << error;
    }

    // Takes the connection, reads up to the request (id 1), then answers.
    void answerWith(Answer answer) {
        pollfd incoming{listener.get(), POLLIN, 0};
        ASSERT_EQ(poll(&incoming, 1, 10000), 1);
        connection = UniqueFd(accept(listener.get(), nullptr, nullptr));
        FrameReader reader;
        Frame frame;
        while (frame.requestId != 1) {
            if (reader.next(frame) == FrameReader::Status::Ready) continue;
            pollfd request{connection.get(), POLLIN, 0};
            ASSERT_EQ(poll(&request, 1, 10000), 1);
            char bytes[4096];
            const ssize_t received = recv(connection.get(), bytes, sizeof bytes, 0);
            ASSERT_GT(received, 0);
            reader.append(bytes, static_cast<std::size_t>(received));
        }
        switch (answer) {
            case Answer::Reply:
                ASSERT_TRUE(sendAll(connection.get(), kReply));
                break;
            case Answer::EventThenReply:
                ASSERT_TRUE(sendAll(connection.get(), kEvent + kReply));
                break;
            case Answer::HangUp:
                connection = UniqueFd();
                break;
            case Answer::Nothing:
                break;
        }
    }
    void send(const std::string& bytes) { ASSERT_TRUE(sendAll(connection.get(), bytes)); }

private:
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
    Answer answer;
    std::chrono::milliseconds timeout;
    std::vector<std::int64_t> handled;  // in order
    bool onWaitingThread;               // else on the transport's
    bool endsBeforeDeadline;
};

TEST(ReplyReading, TheWaiterHandlesItsReplyAndHandsOverTheRestInOrder) {
    const Case cases[] = {
        {"reply", Answer::Reply, std::chrono::seconds(10), {1}, true, true},
        {"event first", Answer::EventThenReply, std::chrono::seconds(10), {7, 1}, false, true},
        {"hang-up", Answer::HangUp, std::chrono::seconds(10), {}, false, true},
        {"silence", Answer::Nothing, std::chrono::milliseconds(200), {}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDirectory folder;
        RecordingHandler handler;
        Transport transport(RuntimeDirectory(folder.path()), handler, 1);
        std::string error;
        ASSERT_TRUE(transport.start(error)) << error;
        Peer peer(folder.path());
        std::thread answering([&] { peer.answerWith(c.answer); });

        const auto deadline = Clock::now() + c.timeout;
        ask(transport, deadline, [&] { return handler.holds(1) || handler.hasClosed(); });
        EXPECT_EQ(Clock::now() < deadline, c.endsBeforeDeadline);
        answering.join();

        const std::vector<Handled> handled = handler.awaitFrames(c.handled.size());
        ASSERT_EQ(handled.size(), c.handled.size());
        for (std::size_t i = 0; i < handled.size(); ++i) {
            EXPECT_EQ(handled[i].requestId, c.handled[i]);
            EXPECT_EQ(handled[i].thread == std::this_thread::get_id(), c.onWaitingThread);
        }
        EXPECT_EQ(handler.hasClosed(), c.answer == Answer::HangUp);
        if (c.answer != Answer::Reply) continue;
        // Once the wait is over, the transport's thread is told of what comes.
        peer.send(kEvent);
        const std::vector<Handled> after = handler.awaitFrames(2);
        ASSERT_EQ(after.size(), 2u);
        EXPECT_EQ(after[1].requestId, 7);
        EXPECT_NE(after[1].thread, std::this_thread::get_id());
    }
}

}  // namespace
