// The transport in one process: queue bounds at their edges, the accepted-connection cap,
// ordering per connection and a peer that leaves inside a frame.
#include "Transport.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FrameCodec.h"

using namespace svcreg;

namespace {

// Records what the transport hands over.
class RecordingHandler final : public FrameHandler {
public:
    void handleFrame(const std::shared_ptr<Connection>&, Frame& frame) override {
        std::lock_guard<std::mutex> hold(mutex);
        requestIds.push_back(frame.requestId);
        changed.notify_all();
    }
    void handleReply(const Connection&, Frame&) override {}
    void connectionClosed(const Connection&) override {
        std::lock_guard<std::mutex> hold(mutex);
        ++closed;
        changed.notify_all();
    }

    // Waits up to ten seconds for done to hold.
    template <typename Condition>
    bool await(Condition done) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, std::chrono::seconds(10), [&] { return done(*this); });
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::int64_t> requestIds;
    int closed = 0;
};

// A transport serving channel "server" in a fresh runtime directory.
class ServingTransport : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/svcreg-transport-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        server = std::make_unique<Transport>(RuntimeDirectory(folder), handler, 2);
        std::string error;
        ASSERT_TRUE(server->listen("server", error)) << error;
        ASSERT_TRUE(server->start(error)) << error;
    }
    void TearDown() override {
        server.reset();
        std::filesystem::remove_all(folder);
    }

    // Tries again while the listen backlog is full.
    UniqueFd connectToServer() {
        UniqueFd socket;
        ConnectResult result;
        while ((result = connectTo(folder + "/server", socket)) == ConnectResult::Busy) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(result, ConnectResult::Connected);
        return socket;
    }

    std::string folder;
    RecordingHandler handler;
    std::unique_ptr<Transport> server;
};

std::string encoded(std::int64_t requestId) {
    Frame frame;
    frame.kind = Frame::Kind::Message;
    frame.requestId = requestId;
    frame.destination = "server";
    std::string bytes;
    appendEncodedFrame(frame, bytes);
    return bytes;
}

TEST(ConnectionQueue, HoldsExactlyItsFrameAndByteBoundsForAPeerThatDoesNotRead) {
    struct Case {
        const char* what;
        std::size_t firstSize;  // stays queued: the socket takes only part of it
        std::size_t smallFrames;
        SendResult last;
    };
    const Case cases[] = {
        {"frames, at the bound", 1 << 20, Connection::kMaxQueuedFrames - 1, SendResult::Queued},
        {"frames, one over", 1 << 20, Connection::kMaxQueuedFrames, SendResult::Busy},
        {"bytes, at the bound", Connection::kMaxQueuedBytes - 1, 1, SendResult::Queued},
        {"bytes, one over", Connection::kMaxQueuedBytes, 1, SendResult::Busy},
    };
    for (const Case& c : cases) {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
        const UniqueFd reader(ends[1]);
        Connection connection(UniqueFd(ends[0]), -1, "peer");
        ASSERT_EQ(connection.send(std::string(c.firstSize, 'x')), SendResult::Queued) << c.what;
        for (std::size_t i = 1; i < c.smallFrames; ++i) {
            ASSERT_EQ(connection.send("y"), SendResult::Queued) << c.what << " " << i;
        }
        EXPECT_EQ(connection.send("z"), c.last) << c.what;
        connection.close();
        EXPECT_EQ(connection.send("z"), SendResult::Refused) << c.what;
    }
}

TEST_F(ServingTransport, FramesOfOneConnectionAreHandledInTheOrderSent) {
    UniqueFd socket = connectToServer();
    std::string stream;
    for (int i = 0; i < 2000; ++i) stream += encoded(i);
    for (std::size_t sent = 0; sent < stream.size();) {
        const ssize_t n = send(socket.get(), stream.data() + sent, stream.size() - sent, 0);
        if (n > 0) sent += static_cast<std::size_t>(n);
    }
    ASSERT_TRUE(handler.await([](auto& h) { return h.requestIds.size() == 2000; }));
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(handler.requestIds[i], i);
}

TEST_F(ServingTransport, APeerThatLeavesInsideAFrameIsClosedAndOthersAreServed) {
    {
        UniqueFd leaving = connectToServer();
        const std::string frame = encoded(7);
        ASSERT_EQ(send(leaving.get(), frame.data(), frame.size() - 1, 0),
                  static_cast<ssize_t>(frame.size() - 1));
    }
    ASSERT_TRUE(handler.await([](auto& h) { return h.closed == 1; }));
    EXPECT_TRUE(handler.requestIds.empty());

    UniqueFd staying = connectToServer();
    const std::string frame = encoded(8);
    ASSERT_EQ(send(staying.get(), frame.data(), frame.size(), 0),
              static_cast<ssize_t>(frame.size()));
    ASSERT_TRUE(handler.await([](auto& h) { return h.requestIds.size() == 1; }));
    EXPECT_EQ(handler.requestIds[0], 8);
}

TEST_F(ServingTransport, AcceptsUpToItsCapAndClosesTheConnectionBeyondIt) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit wanted{std::min<rlim_t>(limit.rlim_max, 4096), limit.rlim_max};
    if (wanted.rlim_cur < 2 * Acceptor::kMaxAcceptedConnections + 64 ||
        setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
        GTEST_SKIP() << "too few descriptors allowed";
    }
    std::vector<UniqueFd> clients;
    for (std::size_t i = 0; i < Acceptor::kMaxAcceptedConnections; ++i) {
        clients.push_back(connectToServer());
    }
    // The last one within the cap is served: the server has accepted all before it.
    const std::string frame = encoded(1);
    ASSERT_EQ(send(clients.back().get(), frame.data(), frame.size(), 0),
              static_cast<ssize_t>(frame.size()));
    ASSERT_TRUE(handler.await([](auto& h) { return h.requestIds.size() == 1; }));

    UniqueFd beyond = connectToServer();
    pollfd hangUp{beyond.get(), POLLIN, 0};
    ASSERT_EQ(poll(&hangUp, 1, 10000), 1);
    char byte;
    EXPECT_EQ(recv(beyond.get(), &byte, 1, 0), 0);

    // Once one within the cap leaves, a new connection is served again.
    clients.pop_back();
    ASSERT_TRUE(handler.await([](auto& h) { return h.closed == 1; }));
    UniqueFd next = connectToServer();
    const std::string again = encoded(2);
    ASSERT_EQ(send(next.get(), again.data(), again.size(), 0), static_cast<ssize_t>(again.size()));
    ASSERT_TRUE(handler.await([](auto& h) { return h.requestIds.size() == 2; }));
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
