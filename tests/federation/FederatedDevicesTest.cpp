// Devices federated between network namespaces (FederatedPair, lease 2 s). Root only: elsewhere
// every test is skipped with the reason. Each suite sets its namespaces and daemons up once, for
// all its tests: that takes seconds. Bounds are generous: the figures are federation_bench's.
//
// InsecureFederation, without DDS Security: an entry registered on B is found on A as CHANNEL@B;
// the faults: a link cut silently (as a daemon killed goes), a device started again under its
// name, a device flooding the others (a name a live device holds is refused by the bridge:
// FederationBridgeTest).
//
// DeviceCalls, with DDS Security, an echo service on each device: the registry of B asked and
// changed from A through `--channel=svcreg@B`, as B's policy says; calls of a service both ways,
// 8 MiB ones too, with the caller seen as its device; a call pending when the service is killed
// or the link cut, ended within the lease, and calls again after; devices not allowed, or
// claiming another's name, getting no call in; the quick start's example service on B called
// from A by its name there.
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "DaemonUnderTest.h"
#include "DeviceNetwork.h"
#include "EchoCalls.h"
#include "FrameCodec.h"

using namespace svcreg;

namespace {

using Device = DeviceNetwork::Device;
constexpr auto kJoin = std::chrono::seconds(30);  // discovery and the security handshake
constexpr auto kLease = std::chrono::seconds(2);
constexpr auto kLeaseBound = std::chrono::seconds(5);  // the lease and time to notice its end
constexpr auto kQuietSpan = std::chrono::seconds(3);
constexpr auto kCallTimeout = std::chrono::seconds(20);
constexpr auto kBigCallTimeout = std::chrono::seconds(60);
constexpr std::size_t kEntriesPerDevice = 20;
constexpr const char* kEchoChannel = "echo";

constexpr const char* kAllowingA = "allow device:A register com.ex.*\nallow * all\n";
// Rules of local users never apply to callers of another device.
constexpr const char* kAllowingLocalsOnly = "allow * all\n";

// Two devices in network namespaces (DeviceNetwork), a test PKI, and a federated svcregd on
// each, lease 2 s; extra[device] is added to that device's daemon's arguments.
class FederatedPair {
public:
    FederatedPair(bool secure, const std::array<std::vector<std::string>, 2>& extra = {})
        : secure(secure) {
        if (!network.ready()) {
            problem = network.unavailableReason();
            return;
        }
        problem = makeFederationPki(pki.path(), {"A", "B"});
        if (!problem.empty()) return;
        for (const Device device : {DeviceNetwork::A, DeviceNetwork::B}) {
            const std::string name = DeviceNetwork::name(device);
            std::vector<std::string> all = arguments(name, securityFolder(name));
            all.insert(all.end(), extra[device].begin(), extra[device].end());
            daemons[device] = std::make_unique<DaemonUnderTest>(all, network.inside(device));
        }
    }

    // The federating arguments of a daemon under name, with folder's security files when secure.
    std::vector<std::string> arguments(const std::string& name, const std::string& folder) const {
        return {std::string("--federate=") + DeviceNetwork::kInterface, "--device=" + name,
                "--lease=2", secure ? "--federation-security=" + folder : "--federation-insecure"};
    }
    std::string securityFolder(const std::string& name) const { return pki.path() + "/" + name; }
    DaemonUnderTest& daemon(Device device) { return *daemons[device]; }

    const bool secure;
    DeviceNetwork network;
    TempDirectory pki;
    std::string problem;  // why the suite is skipped; empty when it runs
    // Destroyed before the network they run in.
    std::array<std::unique_ptr<DaemonUnderTest>, 2> daemons;
};

// The channel `svcreg find ifc` prints on daemon, empty when it finds none.
std::string found(const DaemonUnderTest& daemon, const std::string& ifc) {
    const ClientResult result = daemon.client({"find", ifc});
    return result.exitCode == 0 ? result.out : std::string();
}

// True once `svcreg find ifc` on daemon prints channel.
bool finds(const DaemonUnderTest& daemon, const std::string& ifc, const std::string& channel) {
    return eventually([&] { return found(daemon, ifc) == channel + "\n"; }, kJoin);
}

bool registers(const DaemonUnderTest& daemon, const std::string& ifc, const std::string& channel) {
    return daemon.client({"reg", ifc, channel}).exitCode == 0;
}

// The devices of a suite, made once for all its tests; the suite is skipped where they cannot be.
template <typename Devices>
class FederatedSuite : public ::testing::Test {
protected:
    static void TearDownTestSuite() { shared.reset(); }
    void SetUp() override {
        if (!shared) shared = std::make_unique<Devices>();
        if (!pair().problem.empty()) GTEST_SKIP() << pair().problem;
    }
    FederatedPair& pair() { return shared->pair; }
    DaemonUnderTest& a() { return pair().daemon(DeviceNetwork::A); }
    DaemonUnderTest& b() { return pair().daemon(DeviceNetwork::B); }

    static inline std::unique_ptr<Devices> shared;
};

// Without DDS Security, each device taking at most kEntriesPerDevice entries of another.
struct InsecureDevices {
    const std::vector<std::string> limited{
        "--limit", "entries-per-device=" + std::to_string(kEntriesPerDevice)};
    FederatedPair pair{false, {limited, limited}};
};
using InsecureFederation = FederatedSuite<InsecureDevices>;

bool findsNothing(const DaemonUnderTest& daemon, const std::string& ifc) {
    return eventually([&] { return found(daemon, ifc).empty(); }, kLeaseBound);
}

// B's port leaves the switch with every carrier up: each device's entries (and A's creator) go
// from the other after the lease, and come back once the link is whole again.
TEST_F(InsecureFederation, SilentCutDropsEntriesAfterTheLeaseAndHealBringsThemBack) {
    ASSERT_EQ(a().client({"reg-proxy", "libcut.so", "makeCut", "com.ex.CutA", "rpc"}).exitCode, 0);
    const auto proxyOnB = [&] { return b().client({"find-proxy", "com.ex.CutA"}).out; };
    ASSERT_TRUE(registers(a(), "com.ex.CutA", "a_chan"));
    ASSERT_TRUE(registers(b(), "com.ex.CutB", "b_chan"));
    ASSERT_TRUE(finds(a(), "com.ex.CutB", "b_chan@B"));
    ASSERT_TRUE(finds(b(), "com.ex.CutA", "a_chan@A"));
    EXPECT_TRUE(eventually([&] { return proxyOnB() == "libcut.so makeCut\n"; }, kJoin));

    ASSERT_TRUE(pair().network.cut(DeviceNetwork::B));
    EXPECT_TRUE(findsNothing(a(), "com.ex.CutB"));
    EXPECT_TRUE(findsNothing(b(), "com.ex.CutA"));
    EXPECT_EQ(proxyOnB(), "");
    EXPECT_EQ(found(b(), "com.ex.CutB"), "b_chan\n");  // its own entry stays

    ASSERT_TRUE(pair().network.heal(DeviceNetwork::B));
    EXPECT_TRUE(finds(a(), "com.ex.CutB", "b_chan@B"));
    EXPECT_TRUE(finds(b(), "com.ex.CutA", "a_chan@A"));
}

// B's daemon crashes and starts again at once, under the same name, before A's lease of the
// old one ran out: it is B again, and A takes its entries, journaled and new, once that lease
// is over.
TEST_F(InsecureFederation, DeviceStartedAgainUnderItsNameComesBack) {
    ASSERT_TRUE(registers(b(), "com.ex.Again", "again"));
    ASSERT_TRUE(finds(a(), "com.ex.Again", "again@B"));
    b().restart(SIGKILL);
    ASSERT_TRUE(b().serving()) << b().process().err();
    ASSERT_EQ(found(b(), "com.ex.Again"), "again\n");
    // Only the new B can publish this one.
    ASSERT_TRUE(registers(b(), "com.ex.AfterRestart", "after"));
    EXPECT_TRUE(finds(a(), "com.ex.AfterRestart", "after@B")) << a().process().err();
    EXPECT_TRUE(finds(a(), "com.ex.Again", "again@B"));
}

// B registers more than A takes from one device: A holds its limit of B's entries (those of the
// earlier tests among them) and says whose it refused. Once B removes most of them, A holds the
// rest: the removals of those it took came, and those it refused came in.
TEST_F(InsecureFederation, DeviceFloodingBeyondItsLimitFillsOnlyItsShare) {
    std::string flood, removed;
    std::vector<std::string> kept;  // as `details` lists them
    for (std::size_t i = 0; i < 2 * kEntriesPerDevice; ++i) {
        flood += " com.ex.Flood" + std::to_string(i);
        if (i == 3 * kEntriesPerDevice / 2 - 1) removed = flood;
        if (i >= 3 * kEntriesPerDevice / 2)
            kept.push_back("com.ex.Flood" + std::to_string(i) + "\t");
    }
    ASSERT_TRUE(registers(b(), flood.substr(1), "flood"));
    EXPECT_TRUE(a().logged("Refused an entry of device 'B': over the limit of entries (" +
                           std::to_string(kEntriesPerDevice) + " per device)"))
        << a().process().err();
    const ClientResult listed = a().client({"details"});
    EXPECT_EQ(occurrences(listed.out, "@B"), kEntriesPerDevice) << listed.out;
    EXPECT_EQ(found(b(), "com.ex.Flood39"), "flood\n");

    ASSERT_EQ(b().client({"dereg", removed.substr(1), "flood"}).exitCode, 0);
    EXPECT_TRUE(eventually(
        [&] {
            const std::string details = a().client({"details"}).out;
            return occurrences(details, "flood@B") == kept.size() &&
                   std::all_of(kept.begin(), kept.end(),
                               [&](const std::string& entry) { return contains(details, entry); });
        },
        kLeaseBound))
        << a().client({"details"}).out;
}

// The federated pair with DDS Security, B's policy file, and an echo service on each device.
class CallingDevices {
public:
    CallingDevices()
        : policy(writePolicy(etc.path() + "/policy.conf", kAllowingA)),
          pair(true, {std::vector<std::string>{}, std::vector<std::string>{"--policy", policy}}) {
        if (!pair.problem.empty()) return;
        for (const Device device : {DeviceNetwork::A, DeviceNetwork::B}) startEcho(device);
    }

    static std::string writePolicy(const std::string& path, const char* rules) {
        std::ofstream(path) << rules;
        return path;
    }

    // The echo service at kEchoChannel on device, started (again) and serving.
    void startEcho(Device device) {
        std::vector<std::string> command = pair.network.inside(device);
        const std::vector<std::string> echo =
            echoServiceCommand(pair.daemon(device).runtimeDirectory(), kEchoChannel);
        command.insert(command.end(), echo.begin(), echo.end());
        echoes[device] = std::make_unique<ChildProcess>(
            command, outputs.path() + "/echo" + std::to_string(++started));
        eventually([&] { return contains(echoes[device]->out(), kEchoServing); });
    }

    TempDirectory etc;
    const std::string policy;
    FederatedPair pair;
    TempDirectory outputs;
    int started = 0;
    std::array<std::unique_ptr<ChildProcess>, 2> echoes;
};

// The echo service of device, as another device calls it.
std::string echoOf(Device device) {
    return std::string(kEchoChannel) + "@" + DeviceNetwork::name(device);
}

// "user root of device A": how a service of another device sees this test's calls from device.
std::string callerFrom(Device device) {
    return "user root of device " + DeviceNetwork::name(device);
}

// Bytes that tell a shifted or cut copy from the original.
std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 % 251);
    return bytes;
}

// True once the echo service at channel answers caller, within the time given.
bool answersEcho(EchoCaller& caller, const std::string& channel, EchoAnswer& answer,
                 std::chrono::milliseconds within = kJoin) {
    return eventually([&] { return caller.echo(channel, "hello", answer, kLease).ok(); }, within);
}

// How a call ended, and when.
using CallEnd = std::pair<Outcome, Clock::time_point>;

class DeviceCalls : public FederatedSuite<CallingDevices> {
protected:
    ChildProcess& echoOn(Device device) { return *shared->echoes[device]; }

    // B's policy becomes rules, in force once B says it reloaded it.
    void reloadPolicyOfB(const char* rules) {
        const std::string reloaded = "reloaded the policy from '" + shared->policy + "'";
        const std::size_t before = occurrences(b().process().err(), reloaded);
        CallingDevices::writePolicy(shared->policy, rules);
        b().process().signal(SIGHUP);
        ASSERT_TRUE(eventually([&] { return occurrences(b().process().err(), reloaded) > before; }))
            << b().process().err();
    }

    // A held call from caller to B's echo service, under way on a thread of its own, returned
    // once the service holds it.
    std::future<CallEnd> holdCallFromA(EchoCaller& caller) {
        const std::size_t held = occurrences(echoOn(DeviceNetwork::B).out(), kEchoHolding);
        std::future<CallEnd> ending = std::async(std::launch::async, [&caller] {
            EchoAnswer answer;
            const Outcome outcome =
                caller.echo(echoOf(DeviceNetwork::B), "held", answer, kCallTimeout, true);
            return CallEnd(outcome, Clock::now());
        });
        EXPECT_TRUE(eventually(
            [&] { return occurrences(echoOn(DeviceNetwork::B).out(), kEchoHolding) > held; },
            kCallTimeout))
            << echoOn(DeviceNetwork::B).err();
        return ending;
    }
};

TEST_F(DeviceCalls, RegistryOfBAnswersAAndTakesItsChangesAsBsPolicySays) {
    ASSERT_TRUE(registers(b(), "com.ex.OnB", "b_chan"));
    ClientResult details{};
    EXPECT_TRUE(eventually(
        [&] {
            details = a().client({"--channel=svcreg@B", "details"});
            return details.exitCode == 0;
        },
        kJoin))
        << details.err;
    EXPECT_EQ(details.out, b().client({"details"}).out);
    EXPECT_TRUE(contains(details.out, "b_chan")) << details.out;

    // Made on B, and gone with its caller's tunnel: RegistryGate's and FrameRouter's tests.
    const std::vector<std::string> fromA{"--channel=svcreg@B", "register", "com.ex.FromA", "chanA"};
    const ClientResult made = a().client(fromA);
    EXPECT_EQ(made.exitCode, 0) << made.err;

    reloadPolicyOfB(kAllowingLocalsOnly);
    const ClientResult refused = a().client(fromA);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_TRUE(contains(refused.err, "device A")) << refused.err;
    EXPECT_TRUE(eventually([&] { return found(b(), "com.ex.FromA").empty(); }));
    reloadPolicyOfB(kAllowingA);
}

TEST_F(DeviceCalls, CallsGoBothWaysWhole8MiBTooAndNameTheCallersDevice) {
    const std::string big = patterned(kMaxFrameBodySize - 4096);
    for (const auto& [from, to] : {std::pair{DeviceNetwork::A, DeviceNetwork::B},
                                   std::pair{DeviceNetwork::B, DeviceNetwork::A}}) {
        SCOPED_TRACE("from " + DeviceNetwork::name(from));
        EchoCaller caller(pair().daemon(from).runtimeDirectory());
        ASSERT_EQ(caller.problem(), "");
        EchoAnswer answer;
        ASSERT_TRUE(answersEcho(caller, echoOf(to), answer)) << pair().daemon(from).process().err();
        EXPECT_EQ(answer.data, "hello");
        EXPECT_EQ(answer.caller, callerFrom(from));

        const Outcome carried = caller.echo(echoOf(to), big, answer, kBigCallTimeout);
        EXPECT_TRUE(carried) << carried.reason();
        EXPECT_EQ(answer.data.size(), big.size());
        EXPECT_TRUE(answer.data == big);
    }
}

// A call waits on B's echo service when the service is killed, or when B's port leaves the
// switch: it ends with ConnectionLost, at once for the service, within the lease for the link;
// and calls go through again once the service is back or the link healed, nothing restarted.
TEST_F(DeviceCalls, PendingCallEndsWhenItsServiceOrLinkIsLostAndCallsGoAgainAfter) {
    const struct {
        const char* what;
        std::function<void()> lose;
        std::chrono::milliseconds within;
        std::function<void()> restore;
    } losses[] = {
        {"the service killed", [&] { echoOn(DeviceNetwork::B).signal(SIGKILL); }, kLease,
         [&] { shared->startEcho(DeviceNetwork::B); }},
        {"the link cut", [&] { ASSERT_TRUE(pair().network.cut(DeviceNetwork::B)); }, kLeaseBound,
         [&] {
             echoOn(DeviceNetwork::B).signal(SIGUSR1);  // the held call let go
             ASSERT_TRUE(pair().network.heal(DeviceNetwork::B));
         }},
    };
    EchoCaller caller(a().runtimeDirectory());
    ASSERT_EQ(caller.problem(), "");
    for (const auto& loss : losses) {
        SCOPED_TRACE(loss.what);
        EchoAnswer answer;
        ASSERT_TRUE(answersEcho(caller, echoOf(DeviceNetwork::B), answer));
        std::future<CallEnd> pending = holdCallFromA(caller);
        const auto lost = Clock::now();
        loss.lose();
        const auto [outcome, ended] = pending.get();
        EXPECT_EQ(outcome.status(), Status::ConnectionLost) << outcome.reason();
        EXPECT_LT(ended - lost, loss.within);
        loss.restore();
        EXPECT_TRUE(answersEcho(caller, echoOf(DeviceNetwork::B), answer))
            << "A's log:\n"
            << a().process().err() << "B's log:\n"
            << b().process().err();
    }
}

// A device of another CA, on A's network; a daemon on B's network under A's name with B's
// certificate. Whether it runs or is refused at its start, no call and no entry crosses
// between it and the others, either way.
TEST_F(DeviceCalls, DevicesNotAllowedOrClaimingAnothersNameGetNoCallIn) {
    TempDirectory otherPki;
    ASSERT_EQ(makeFederationPki(otherPki.path(), {"C"}), "");
    struct Intruder {
        const char* what;
        Device network;
        std::string name;
        std::string securityFolder;
    };
    ASSERT_TRUE(registers(b(), "com.ex.BeforeIntruders", "b_chan"));
    ASSERT_TRUE(finds(a(), "com.ex.BeforeIntruders", "b_chan@B"));
    const Intruder intruders[] = {
        {"a device of another CA", DeviceNetwork::A, "C", otherPki.path() + "/C"},
        {"A's name with B's certificate", DeviceNetwork::B, "A", pair().securityFolder("B")},
    };
    for (const Intruder& intruder : intruders) {
        SCOPED_TRACE(intruder.what);
        TempDirectory folder;
        std::vector<std::string> command = pair().network.inside(intruder.network);
        command.insert(command.end(), {SVCREGD_PATH, "--runtime-dir", folder.path(), "--state-dir",
                                       folder.path() + "/.state", "--policy="});
        const std::vector<std::string> federating =
            pair().arguments(intruder.name, intruder.securityFolder);
        command.insert(command.end(), federating.begin(), federating.end());
        ChildProcess daemon(command, folder.path() + "/daemon");
        ASSERT_TRUE(eventually([&] {
            return accepting(folder.path() + "/svcreg") ||
                   daemon.wait(std::chrono::milliseconds(0)) != -1;
        }));
        const auto onIntruder = [&](const std::vector<std::string>& arguments) {
            return runClient(folder.path(), arguments, folder.path() + "/client");
        };
        onIntruder({"reg", "com.ex.Intruding", "chan"});
        EchoCaller caller(folder.path());
        ASSERT_EQ(caller.problem(), "");
        EchoAnswer answer;
        // Neither calls nor entries cross, either way.
        EXPECT_FALSE(eventually(
            [&] {
                return caller.echo(echoOf(DeviceNetwork::B), "in", answer, kLease).ok() ||
                       !found(a(), "com.ex.Intruding").empty() ||
                       !found(b(), "com.ex.Intruding").empty() ||
                       onIntruder({"find", "com.ex.BeforeIntruders"}).exitCode == 0;
            },
            kQuietSpan))
            << answer.caller;
        EXPECT_NE(
            onIntruder({"--channel=svcreg@B", "register", "com.ex.Intruding", "chan"}).exitCode, 0);
        EXPECT_EQ(found(b(), "com.ex.Intruding"), "");
        // Stopped by the signal, or refused at its start, naming what it claimed.
        daemon.signal(SIGTERM);
        const int ended = daemon.wait();
        EXPECT_TRUE(ended == 0 || contains(daemon.err(), intruder.name + "'")) << daemon.err();
    }
    // A itself still calls in as A.
    EchoCaller caller(a().runtimeDirectory());
    EchoAnswer answer;
    ASSERT_TRUE(answersEcho(caller, echoOf(DeviceNetwork::B), answer));
    EXPECT_EQ(answer.caller, callerFrom(DeviceNetwork::A));
}

// The quick start's service, serving on B, found on A at its name there and asked by text.
TEST_F(DeviceCalls, ExampleServiceOnBAnswersACallerOnAByItsNameThere) {
    const std::string libraries =
        std::filesystem::path(SERVICE_REGISTRY_LIBRARY).parent_path().string();
    std::vector<std::string> command = pair().network.inside(DeviceNetwork::B);
    command.insert(command.end(), {"/usr/bin/env", "SVCREG_RUNTIME_DIR=" + b().runtimeDirectory(),
                                   "LD_LIBRARY_PATH=" + libraries, EXAMPLE_SERVICE_PATH, "--serve",
                                   "example_camera"});
    ChildProcess service(command, shared->outputs.path() + "/example");
    ASSERT_TRUE(eventually([&] { return contains(service.out(), "serving until"); }))
        << service.err();
    ASSERT_TRUE(finds(a(), "com.example.Camera", "example_camera@B"));

    EchoCaller caller(a().runtimeDirectory());
    ASSERT_EQ(caller.problem(), "");
    std::string reply;
    const Outcome asked = caller.ask("example_camera@B", "ping", reply, kCallTimeout);
    EXPECT_TRUE(asked) << asked.reason();
    EXPECT_EQ(reply, "pong");

    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0) << service.err();
    EXPECT_TRUE(contains(service.out(), "done")) << service.out();
}

}  // namespace
