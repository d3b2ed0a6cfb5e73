// The transport in one process: queue bounds at their edges, reading that yields and resumes,
// ordering per connection, a peer that leaves inside a frame, the accepted-connection cap,
// private channels, peers the handler refuses, and the channel names a runtime directory takes.
// Peers' credentials are the daemon's tests' (its refusals name a forked peer's pid and uid:
// Attack.ReplyChannelsThatNeverReadLeaveOutboundConnectionsForOthers).
#include "Transport.h"

#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "FrameCodec.h"
#include "IdleWatch.h"
#include "LogCapture.h"
#include "LogLimiter.h"
#include "PeerAccount.h"
#include "RecordingHandler.h"
#include "ServedChannels.h"
#include "ServiceRegistry/Defaults.h"
#include "Vouch.h"

using namespace svcreg;

namespace {

std::string encoded(std::int64_t requestId, std::size_t dataSize = 0,
                    const std::string& source = "") {
    Frame frame;
    frame.requestId = requestId;
    frame.destination = "server";
    frame.source = source;
    frame.data.assign(dataSize, 'd');
    std::string bytes;
    appendEncodedFrame(frame, bytes);
    return bytes;
}

// Small enough to reach in a test.
ConnectionLimits smallLimits() {
    ConnectionLimits limits;
    limits.connectionsPerUser = 6;
    limits.connections = 8;
    limits.unfinishedBytesPerUser = 1 << 20;
    limits.stallTimeout = std::chrono::seconds(1);
    return limits;
}

// A transport with one thread serving channel "server" in a fresh runtime directory.
class ServingTransport : public ::testing::Test {
protected:
    void SetUp() override {
        server =
            std::make_unique<Transport>(RuntimeDirectory(folder.path()), handler, 1, smallLimits());
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

// The bytes are those the queued frames hold of memory: each one's capacity and what it holds
// beside. Two frames at the read bound fit.
TEST(ConnectionQueue, HoldsExactlyItsFrameAndByteBoundsForAPeerThatDoesNotRead) {
    struct Case {
        std::size_t firstSize;  // stays queued: the socket takes only part of it
        std::size_t frames;     // in all, the first and the last included
        SendResult last;
        std::size_t lastSize = 1;
    };
    const std::size_t lastHeld = std::string("z").capacity() + Connection::kHeldBesideBytes;
    const std::size_t firstFilling =
        Connection::kMaxQueuedBytes - lastHeld - Connection::kHeldBesideBytes;
    const Case cases[] = {
        {1 << 20, Connection::kMaxQueuedFrames, SendResult::Queued},
        {1 << 20, Connection::kMaxQueuedFrames + 1, SendResult::Busy},
        {firstFilling, 2, SendResult::Queued},
        {firstFilling + 1, 2, SendResult::Busy},
        {kFrameHeaderSize + kMaxReadBodySize, 2, SendResult::Queued,
         kFrameHeaderSize + kMaxReadBodySize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frames);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
        const UniqueFd reader(ends[1]);
        Connection connection(UniqueFd(ends[0]), -1, "peer", PeerCredentials(),
                              std::make_shared<ConnectionBudgets>(ConnectionLimits()));
        ASSERT_EQ(connection.send(std::string(c.firstSize, 'x')), SendResult::Queued);
        for (std::size_t i = 2; i < c.frames; ++i)
            ASSERT_EQ(connection.send("y"), SendResult::Queued);
        EXPECT_EQ(connection.send(std::string(c.lastSize, 'z')), c.last);
        connection.close();
        EXPECT_EQ(connection.send("z"), SendResult::Refused);
    }
}

// A peer's unfinished bytes count against its user until it vouches for a caller of another
// device, then against that device, what it held before going along. Each device has a share
// of its own: the gateway's user and devices C and D each hold most of a share, and a second
// connection for C has not room for as much. Devices count in a total of their own: C and D
// together take nothing of the local users' 2 MiB.
TEST(ConnectionQueue, UnfinishedBytesOfAConnectionVouchedForCountAgainstItsCallersDevice) {
    ConnectionLimits limits = smallLimits();  // 1 MiB per user
    limits.unfinishedBytes = 2u << 20;
    const auto budgets = std::make_shared<ConnectionBudgets>(limits);
    PeerCredentials gateway;
    gateway.uid = 4321;
    const std::string partial = encoded(1, 768u << 10).substr(0, 700u << 10);
    std::vector<std::unique_ptr<Connection>> connections;
    UserBudget::Verdict verdict;
    for (const std::string device : {"", "C", "D", "C"}) {
        SCOPED_TRACE(device);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        close(ends[1]);
        connections.push_back(
            std::make_unique<Connection>(UniqueFd(ends[0]), -1, "", gateway, budgets));
        Connection& connection = *connections.back();
        connection.reader.append(partial.data(), 100);
        ASSERT_TRUE(connection.holdUnfinishedFrame(verdict));
        PeerCredentials caller;
        caller.device = device;
        caller.user = "alice";
        if (!device.empty()) connection.vouchFor(caller);
        connection.reader.append(partial.data() + 100, partial.size() - 100);
        EXPECT_EQ(connection.holdUnfinishedFrame(verdict), connections.size() < 4);
    }
    EXPECT_EQ(budgets->unfinishedBytes.heldBy(gateway.uid), partial.size());
    for (const uid_t account : {accountOfDevice("C"), accountOfDevice("D")})
        EXPECT_EQ(budgets->vouchedUnfinishedBytes.heldBy(account), partial.size()) << account;
    connections.clear();
    EXPECT_EQ(budgets->unfinishedBytes.heldBy(gateway.uid), 0u);
    EXPECT_EQ(budgets->vouchedUnfinishedBytes.heldBy(accountOfDevice("C")), 0u);
}

// 4 MiB in one go: more than the reads one turn allows, so reading yields and must resume.
// The only thread is held in another peer's frame while more than a read turn takes comes whole:
// what the turn leaves is read on a later one, though no more bytes come to report it. Then the
// stream goes on while it is read.
TEST_F(ServingTransport, FramesAreHandledInOrderAndAPeerLeavingInsideAFrameHurtsNoOne) {
    std::promise<void> held, release;
    handler.beforeFrame = [&, released = release.get_future().share()](const Frame& frame) {
        if (frame.requestId != -2) return;
        held.set_value();
        released.wait();
    };
    const UniqueFd steady = connect(), holder = connect();
    const int sendBuffer = 1 << 20;
    ASSERT_EQ(setsockopt(steady.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer), 0);
    {
        const UniqueFd leaving = connect();
        ASSERT_TRUE(sendAll(leaving.get(), encoded(-1).substr(0, 20)));
    }
    ASSERT_TRUE(sendAll(holder.get(), encoded(-2)));
    held.get_future().wait();
    std::string whole, streamed;
    for (int i = 0; i < 80; ++i) whole += encoded(i, 4096);
    ASSERT_EQ(send(steady.get(), whole.data(), whole.size(), MSG_DONTWAIT),
              static_cast<ssize_t>(whole.size()));
    release.set_value();
    ASSERT_TRUE(handler.await(81, 1));
    for (int i = 80; i < 1000; ++i) streamed += encoded(i, 4096);
    ASSERT_TRUE(sendAll(steady.get(), streamed));
    ASSERT_TRUE(handler.await(1001, 1));
    const std::vector<RecordingHandler::Handled> handled = handler.frames();
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(handled[i + 1].requestId, i);
}

// The pid in a name counts for nothing: ":1.7" is not this process's, and is taken all the same,
// as a client in a pid namespace of its own names itself by a pid this process does not see.
TEST_F(ServingTransport, APrivateChannelIsEachAccountsFirstConnectionsToNameItUntilItCloses) {
    const std::string channel = ":1.7", other = ":1.8";
    UniqueFd first = connect();
    UniqueFd second = connect();
    ASSERT_TRUE(sendAll(first.get(), encoded(1, 0, channel)));
    ASSERT_TRUE(handler.await(1, 0));
    // Dropped: the second names the first's channel, the first a second channel of its own.
    ASSERT_TRUE(sendAll(second.get(), encoded(2, 0, channel) + encoded(3)));
    ASSERT_TRUE(sendAll(first.get(), encoded(4, 0, other) + encoded(5)));
    ASSERT_TRUE(handler.await(3, 0));
    for (const RecordingHandler::Handled& frame : handler.frames())
        EXPECT_TRUE(frame.requestId != 2 && frame.requestId != 4) << frame.requestId;

    Frame toClient;
    toClient.requestId = 6;
    toClient.destination = other;
    EXPECT_EQ(server->send(toClient), SendResult::Gone);
    toClient.destination = channel;
    ASSERT_EQ(server->send(toClient), SendResult::Queued);
    EXPECT_TRUE(
        readFramesUntil(first.get(), [](const Frame& frame) { return frame.requestId == 6; }));

    first = UniqueFd();
    ASSERT_TRUE(handler.await(3, 1));
    ASSERT_TRUE(sendAll(second.get(), encoded(7, 0, channel)));
    ASSERT_TRUE(handler.await(4, 1));
    toClient.requestId = 8;
    ASSERT_EQ(server->send(toClient), SendResult::Queued);
    EXPECT_TRUE(
        readFramesUntil(second.get(), [](const Frame& frame) { return frame.requestId == 8; }));

    // Another account (here a caller of another device) naming it keeps its holder from
    // nothing, nor is kept from its own: an answer to it goes to it, what is sent unasked to the
    // first holder, and to it once that one has gone.
    std::string vouch;
    appendEncodedFrame(vouchFrame("A", "alice"), vouch);
    const UniqueFd remote = connect();
    ASSERT_TRUE(sendAll(remote.get(), vouch + encoded(9, 0, channel)));
    ASSERT_TRUE(handler.await(5, 1));
    const std::shared_ptr<Connection> asker = handler.awaitConnection();
    ASSERT_NE(asker, nullptr);
    const auto reaches = [&](const UniqueFd& peer, std::int64_t id, const Connection* answering) {
        toClient.requestId = id;
        return server->send(toClient, nullptr, answering) == SendResult::Queued &&
               readFramesUntil(peer.get(),
                               [&](const Frame& frame) { return frame.requestId == id; });
    };
    EXPECT_TRUE(reaches(remote, 10, asker.get()));
    EXPECT_TRUE(reaches(second, 11, nullptr));
    second = UniqueFd();
    ASSERT_TRUE(handler.await(5, 2));
    EXPECT_TRUE(reaches(remote, 12, nullptr));
}

// Every peer here is this test's user: its cap is the lower. A peer the handler refuses is
// closed unheard, and its place under the cap is given back.
TEST_F(ServingTransport, AcceptsUpToItsCapAndOneMoreOnceOneHasLeft) {
    handler.admitting = false;
    const UniqueFd refused = connect();
    EXPECT_TRUE(closedByPeer(refused.get()));
    handler.admitting = true;
    std::vector<UniqueFd> clients;
    for (std::size_t i = 0; i < smallLimits().connectionsPerUser; ++i) clients.push_back(connect());
    // Served in the order accepted: the last within the cap is served once all are accepted.
    ASSERT_TRUE(sendAll(clients.back().get(), encoded(1)));
    ASSERT_TRUE(handler.await(1, 0));

    const UniqueFd beyond = connect();
    EXPECT_TRUE(closedByPeer(beyond.get()));

    clients.pop_back();
    ASSERT_TRUE(handler.await(1, 1));
    const UniqueFd next = connect();
    ASSERT_TRUE(sendAll(next.get(), encoded(2)));
    ASSERT_TRUE(handler.await(2, 1));
}

// A peer stalled inside a frame holds not the one thread: a whole frame passes meanwhile. A
// peer leaving a frame unfinished past the stall timeout loses its connection. (One holding more
// unfinished bytes than its user's budget loses it too: TwoDevices.AServicesUnfinishedFrames...)
TEST_F(ServingTransport, UnfinishedFramesAreBoundedInTimeAndHoldNoThread) {
    const UniqueFd staller = connect();
    ASSERT_TRUE(sendAll(staller.get(), encoded(3).substr(0, 10)));
    const UniqueFd whole = connect();
    ASSERT_TRUE(sendAll(whole.get(), encoded(1, 512u << 10)));
    ASSERT_TRUE(handler.await(1, 0));
    EXPECT_TRUE(closedByPeer(staller.get()));
    ASSERT_TRUE(handler.await(1, 1));
}

TEST_F(ServingTransport, IdleOutboundConnectionsCloseUnlessTheyCarryAPrivateChannel) {
    ConnectionLimits limits;
    limits.idleTimeout = std::chrono::seconds(1);
    RecordingHandler clientSide;
    Transport client(RuntimeDirectory(folder.path()), clientSide, 1, limits);
    std::string error;
    ASSERT_TRUE(client.start(error)) << error;
    Frame frame;
    frame.destination = "server";
    frame.requestId = 1;
    ASSERT_EQ(client.send(frame), SendResult::Queued);
    EXPECT_TRUE(handler.await(1, 1));  // handled, then closed once idle

    frame.requestId = 2;
    frame.source = ":" + std::to_string(getpid()) + ".1";
    ASSERT_EQ(client.send(frame), SendResult::Queued);
    EXPECT_TRUE(handler.await(2, 1));
    EXPECT_FALSE(handler.await(2, 2, std::chrono::seconds(3)));  // kept: the way to the channel
}

// A channel's files must fit a socket address with the folder's path: the empty, hidden and
// '/' names, and the longest that fits and one byte more, are the service declarations' table
// (ServiceDeclaration.RefusesWhatItCannotTakeNamingTheLine, whose Channel= is checked in the
// system's folder), which refuses a NUL before. A folder too long for any channel takes none.
TEST(RuntimeDirectory, ChannelNamesHoldNoNulAndAFolderTooLongTakesNone) {
    EXPECT_NE(RuntimeDirectory("/tmp/d").channelProblem(std::string("a\0b", 3)), "");
    EXPECT_NE(RuntimeDirectory(std::string(120, 'd')).channelProblem("c"), "");
}

// NAME@DEVICE is reached through the gateway's socket; a name holding '@' is never private.
TEST(RuntimeDirectory, ChannelsOfOtherDevicesGoThroughTheGatewayAndAreNeverPrivate) {
    const RuntimeDirectory directory("/tmp/d");
    const struct {
        const char* channel;
        bool remote;
        bool isPrivate;
    } cases[] = {{"svc@B", true, false},  {"svc", false, false},     {":p", false, true},
                 {":p@B", false, false},  {"@", false, false},       {"@B", false, false},
                 {"a@b@C", false, false}, {"svc@B/C", false, false}, {".svc@B", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.channel);
        EXPECT_EQ(directory.isRemoteChannel(c.channel), c.remote);
        EXPECT_EQ(RuntimeDirectory::isPrivateChannel(c.channel), c.isPrivate);
        EXPECT_EQ(directory.socketPathFor(c.channel),
                  directory.socketPath(c.remote ? "@" : c.channel));
    }
}

// A socket left by this user's process that served the channel before is replaced, never
// removed first: in a folder others may write, another user's file put at the name meanwhile
// would keep the channel from this user for good.
TEST(UnixSocket, AStaleSocketIsReplacedWithNoMomentWithoutAFileAtItsName) {
    TempDirectory folder;
    const std::string path = folder.path() + "/channel";
    std::string error;
    ASSERT_TRUE(listenAt(path, error).valid()) << error;  // closed at once: stale
    const UniqueFd events(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(inotify_add_watch(events.get(), folder.path().c_str(), IN_DELETE), 0);
    ASSERT_TRUE(listenAt(path, error).valid()) << error;
    alignas(inotify_event) char buffer[4096];
    const ssize_t length = read(events.get(), buffer, sizeof buffer);
    for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        EXPECT_STRNE(event->name, "channel") << "removed before the new socket took its place";
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
}

// Of each kind of line about each peer, a few an interval; the first to pass after lines were
// held back says how many.
TEST(LogLimiter, LetsAFewLinesOfAKindAboutAPeerThroughAndCountsTheRest) {
    LogCapture log;
    LogLimiter::configure(2, std::chrono::seconds(30));
    const char *refused = "Refused %s", *closed = "Closed %s";
    EXPECT_TRUE(LogLimiter::admits(refused, "uid 1"));
    EXPECT_TRUE(LogLimiter::admits(refused, "uid 1"));
    EXPECT_FALSE(LogLimiter::admits(refused, "uid 1"));
    EXPECT_FALSE(LogLimiter::admits(refused, "uid 1"));
    EXPECT_TRUE(LogLimiter::admits(refused, "uid 2"));
    EXPECT_TRUE(LogLimiter::admits(closed, "uid 1"));
    EXPECT_TRUE(log.messages().empty());
    LogLimiter::configure(2, std::chrono::seconds(0));  // the interval is over at once
    EXPECT_TRUE(LogLimiter::admits(refused, "uid 1"));
    EXPECT_EQ(log.messages(), std::vector<std::string>{
                                  "2 more lines like the next about uid 1 were not logged in 0 s"});

    // Past the most kept, those whose interval is over go, held lines or not, to make room: once
    // every one kept holds lines back, a new peer's line passes all the same.
    LogLimiter::configure(1, std::chrono::seconds(30));
    for (const auto& [kind, who] :
         {std::pair(refused, "uid 1"), {refused, "uid 2"}, {closed, "uid 1"}})
        LogLimiter::admits(kind, who);
    for (int peer = 0; peer < 5000; ++peer) {
        for (int line = 0; line < 2; ++line) LogLimiter::admits(refused, std::to_string(peer));
    }
    EXPECT_FALSE(LogLimiter::admits(refused, "a new peer")) << "none over yet";
    LogLimiter::configure(1, std::chrono::seconds(0));
    EXPECT_TRUE(LogLimiter::admits(refused, "a new peer"));
}

// The channels with lock files, as the folder's events tell them: made, renamed, removed. A
// thread that has read the events since it last received bytes answers from what it read, and
// a name once heard of stands until a miss reads them again; once the folder itself has moved
// away, each answer is an lstat at its path.
TEST(ServedChannels, FollowsTheFoldersLockFilesAndFallsBackToLookingWhenItMoves) {
    TempDirectory folder;
    const std::string path = folder.path() + "/run";
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    const RuntimeDirectory directory(path);
    ServedChannels served(directory);
    const auto lock = [&](const char* channel) { return path + "/." + channel + ".lock"; };
    std::thread([&] {
        EXPECT_FALSE(served.mayBeServed("a"));
        std::ofstream{lock("a")};
        EXPECT_TRUE(served.mayBeServed("a"));  // no bytes received: every miss reads
        ASSERT_EQ(rename(lock("a").c_str(), lock("b").c_str()), 0);
        ServedChannels::received();
        EXPECT_TRUE(served.mayBeServed("b"));
        EXPECT_FALSE(served.mayBeServed("a"));
        std::ofstream{lock("c")};
        EXPECT_FALSE(served.mayBeServed("c")) << "made after the bytes this thread received";
        ASSERT_EQ(unlink(lock("b").c_str()), 0);
        ServedChannels::received();
        EXPECT_TRUE(served.mayBeServed("c"));
        EXPECT_FALSE(served.mayBeServed("b"));
    }).join();
    ASSERT_EQ(rename(path.c_str(), (path + ".old").c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    std::ofstream{lock("d")};
    EXPECT_TRUE(served.mayBeServed("d"));
    EXPECT_FALSE(served.mayBeServed("c"));
}

// What each step does at its time (ms from 0), and how many idle calls are due after it. The
// watch waits for 100 ms of quiet from t=0.
TEST(IdleWatch, IsDueOnceQuietLongEnoughSinceItsStartAndTheLastCloseWithNoneOpen) {
    enum Step { Open, Close, Check };
    struct Case {
        const char* name;
        std::vector<std::tuple<Step, int, std::size_t>> steps;  // what, when, due after
    };
    const std::vector<Case> cases = {
        {"quiet from the start", {{Check, 99, 0}, {Check, 100, 1}, {Check, 500, 0}}},
        {"a connection open", {{Open, 10, 0}, {Check, 500, 0}}},
        {"counted from the close",
         {{Open, 10, 0}, {Close, 300, 0}, {Check, 399, 0}, {Check, 400, 1}}},
        {"one of two closed",
         {{Open, 10, 0},
          {Open, 20, 0},
          {Close, 30, 0},
          {Check, 500, 0},
          {Close, 600, 0},
          {Check, 700, 1}}},
        {"a close before the start counts from the start",
         {{Close, -50, 0}, {Check, 99, 0}, {Check, 100, 1}}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const IdleWatch::Clock::time_point zero = IdleWatch::Clock::now();
        const auto at = [&](int ms) { return zero + std::chrono::milliseconds(ms); };
        IdleWatch watch;
        watch.add(
            std::chrono::milliseconds(100), [] {}, zero);
        for (const auto& [step, when, due] : test.steps) {
            SCOPED_TRACE(when);
            if (step == Open) watch.connected();
            if (step == Close) watch.disconnected(at(when));
            EXPECT_EQ(watch.due(at(when)).size(), due);
        }
    }
}

// A declared service's idle exit, as the registry passes it on: whole seconds, 1 to a day.
TEST(DeclaredIdleExit, TakesWholeSecondsFromOneToADayAndNothingElse) {
    const std::pair<const char*, long> cases[] = {
        {"1", 1},  {"86400", 86400}, {"00030", 30}, {"0", 0},  {"86401", 0}, {"", 0},
        {"-5", 0}, {"+5", 0},        {" 5", 0},     {"5s", 0}, {"1e3", 0},   {"999999", 0},
    };
    for (const auto& [text, seconds] : cases) {
        SCOPED_TRACE(text);
        setenv("SVCREG_IDLE_EXIT_SEC", text, 1);
        const std::optional<std::chrono::seconds> idleExit = declaredIdleExit();
        EXPECT_EQ(idleExit.value_or(std::chrono::seconds(0)).count(), seconds);
    }
    unsetenv("SVCREG_IDLE_EXIT_SEC");
    EXPECT_FALSE(declaredIdleExit());
}

// The transport's tick tells it: not while a peer is connected, then once after it closed.
TEST_F(ServingTransport, WhenIdleWaitsForNoPeerConnectedForTheQuiet) {
    UniqueFd peer = connect();
    ASSERT_TRUE(sendAll(peer.get(), encoded(1)));
    ASSERT_TRUE(handler.await(1, 0));
    std::promise<void> idle;
    std::future<void> told = idle.get_future();
    server->whenIdle(std::chrono::milliseconds(100), [&] { idle.set_value(); });
    EXPECT_EQ(told.wait_for(std::chrono::milliseconds(2500)), std::future_status::timeout);
    peer = UniqueFd();
    EXPECT_EQ(told.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
