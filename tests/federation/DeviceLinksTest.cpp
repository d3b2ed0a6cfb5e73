// Links between devices over the loopback interface: messages both ways, over TLS with the test
// PKI and over plain TCP; peers refused for their certificates or until announced; a silent
// peer; a queue's bounds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "DeviceLinks.h"
#include "DeviceNetwork.h"
#include "LogCapture.h"
#include "Processes.h"
#include "RecordingDeviceCalls.h"

namespace {

using namespace std::chrono_literals;
using Kind = svcreg::DeviceMessage::Kind;

// A PKI of devices A, B and C, and one of another identity CA with a device B, for every test;
// problem says what failed in making them.
struct Pki {
    TempDirectory folder;
    const std::string problem = makeFederationPki(folder.path() + "/one", {"A", "B", "C"}) +
                                makeFederationPki(folder.path() + "/other", {"B"});
    std::string device(const std::string& name) const { return folder.path() + "/one/" + name; }
    std::string ofOtherCa(const std::string& name) const {
        return folder.path() + "/other/" + name;
    }
};

const Pki& pki() {
    static const Pki shared;
    return shared;
}

// A device's links on 127.0.0.1 with calls recorded, started.
struct Device {
    Device(const std::string& name, const std::string& securityDirectory,
           std::chrono::milliseconds lease = 2s)
        : links(LinkOptions{name, securityDirectory, "127.0.0.1", 0, lease}) {
        std::string error;
        EXPECT_TRUE(links.start(calls, error)) << error;
    }
    void knows(const std::string& name, const Device& other) {
        links.announced(name, "127.0.0.1", other.links.port(), 2s);
    }
    RecordingDeviceCalls calls;
    DeviceLinks links;
};

svcreg::DeviceMessage frame(std::uint64_t tunnel, std::string bytes) {
    svcreg::DeviceMessage message;
    message.tunnel = tunnel;
    message.frame = std::move(bytes);
    return message;
}

// The address of port on 127.0.0.1; port 0 lets bind choose.
sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A TCP listener on 127.0.0.1 standing in for a device that speaks the link's records itself.
class RawPeer {
public:
    RawPeer() {
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 4);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~RawPeer() {
        if (accepted >= 0) close(accepted);
        close(listener);
    }
    // Accepts the link, takes its Hello and answers Welcome as device.
    bool welcome(const std::string& device) {
        accepted = accept(listener, nullptr, nullptr);
        LinkRecord record;
        if (next(record) != LinkRecordReader::Status::Ready ||
            record.kind != LinkRecord::Kind::Hello)
            return false;
        record.kind = LinkRecord::Kind::Welcome;
        record.device = device;
        std::string bytes;
        return appendRecord(record, bytes) && say(bytes);
    }
    bool say(const std::string& bytes) { return sendAll(accepted, bytes); }
    // The next record that comes, waiting for it.
    LinkRecordReader::Status next(LinkRecord& record) {
        LinkRecordReader::Status status;
        char buffer[4096];
        while ((status = reader.next(record)) == LinkRecordReader::Status::NeedMore) {
            const ssize_t got = recv(accepted, buffer, sizeof buffer, 0);
            if (got <= 0) return status;
            reader.append(buffer, static_cast<std::size_t>(got));
        }
        return status;
    }

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    std::uint16_t port = 0;

private:
    int accepted = -1;
    LinkRecordReader reader;
};

// A plain TCP connection to port on 127.0.0.1, from 127.0.0.host, that says nothing.
int silentConnection(std::uint16_t port, std::uint8_t host = 1) {
    const int connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from = loopback(0);
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + host);
    EXPECT_EQ(bind(connection, reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
    const sockaddr_in address = loopback(port);
    EXPECT_EQ(connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return connection;
}

// Bytes a peer listening at port on 127.0.0.1 sent that are not yet read.
std::size_t unreadFrom(std::uint16_t port) {
    char at[32];
    std::snprintf(at, sizeof at, "0100007F:%04X", port);
    std::ifstream table("/proc/net/tcp");
    std::size_t unread = 0;
    for (std::string line; std::getline(table, line);) {
        char local[32], remote[32];
        unsigned long sending = 0, receiving = 0;
        if (std::sscanf(line.c_str(), "%*s %31s %31s %*x %lx:%lx", local, remote, &sending,
                        &receiving) == 4) {
            if (std::strcmp(local, at) == 0) unread += sending;
            if (std::strcmp(remote, at) == 0) unread += receiving;
        }
    }
    return unread;
}

}  // namespace

TEST(DeviceLinks, CarryMessagesBothWaysEvenWhenBothConnectAtOnceAndCloseForADeviceGone) {
    ASSERT_EQ(pki().problem, "") << "no test PKI";
    const std::string large((8u << 20) + 8, 'x');
    for (const bool secured : {true, false}) {
        SCOPED_TRACE(secured ? "TLS" : "plain TCP");
        const LogCapture log(2);
        Device a("A", secured ? pki().device("A") : ""), b("B", secured ? pki().device("B") : "");
        a.knows("B", b);
        b.knows("A", a);
        // Both send first: each connects to the other, and one link is kept.
        constexpr std::uint64_t kMessages = 50;
        for (std::uint64_t i = 0; i < kMessages; ++i) {
            ASSERT_TRUE(a.links.send("B", frame(i, "to B " + std::to_string(i))));
            ASSERT_TRUE(b.links.send("A", frame(i, "to A " + std::to_string(i))));
        }
        ASSERT_TRUE(a.links.send("B", frame(kMessages, large)));
        svcreg::DeviceMessage open;
        open.kind = Kind::Open;
        open.user = "alice";
        open.channel = "camera";
        ASSERT_TRUE(b.links.send("A", open));
        for (Device* device : {&a, &b}) {
            const std::size_t expected = kMessages + 1;
            ASSERT_TRUE(
                eventually([&] { return device->calls.receivedSoFar().size() == expected; }, 20s));
            const auto received = device->calls.receivedSoFar();
            const std::string from = device == &a ? "B" : "A";
            for (std::uint64_t i = 0; i < kMessages; ++i) {
                EXPECT_EQ(received[i].first, from);
                EXPECT_EQ(received[i].second.tunnel, i);
                EXPECT_EQ(received[i].second.frame,
                          std::string("to ") + (device == &a ? "A " : "B ") + std::to_string(i));
            }
        }
        EXPECT_TRUE(b.calls.receivedSoFar().back().second.frame == large);
        EXPECT_EQ(a.calls.receivedSoFar().back().second.channel, "camera");
        EXPECT_TRUE(a.calls.lostSoFar().empty());
        EXPECT_TRUE(b.calls.lostSoFar().empty());

        // The bridge heard B is gone: A's link closes, and B's end sees it close.
        a.links.dropped("B");
        EXPECT_TRUE(
            eventually([&] { return a.calls.lostSoFar() == std::vector<std::string>{"B"}; }));
        EXPECT_TRUE(
            eventually([&] { return b.calls.lostSoFar() == std::vector<std::string>{"A"}; }));
        EXPECT_FALSE(a.links.send("B", frame(1, "after")));
    }
}

// A device dials A as name. Refused for its certificate (of another CA, or of another device
// than it says it is): nothing goes either way, and A cannot link to it either. Refused until A
// heard it announced at the address it dials from: then the queue it kept goes through.
TEST(DeviceLinks, RefuseAPeerForItsCertificateOrUntilAnnouncedFromItsAddress) {
    ASSERT_EQ(pki().problem, "") << "no test PKI";
    struct Case {
        const char* what;
        std::string name;
        std::string files;        // its security files; none: neither it nor A uses TLS
        const char* announcedAt;  // where A first hears it is; nullptr: nowhere
        const char* refusal;      // what A logs of its link
        bool takenOnceAnnounced;
    };
    const Case cases[] = {
        {"another CA", "B", pki().ofOtherCa("B"), "127.0.0.1", "certificate verify failed", false},
        {"device C's certificate", "B", pki().device("C"), "127.0.0.1",
         "a hello as device 'B' over the certificate of 'C'", false},
        {"TLS, not announced", "C", pki().device("C"), nullptr, "the device is not announced",
         true},
        {"plain TCP, not announced", "C", "", nullptr, "the device is not announced", true},
        {"plain TCP, another address", "C", "", "127.0.0.2",
         "the device announced address 127.0.0.2", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const LogCapture log(2);
        Device a("A", c.files.empty() ? "" : pki().device("A")), other(c.name, c.files);
        other.knows("A", a);
        if (c.announcedAt != nullptr)
            a.links.announced(c.name, c.announcedAt, other.links.port(), 2s);
        ASSERT_TRUE(other.links.send("A", frame(1, "from " + c.name)));
        EXPECT_TRUE(eventually([&] { return log.holding(c.refusal); }))
            << testing::PrintToString(log.messages());
        EXPECT_TRUE(a.calls.receivedSoFar().empty());
        if (c.takenOnceAnnounced) {
            a.knows(c.name, other);
            EXPECT_TRUE(eventually([&] { return a.calls.receivedSoFar().size() == 1; }));
            EXPECT_TRUE(other.calls.lostSoFar().empty());
            continue;
        }
        EXPECT_TRUE(eventually([&] { return other.calls.lostSoFar().size() == 1; }));
        ASSERT_TRUE(a.links.send(c.name, frame(2, "to " + c.name)));
        EXPECT_TRUE(eventually([&] { return a.calls.lostSoFar().size() == 1; }));
        EXPECT_TRUE(a.calls.receivedSoFar().empty());
        EXPECT_TRUE(other.calls.receivedSoFar().empty());
        EXPECT_TRUE(log.holding("Could not link to device '" + c.name + "'"))
            << testing::PrintToString(log.messages());
    }
}

TEST(DeviceLinks, TakeFewConnectionsNotGreetedFromOneAddressAndForFiveSecondsWhateverTheLease) {
    const LogCapture log(2);
    Device a("A", "", 30s);
    const auto opened = Clock::now();
    std::vector<int> connections;
    for (int i = 0; i < 8; ++i) connections.push_back(silentConnection(a.links.port()));
    for (std::size_t i = 4; i < connections.size(); ++i) {
        EXPECT_TRUE(closedByPeer(connections[i])) << "past four from one address: " << i;
    }
    EXPECT_TRUE(eventually([&] {
        return log.holding("as many connections not greeted yet as one address may hold");
    }));
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(closedByPeer(connections[i])) << "connection " << i;
    }
    EXPECT_LE(Clock::now() - opened, 9s);
    // Logged once for those refused, once for those not greeted, whatever their ports.
    EXPECT_EQ(log.holding("Refused a link"), 2u) << testing::PrintToString(log.messages());
    for (const int connection : connections) close(connection);
}

// Sixteen addresses, none a device's, hold every place for connections not greeted yet: a device
// announced still links, from its own address.
TEST(DeviceLinks, ConnectionsNotGreetedFromAddressesNoDeviceAnnouncedLeaveDevicesRoom) {
    const LogCapture log(2);
    Device a("A", "", 30s), b("B", "");
    std::vector<int> connections;
    for (int i = 0; i < 65; ++i) connections.push_back(silentConnection(a.links.port(), 2 + i / 4));
    EXPECT_TRUE(closedByPeer(connections.back())) << "past the places of all addresses";
    // Logged once closed.
    EXPECT_TRUE(eventually(
        [&] { return log.holding("not greeted yet from addresses no device announced") != 0; }));
    a.knows("B", b);
    b.knows("A", a);
    ASSERT_TRUE(b.links.send("A", frame(1, "through")));
    EXPECT_TRUE(eventually([&] { return a.calls.receivedSoFar().size() == 1; }));
    EXPECT_EQ(log.holding("this device takes, from 127.0.0.1:"), 0u)
        << testing::PrintToString(log.messages());
    for (const int connection : connections) close(connection);
}

// Connections, each of which may cost a TLS handshake, are taken at 64 a second at most from
// addresses no device announced, logged together, and at 16 from a device's.
TEST(DeviceLinks, TakeConnectionsAtABoundedRateFromADeviceAndFromAddressesOfNone) {
    const LogCapture log(2);
    Device a("A", "", 30s);
    a.links.announced("M", "127.0.0.99", 1, 30s);
    for (int i = 0; i < 256; ++i) {
        close(silentConnection(a.links.port(), 100 + i % 64));
        close(silentConnection(a.links.port(), 99));
    }
    EXPECT_TRUE(eventually([&] { return log.holding("a second from addresses no device") != 0; }));
    EXPECT_TRUE(eventually([&] { return log.holding("a second as a device's address") != 0; }));
    EXPECT_LE(log.holding("Refused a link") - log.holding("from 127.0.0.99:"), 4u)
        << "those of no device logged together, whatever their addresses";
}

// A device that says it is another at each connection, over its own certificate, is refused
// each time, and logged at most once a second for that refusal, whatever names it says.
TEST(DeviceLinks, RefusalsThatDifferOnlyInTheNamesAPeerSaidAreLoggedTogether) {
    ASSERT_EQ(pki().problem, "") << "no test PKI";
    const LogCapture log(2);
    Device a("A", pki().device("A"));
    std::vector<std::unique_ptr<Device>> posers;
    for (int i = 0; i < 8; ++i) {
        posers.push_back(std::make_unique<Device>("B" + std::to_string(i), pki().device("C")));
        posers.back()->knows("A", a);
        ASSERT_TRUE(posers.back()->links.send("A", frame(1, "x")));
    }
    for (const auto& poser : posers) {
        EXPECT_TRUE(eventually([&] { return poser->calls.lostSoFar().size() == 1; }));
    }
    EXPECT_LE(log.holding("over the certificate of 'C'"), 2u)
        << testing::PrintToString(log.messages());
}

// A peer that speaks the records itself, welcomed as device S: A pings it while idle and closes
// the link once it is silent for a lease, or at once on a malformed record, naming the device.
TEST(DeviceLinks, PingWhenIdleAndCloseALinkSilentForALeaseOrAtOnceOnAMalformedRecord) {
    for (const bool malformed : {false, true}) {
        SCOPED_TRACE(malformed ? "a malformed record" : "a silent peer");
        const LogCapture log(2);
        const std::chrono::milliseconds lease = malformed ? 30s : 300ms;
        Device a("A", "", lease);
        RawPeer peer;
        a.links.announced("S", "127.0.0.1", peer.port, lease);
        ASSERT_TRUE(a.links.send("S", frame(1, "hello")));
        ASSERT_TRUE(peer.welcome("S"));
        const auto welcomed = Clock::now();
        LinkRecord record;
        ASSERT_EQ(peer.next(record), LinkRecordReader::Status::Ready);
        EXPECT_EQ(record.message.frame, "hello");
        if (malformed) {
            ASSERT_TRUE(peer.say(std::string("\x05\x02\x00\x00\x00\x09\x00", 7)));  // no such kind
        } else {
            ASSERT_EQ(peer.next(record), LinkRecordReader::Status::Ready);
            EXPECT_EQ(record.kind, LinkRecord::Kind::Ping);
        }
        ASSERT_TRUE(
            eventually([&] { return a.calls.lostSoFar() == std::vector<std::string>{"S"}; }));
        EXPECT_GE(Clock::now() - welcomed, malformed ? 0ms : lease);
        EXPECT_LE(Clock::now() - welcomed, 3s);
        EXPECT_EQ(log.holding("Lost the link with device 'S' at 127.0.0.1:" +
                              std::to_string(peer.port) + ": a malformed record"),
                  malformed ? 1u : 0u)
            << testing::PrintToString(log.messages());
        EXPECT_TRUE(a.calls.receivedSoFar().empty());
    }
}

// A share alone fills the queue to its bound, and another then still takes half of it: the
// share past its part is refused, but for a Close. Past the bytes of all shares together, a
// share that holds nothing is refused too. A device announced at an address of this host, not
// the links' own, is not dialled.
TEST(DeviceLinks,
     SendRefusesAnUnknownDeviceAndAShareOfAQueuePastItsPartAndDialsNoAddressOfThisHost) {
    const LogCapture log(2);
    Device a("A", "");
    const std::string large(3u << 20, 'x');
    EXPECT_EQ(a.links.send("nobody", frame(1, "lost")).reason(),
              "device nobody is not in the federation");
    a.links.announced("L", "127.0.0.2", 1, 2s);  // this host's, and not the links' own
    ASSERT_TRUE(a.links.send("L", frame(1, "lost")));
    EXPECT_TRUE(eventually([&] {
        return log.holding(
            "device 'L' at 127.0.0.2:1: its announced address is one of this host's");
    }));
    // A peer that never answers the Hello: every message waits in A's queue.
    RawPeer mute;
    a.links.announced("M", "127.0.0.1", mute.port, 2s);
    const auto refusal = [&](const std::string& share) {
        return a.links.send("M", frame(0, large), share).reason();
    };
    std::size_t held = 0;
    // How many messages of large share sends before one is refused.
    const auto fill = [&](const std::string& share, std::size_t most) {
        std::size_t taken = 0;
        while (taken < most && a.links.send("M", frame(taken, large), share)) ++taken;
        held += taken * large.size();
        return taken * large.size();
    };
    for (const auto& [share, part] : {std::pair{"uid 1", 16u << 20}, {"uid 2", 8u << 20}}) {
        const std::size_t taken = fill(share, 16);
        EXPECT_GT(taken, part) << share;
        EXPECT_LE(taken - large.size(), part) << share;
    }
    EXPECT_THAT(refusal("uid 1"),
                testing::EndsWith("past its part of 8388608 (16 MiB between 2 users)"));
    svcreg::DeviceMessage close = frame(99, "");
    close.kind = svcreg::DeviceMessage::Kind::Close;
    EXPECT_TRUE(a.links.send("M", close, "uid 1")) << "a Close goes past the bound";
    for (int share = 0; share < 32 && fill("user " + std::to_string(share), 1) != 0;) ++share;
    EXPECT_GT(held, std::size_t{64} << 20);
    EXPECT_LE(held - large.size(), std::size_t{64} << 20);
    EXPECT_THAT(refusal("user 99"), testing::EndsWith("past the 64 MiB of all users"));
}

// A device dropped while its queue waits for a link, declined as not yet announced there, takes
// its queue along: announced again, it gets only what was sent since.
TEST(DeviceLinks, ADroppedDeviceTakesTheQueueThatWaitedForItsLinkAlong) {
    const LogCapture log(3);
    Device a("A", "");
    Device b("B", "");
    a.knows("B", b);
    ASSERT_TRUE(a.links.send("B", frame(1, "stale")));
    ASSERT_TRUE(eventually([&] { return log.holding("the device keeps its own link") != 0; }));
    a.links.dropped("B");
    ASSERT_TRUE(eventually([&] { return a.calls.lostSoFar() == std::vector<std::string>{"B"}; }));
    b.knows("A", a);
    a.knows("B", b);
    ASSERT_TRUE(a.links.send("B", frame(2, "fresh")));
    ASSERT_TRUE(eventually([&] { return !b.calls.receivedSoFar().empty(); }));
    EXPECT_EQ(b.calls.receivedSoFar().front().second.frame, "fresh");
}

// Devices S0 to S7 hold records unfinished, S0 to S6 each one at the bound, the links together
// nearly theirs: S8's record, which passes that bound, is taken all the same, and one of the
// links holding the most closes in its place.
TEST(DeviceLinks, PastTheBytesOfUnfinishedRecordsAllLinksMayHoldTheLinkHoldingTheMostCloses) {
    const LogCapture log(2);
    Device a("A", "", 30s);
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < 9; ++i) {
        const std::string name = "S" + std::to_string(i);
        peers.push_back(std::make_unique<RawPeer>());
        a.links.announced(name, "127.0.0.1", peers.back()->port, 30s);
        ASSERT_TRUE(a.links.send(name, frame(1, "hello")));
        ASSERT_TRUE(peers.back()->welcome(name));
    }
    std::string unfinished("\x05", 1);
    for (int shift = 0; shift < 32; shift += 8) unfinished += char(kMostRecordBody >> shift);
    unfinished.resize(kRecordHeaderSize + kMostRecordBody - 1, 'x');
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(peers[i]->say(i < 7 ? unfinished : unfinished.substr(0, 4u << 20)));
    }
    ASSERT_TRUE(eventually([&] {
        return std::all_of(peers.begin(), peers.end() - 1,
                           [](const auto& peer) { return unreadFrom(peer->port) == 0; });
    })) << "A read what S0 to S7 sent";
    LinkRecord last;
    last.kind = LinkRecord::Kind::Message;
    last.message = frame(2, std::string(kMostFrameBytes, 'y'));
    std::string bytes;
    ASSERT_TRUE(appendRecord(last, bytes));
    EXPECT_TRUE(peers[8]->say(bytes));
    EXPECT_TRUE(eventually([&] { return a.calls.receivedSoFar().size() == 1; }));
    EXPECT_EQ(a.calls.lostSoFar().size(), 1u);
    EXPECT_NE(a.calls.lostSoFar(), std::vector<std::string>{"S8"});
}
