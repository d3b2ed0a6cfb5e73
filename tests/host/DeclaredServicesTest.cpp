// The declared services' states: one start at a time whoever asks, the reasons of failed starts,
// the back-off, a registration and the end of the service's process, and a reload. A fake
// starter stands in for the launcher, a fake clock for time.
#include "DeclaredServices.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BinaryCodec.h"
#include "CallFrom.h"
#include "CountingResponse.h"
#include "DaemonUnderTest.h"
#include "LogCapture.h"
#include "PipelineUnderTest.h"
#include "RegistryStatus.h"
#include "RegistryStatusProtocol.h"
#include "RemoteDevicesHost.h"
#include "ServiceStarts.h"

using namespace svcreg;
using namespace std::chrono_literals;

namespace {

constexpr char kIfc[] = "com.example.Camera";

ServiceDeclaration declared(const std::string& name, std::vector<std::string> interfaces) {
    ServiceDeclaration declaration;
    declaration.name = name;
    declaration.interfaces = std::move(interfaces);
    declaration.channel = name;
    declaration.exec = {"/usr/bin/" + name};
    return declaration;
}

class FakeStarter final : public DeclaredServices::Starter {
public:
    pid_t start(const ServiceDeclaration& declaration, std::string& why) override {
        ++starts[declaration.name];
        if (!refusal.empty()) {
            why = refusal;
            return 0;
        }
        return ++lastPid;
    }
    void stop(pid_t pid) override { stopped.push_back(pid); }

    std::map<std::string, int> starts;
    std::vector<pid_t> stopped;
    std::string refusal;  // what start fails with, when not empty
    pid_t lastPid = 100;
};

// What the end of a launched process, with code (CLD_EXITED, CLD_KILLED) and status, is told as.
std::string endedWith(int code, int status) {
    siginfo_t ended{};
    ended.si_code = code;
    ended.si_status = status;
    return ServiceStarts::reasonOf(ended);
}

// Declarations of "camera" (kIfc and another) and "other", told of the table's changes; and the
// steps a case takes, each done to "camera".
struct Services {
    Services() { reloaded(); }

    // The declarations are read again, unchanged.
    void reloaded() {
        declarations.replace(
            {declared("camera", {kIfc, "com.example.Focus"}), declared("other", {"x.Y"})}, entries);
    }
    // A lookup asks to start kIfc.
    void lookup() { declarations.start(kIfc); }
    // The last process started exits 1.
    void exitsOne() { declarations.exited(starter.lastPid, endedWith(CLD_EXITED, 1)); }
    // The last process started is killed by SIGKILL.
    void isKilled() { declarations.exited(starter.lastPid, endedWith(CLD_KILLED, SIGKILL)); }
    // The start timeout of the last process started passes.
    void timesOut() { declarations.timedOut(starter.lastPid); }
    // kIfc is registered at its channel by the last process started, or by another.
    void registers() { registeredBy(starter.lastPid, kEntry); }
    void anotherRegisters() { registeredBy(4242, kEntry); }
    // kIfc is registered at another channel.
    void registeredElsewhere() { registeredBy(4242, ServiceRecord(kIfc, 2, "elsewhere")); }
    // kIfc's entry is removed.
    void deregistered() {
        entries.clear();
        declarations.removed({kEntry}, nullptr);
    }
    // The clock moves on a second.
    void aSecondPasses() { now += 1s; }
    // The launcher cannot be run from now on.
    void spawnRefused() { starter.refusal = "could not start: cannot run 'x'"; }
    // Lookups start kIfc as often as a service may start in its interval, and each process
    // registers and ends at once.
    void endsAtOnceAsOftenAsItMay() { startAndEnd(DeclaredServices::kMostStartsPerInterval, 0s); }
    // Once more, each process ending after a second of nobody's use, as its IdleExitSec= allows
    // at the soonest.
    void endsOnceIdleOnceMoreThanThat() {
        startAndEnd(DeclaredServices::kMostStartsPerInterval + 1, 1s);
    }
    void startAndEnd(int times, std::chrono::seconds running) {
        for (int i = 0; i < times; ++i) {
            lookup();
            registers();
            now += running;
            deregistered();
            exitsOne();
        }
    }

    void registeredBy(pid_t pid, const ServiceRecord& entry) {
        PeerCredentials by;
        by.pid = pid;
        if (entry.channel == kEntry.channel) entries.push_back(entry);
        declarations.registered({entry}, &by);
    }
    DeclaredServices::Row camera() const { return declarations.rows().front(); }

    const ServiceRecord kEntry{kIfc, 1, "camera"};
    FakeStarter starter;
    DeclaredServices::Clock::time_point now{};
    int changes = 0;
    std::vector<ServiceRecord> entries;
    DeclaredServices declarations{starter, 10s, [this] { ++changes; }, [this] { return now; }};
};

const DeclaredState Idle = DeclaredState::Idle, Starting = DeclaredState::Starting,
                    Running = DeclaredState::Running, Failed = DeclaredState::Failed;

struct Step {
    void (Services::*what)();
    DeclaredState state;  // after the step
    std::string reason;   // after the step
    int starts;           // made so far
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

// The status protocol's "start" of declarations, as a peer asks it.
struct StatusOf {
    explicit StatusOf(DeclaredServices& declarations)
        : status(framework, "svcreg", *pipeline.registry, nullptr, devices, {}, &declarations) {}

    // The call's refusal; empty when it was answered.
    std::string start(const PeerCredentials& peer, const std::string& ifc) {
        namespace Wire = RegistryStatusProtocol;
        Method request(Wire::kStart, Method::REQUEST);
        request.addStringParameter(Wire::kInterfaceParameter, ifc, Parameter::IN);
        const std::string bytes = encode(request);
        CallFrom call(peer);
        ResponseLog log;
        status.handleCall(call, bytes.data(), static_cast<int>(bytes.size()),
                          std::make_unique<CountingResponse>(log));
        return call.refused;
    }

    PipelineUnderTest pipeline;
    RemoteDevicesHost devices{*pipeline.registry};
    TempDirectory runtime;
    HostFramework framework{hostOptionsIn(runtime.path())};
    RegistryStatus status;
};

TEST(DeclaredServices, EachCaseGoesThroughTheStatesItShould) {
    const std::string exit1 = "could not start: exit 1";
    const std::string killed = "could not start: killed by signal 9";
    const std::string late = "did not register within 10 s";
    const std::string often = "started 10 times within 10 s";
    const std::string runsOn = "could not start: the process of its last start, pid 101, runs on";
    const Case cases[] = {
        {"a start that registers, then its process ends",
         {{&Services::lookup, Starting, "", 1},
          {&Services::lookup, Starting, "", 1},
          {&Services::registers, Running, "", 1},
          {&Services::lookup, Running, "", 1},
          {&Services::deregistered, Running, "", 1},  // its process is still there
          {&Services::exitsOne, Idle, "", 1},
          {&Services::lookup, Starting, "", 2}}},
        // The back-off's doubling, from 1 s on, is TheBackOffDoublesTo60Seconds...'s.
        {"a process that ends before it registers, and the back-off",
         {{&Services::lookup, Starting, "", 1},
          {&Services::exitsOne, Failed, exit1, 1},
          {&Services::lookup, Failed, exit1, 1},
          {&Services::aSecondPasses, Failed, exit1, 1},
          {&Services::lookup, Starting, "", 2},
          {&Services::isKilled, Failed, killed, 2}}},
        {"a start that does not register in time",
         {{&Services::lookup, Starting, "", 1},
          {&Services::timesOut, Failed, late, 1},
          {&Services::isKilled, Failed, late, 1}}},
        {"a launcher that cannot be run",
         {{&Services::spawnRefused, Idle, "", 0},
          {&Services::lookup, Failed, "could not start: cannot run 'x'", 1},
          {&Services::lookup, Failed, "could not start: cannot run 'x'", 1}}},
        {"a registration by anyone, in back-off too, and its removal, which ends no back-off",
         {{&Services::anotherRegisters, Running, "", 0},
          {&Services::deregistered, Idle, "", 0},
          {&Services::lookup, Starting, "", 1},
          {&Services::exitsOne, Failed, exit1, 1},
          {&Services::anotherRegisters, Running, exit1, 1},
          {&Services::reloaded, Running, exit1, 1},
          {&Services::deregistered, Idle, exit1, 1},
          {&Services::lookup, Failed, exit1, 1},
          {&Services::aSecondPasses, Failed, exit1, 1},
          {&Services::lookup, Starting, "", 2}}},
        {"a process that did not register in time, and runs on, is not started again meanwhile",
         {{&Services::lookup, Starting, "", 1},
          {&Services::timesOut, Failed, late, 1},
          {&Services::aSecondPasses, Failed, late, 1},
          {&Services::lookup, Failed, runsOn, 1},
          {&Services::exitsOne, Failed, runsOn, 1},
          {&Services::aSecondPasses, Failed, runsOn, 1},
          {&Services::aSecondPasses, Failed, runsOn, 1},
          {&Services::lookup, Starting, "", 2}}},
        {"another's registration ends no start: the start timeout still runs",
         {{&Services::lookup, Starting, "", 1},
          {&Services::anotherRegisters, Starting, "", 1},
          {&Services::timesOut, Failed, late, 1}}},
        {"a service that ends once registered is started 10 times in 10 s at most",
         {{&Services::endsAtOnceAsOftenAsItMay, Idle, "", 10},
          {&Services::lookup, Failed, often, 10},
          {&Services::aSecondPasses, Failed, often, 10},
          {&Services::lookup, Failed, often, 10}}},
        {"a service that ends when idle is never started that often",
         {{&Services::endsOnceIdleOnceMoreThanThat, Idle, "", 11}}},
        {"its starts are counted over the last 10 s, whenever the first of them was",
         {{&Services::endsOnceIdleOnceMoreThanThat, Idle, "", 11},
          {&Services::lookup, Starting, "", 12},
          {&Services::registers, Running, "", 12},
          {&Services::deregistered, Running, "", 12},
          {&Services::exitsOne, Idle, "", 12},
          {&Services::lookup, Failed, often, 12}}},
        {"an entry at another channel is not the service's",
         {{&Services::registeredElsewhere, Idle, "", 0}, {&Services::lookup, Starting, "", 1}}},
        {"a reload keeps the state and the back-off",
         {{&Services::lookup, Starting, "", 1},
          {&Services::reloaded, Starting, "", 1},
          {&Services::lookup, Starting, "", 1},
          {&Services::exitsOne, Failed, exit1, 1},
          {&Services::reloaded, Failed, exit1, 1},
          {&Services::lookup, Failed, exit1, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Services services;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            (services.*c.steps[i].what)();
            EXPECT_EQ(services.camera().state, c.steps[i].state);
            EXPECT_EQ(services.camera().reason, c.steps[i].reason);
            EXPECT_EQ(services.starter.starts["camera"], c.steps[i].starts);
        }
    }
}

// Past the bound of starts under way, a start is refused, saying so, logged naming the asker, and
// leaves the service as it was: no back-off, started once a start under way has ended.
TEST(DeclaredServices, StartsUnderWayAreBoundedWithNoBackOff) {
    LogCapture log;
    FakeStarter starter;
    DeclaredServices declarations{starter, 10s, [] {}};
    const std::size_t bound = DeclaredServices::kMostStartsUnderWay;
    std::vector<ServiceDeclaration> many;
    for (std::size_t i = 0; i <= bound; ++i) {
        many.push_back(declared("s" + std::to_string(i), {"i.F" + std::to_string(i)}));
    }
    declarations.replace(many, {});
    for (std::size_t i = 0; i < bound; ++i) {
        EXPECT_EQ(declarations.start("i.F" + std::to_string(i))->state, Starting);
    }
    const std::string last = "i.F" + std::to_string(bound);
    const DeclaredServices::Answer refused = *declarations.start(last);
    EXPECT_EQ(refused.state, Failed);
    EXPECT_NE(refused.reason.find("starts are under way"), std::string::npos) << refused.reason;
    PeerCredentials asker;
    asker.pid = 4242;
    StatusOf(declarations).start(asker, last);
    EXPECT_EQ(log.holding("pid 4242"), 1u);
    EXPECT_EQ(log.holding("starts are under way"), 1u);
    declarations.exited(starter.lastPid, endedWith(CLD_EXITED, 1));
    EXPECT_EQ(declarations.start(last)->state, Starting);
}

TEST(DeclaredServices, ManyAskersAtOnceMakeOneStart) {
    Services services;
    std::vector<std::thread> askers;
    std::vector<DeclaredState> answers(100);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        askers.emplace_back([&, i] { answers[i] = services.declarations.start(kIfc)->state; });
    }
    for (std::thread& asker : askers) asker.join();
    EXPECT_EQ(services.starter.starts["camera"], 1);
    EXPECT_EQ(std::count(answers.begin(), answers.end(), Starting), 100);
    EXPECT_EQ(services.changes, 1) << "the table is told of each change, once";
}

// Each failure is logged once, naming the service and why; the lookups refused meanwhile are not.
TEST(DeclaredServices, TheBackOffDoublesTo60SecondsAndARegistrationResetsIt) {
    LogCapture log;
    Services services;
    services.lookup();
    services.exitsOne();
    const int backOffs[] = {1, 2, 4, 8, 16, 32, 60, 60};
    for (int expected : backOffs) {
        SCOPED_TRACE("back-off of " + std::to_string(expected) + " s");
        services.now += std::chrono::seconds(expected) - 1ms;
        EXPECT_EQ(services.declarations.start(kIfc)->state, Failed);
        services.now += 1ms;
        EXPECT_EQ(services.declarations.start(kIfc)->state, Starting);
        services.exitsOne();
    }
    services.now += 60s;
    services.lookup();
    services.registers();  // its own registration ends the back-off
    services.deregistered();
    services.exitsOne();
    services.lookup();
    services.exitsOne();
    services.now += 1s;
    EXPECT_EQ(services.declarations.start(kIfc)->state, Starting);
    EXPECT_EQ(log.holding("Declared service 'camera' failed: could not start: exit 1"),
              std::size(backOffs) + 2);
}

TEST(DeclaredServices, AReloadPutsTheNewDeclarationsInForce) {
    Services services;
    services.lookup();
    services.timesOut();
    EXPECT_EQ(services.starter.stopped, std::vector<pid_t>{services.starter.lastPid});
    services.entries.push_back(ServiceRecord("z.New", 3, "fresh"));
    services.declarations.replace({declared("camera", {kIfc}), declared("fresh", {"z.New"})},
                                  services.entries);
    EXPECT_FALSE(services.declarations.start("x.Y").has_value()) << "'other' is no more";
    EXPECT_FALSE(services.declarations.isDeclared("com.example.Focus"));
    EXPECT_TRUE(services.declarations.isDeclared("z.New"));
    using Interfaces = std::vector<std::pair<std::string, DeclaredState>>;
    EXPECT_EQ(services.declarations.interfaces(), (Interfaces{{kIfc, Failed}, {"z.New", Running}}));
}

// Anyone who may connect may start a declared service, as they may look up what it offers (the
// daemon's tests start them so); a caller of another device has no say in what runs here, and
// is refused, named.
TEST(DeclaredServices, ACallerOfAnotherDeviceMayNotStartOne) {
    Services services;
    PeerCredentials remote;
    remote.device = "B";
    remote.user = "alice";
    const std::string refused = StatusOf(services.declarations).start(remote, kIfc);
    EXPECT_EQ(refused.rfind("a caller of another device (user alice of device B)", 0), 0u)
        << refused;
    EXPECT_EQ(services.starter.starts["camera"], 0);
}

// A declared interface is its service's: root, the daemon's user and the user it runs as may
// register it, at any channel; another user, or a caller of another device, is refused, named,
// whatever the policy lets them, and their entry neither answers its lookups nor keeps it Idle.
TEST(DeclaredServices, OnlyItsUserRegistersADeclaredInterface) {
    PipelineUnderTest served;
    served.gate.replacePolicy(policyOf("allow group:users all\nallow device:B all\n"));
    Services services;
    ServiceDeclaration camera = declared("camera", {kIfc});
    camera.user = "nobody";
    services.declarations.replace({camera}, {});
    served.registry->addListener(&services.declarations);
    const auto member = [](uid_t uid) {
        PeerCredentials peer;
        peer.pid = 42;
        peer.uid = uid;
        peer.groups = {kUsers};
        return peer;
    };
    PeerCredentials remote = member(uidOfUser("nobody"));
    remote.user = "nobody";
    remote.device = "B";
    const std::string refusal =
        "interface 'com.example.Camera' belongs to declared service "
        "'camera', which runs as user 'nobody'";
    const struct {
        PeerCredentials who;
        const char* text;
        std::string refusal;
    } steps[] = {
        {member(1001), "reg:com.example.Camera,camera", refusal},
        {member(1001), "reg:x.Mine com.example.Camera,mine", refusal},
        {remote, "reg:com.example.Camera,camera", refusal},
        // A creator of its proxy would run in every client that makes one.
        {member(1001), "reg_proxy:/tmp/evil.so,make,com.example.Camera,binary", refusal},
        {member(1001), "reg_invoker:/tmp/evil.so,make,com.example.Camera,binary", refusal},
        {member(1001), "reg:x.Mine,mine", ""},
        {member(uidOfUser("nobody")), "reg_proxy:/lib/cam.so,make,com.example.Camera,binary", ""},
        {member(uidOfUser("nobody")), "reg:com.example.Camera,elsewhere", ""},
        {member(0), "reg:com.example.Camera,camera", ""},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.text);
        EXPECT_EQ(services.camera().state, Idle);
        EXPECT_EQ(served.ask(step.who, step.text), step.refusal);
    }
    EXPECT_EQ(services.camera().state, Running);

    // Entries made before the declaration: a member's goes, but where the service's user has
    // the interface at the same channel too.
    const std::vector<ServiceRecord> before = {
        {kIfc, 1, "camera"}, {kIfc, 2, "mine"}, {kIfc, 3, "camera"}, {"x.Mine", 4, "mine"}};
    const std::map<ServiceId, uid_t> owners = {
        {1, 1001}, {2, 1001}, {3, uidOfUser("nobody")}, {4, 1001}};
    const auto usurped =
        services.declarations.usurped(before, [&](ServiceId id) { return owners.at(id); });
    ASSERT_EQ(usurped.size(), 1u);
    EXPECT_EQ(usurped[0].entry.svcId, 2);
    EXPECT_EQ(usurped[0].owner, 1001u);
    EXPECT_EQ(usurped[0].why, refusal);
}

}  // namespace
