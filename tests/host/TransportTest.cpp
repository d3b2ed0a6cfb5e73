// The transport in one process: queue bounds at their edges, reading that yields and resumes,
// ordering per connection, a peer that leaves inside a frame, and the accepted-connection cap.
#include "Transport.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "FrameCodec.h"
#include "Processes.h"

using namespace svcreg;

namespace {

// Records what the transport hands over.
class RecordingHandler final : public FrameHandler {
public:
    void handleFrame(const std::shared_ptr<Connection>&, Frame& frame) override {
        record([&] { requestIds.push_back(frame.requestId); });
    }
    void handleReply(const Connection&, Frame&) override {}
    void connectionClosed(const Connection&) override {
        record([&] { ++closed; });
    }
    bool admitsPeer(const PeerCredentials&, const std::string&) override { return true; }

    // Waits up to ten seconds for requestIds to hold count ids and closed to reach closings.
    bool await(std::size_t count, int closings) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, std::chrono::seconds(10),
                                [&] { return requestIds.size() == count && closed == closings; });
    }

    std::vector<std::int64_t> requestIds;

private:
    template <typename Change>
    void record(Change change) {
        std::lock_guard<std::mutex> hold(mutex);
        change();
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    int closed = 0;
};

std::string encoded(std::int64_t requestId, std::size_t dataSize = 0) {
    Frame frame;
    frame.requestId = requestId;
    frame.destination = "server";
    frame.data.assign(dataSize, 'd');
    std::string bytes;
    appendEncodedFrame(frame, bytes);
    return bytes;
}

bool sendAll(const UniqueFd& socket, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(socket.get(), bytes.data() + sent, bytes.size() - sent, 0);
        if (n < 0 && errno != EAGAIN) return false;
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    return true;
}

// A transport with one thread serving channel "server" in a fresh runtime directory.
class ServingTransport : public ::testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<Transport>(RuntimeDirectory(folder.path()), handler, 1);
        std::string error;
        ASSERT_TRUE(server->listen("server", error)) << error;
        ASSERT_TRUE(server->start(error)) << error;
    }

    // Tries again while the listen backlog is full.
    UniqueFd connect() {
        UniqueFd socket;
        ConnectResult result;
        while ((result = connectTo(folder.path() + "/server", socket)) == ConnectResult::Busy) {
            std::this_thread::yield();
        }
        EXPECT_EQ(result, ConnectResult::Connected);
        return socket;
    }

    TempDirectory folder;
    RecordingHandler handler;
    std::unique_ptr<Transport> server;
};

TEST(ConnectionQueue, HoldsExactlyItsFrameAndByteBoundsForAPeerThatDoesNotRead) {
    struct Case {
        std::size_t firstSize;  // stays queued: the socket takes only part of it
        std::size_t frames;     // in all, the first and the last included
        SendResult last;
    };
    const Case cases[] = {
        {1 << 20, Connection::kMaxQueuedFrames, SendResult::Queued},
        {1 << 20, Connection::kMaxQueuedFrames + 1, SendResult::Busy},
        {Connection::kMaxQueuedBytes - 1, 2, SendResult::Queued},
        {Connection::kMaxQueuedBytes, 2, SendResult::Busy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frames);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
        const UniqueFd reader(ends[1]);
        Connection connection(UniqueFd(ends[0]), -1, "peer", PeerCredentials());
        ASSERT_EQ(connection.send(std::string(c.firstSize, 'x')), SendResult::Queued);
        for (std::size_t i = 2; i < c.frames; ++i)
            ASSERT_EQ(connection.send("y"), SendResult::Queued);
        EXPECT_EQ(connection.send("z"), c.last);
        connection.close();
        EXPECT_EQ(connection.send("z"), SendResult::Refused);
    }
}

// 4 MiB in one go: more than the reads one turn allows, so reading yields and must resume.
TEST_F(ServingTransport, FramesAreHandledInOrderAndAPeerLeavingInsideAFrameHurtsNoOne) {
    const UniqueFd steady = connect();
    std::string stream;
    for (int i = 0; i < 1000; ++i) stream += encoded(i, 4096);
    {
        const UniqueFd leaving = connect();
        ASSERT_TRUE(sendAll(leaving, encoded(-1).substr(0, 20)));
    }
    ASSERT_TRUE(sendAll(steady, stream));
    ASSERT_TRUE(handler.await(1000, 1));
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(handler.requestIds[i], i);
}

TEST_F(ServingTransport, AcceptsUpToItsCapAndOneMoreOnceOneHasLeft) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit raised{std::min<rlim_t>(limit.rlim_max, 4096), limit.rlim_max};
    if (raised.rlim_cur < 2 * Acceptor::kMaxAcceptedConnections + 64 ||
        setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        GTEST_SKIP() << "too few descriptors allowed";
    }
    std::vector<UniqueFd> clients;
    for (std::size_t i = 0; i < Acceptor::kMaxAcceptedConnections; ++i)
        clients.push_back(connect());
    // Served in the order accepted: the last within the cap is served once all are accepted.
    ASSERT_TRUE(sendAll(clients.back(), encoded(1)));
    ASSERT_TRUE(handler.await(1, 0));

    const UniqueFd beyond = connect();
    pollfd hungUp{beyond.get(), POLLIN, 0};
    char byte;
    ASSERT_EQ(poll(&hungUp, 1, 10000), 1);
    EXPECT_EQ(recv(beyond.get(), &byte, 1, 0), 0);

    clients.pop_back();
    ASSERT_TRUE(handler.await(1, 1));
    const UniqueFd next = connect();
    ASSERT_TRUE(sendAll(next, encoded(2)));
    ASSERT_TRUE(handler.await(2, 1));
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
