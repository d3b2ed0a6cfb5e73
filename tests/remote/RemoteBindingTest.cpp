// The remote binding of the registry: its proxy and its invoker, the observer's proxy and invoker,
// and the roads through them in one process. Proxies send over a request channel that records
// what they send; invokers get calls as the framework hands them over, through an adapter that
// spoils every stream it has used, so that each call shows it coded on streams that behave as new.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <locale>
#include <memory>
#include <sstream>

#include "AdapterOnlyFramework.h"
#include "BinaryCodec.h"
#include "CountingResponse.h"
#include "LogCapture.h"
#include "LoopbackFramework.h"
#include "LoopbackProxyRequest.h"
#include "ProxyRequest.h"
#include "RecordingObserver.h"
#include "RegistryViews.h"
#include "ServiceRegistry.h"
#include "ServiceRegistryInvoker.h"
#include "ServiceRegistryObserverInvoker.h"
#include "ServiceRegistryObserverProxy.h"
#include "ServiceRegistryProxy.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

const std::string kBinary = BinaryProtocolAdapter::kProtocolName;

// A Method as one line, for readable expectations:
// "findSvcInterface reply channel:out='c' result:out=true".
std::string describe(const Method& method) {
    std::string text =
        method.getName() + (method.getType() == Method::REPLY ? " reply" : " request");
    for (const Parameter& p : method.getParameters()) {
        text += " " + p.getName() + (p.getDirection() == Parameter::OUT ? ":out=" : ":in=");
        text += p.getType() == Parameter::BOOL ? (p.getBoolValue() ? "true" : "false")
                                               : "'" + p.getStringValue() + "'";
    }
    return text;
}

// A request channel that records what proxies send through it and answers every request with
// a reply set beforehand. It is also its own callback channel resolver (a base constructed
// before ProxyRequest, so the pointer handed to it is valid), giving no channel.
class ScriptedProxyRequest final : public CallbackChannelResolver, public ProxyRequest {
public:
    ScriptedProxyRequest() : ProxyRequest(this) {}

    bool sendRequest(Method& request, Method& reply) override {
        sent.push_back("sendRequest " + describe(request));
        reply = nextReply;
        return true;
    }
    bool sendRequestWithCallback(Method& request, Method& reply,
                                 const std::string& callbackChannel) override {
        sent.push_back("sendRequestWithCallback(" + callbackChannel + ") " + describe(request));
        reply = nextReply;
        return true;
    }
    bool sendOneWay(Method& request) override {
        sent.push_back("sendOneWay " + describe(request));
        return true;
    }
    std::string getCallbackChannel(Executable*) override { return std::string(); }

    Method nextReply;  // what every request is answered with
    std::vector<std::string> sent;
};

Method request(const std::string& name,
               std::initializer_list<std::pair<std::string, std::string>> parameters,
               Method::methodTypes type = Method::REQUEST,
               Parameter::directions direction = Parameter::IN) {
    Method method(name, type);
    for (const auto& [parameter, value] : parameters)
        method.addStringParameter(parameter, value, direction);
    return method;
}

Method replyWithResult(const std::string& name, bool result) {
    Method reply(name, Method::REPLY);
    reply.addBoolParameter("result", result, Parameter::OUT);
    return reply;
}

const int kUserWord = std::ios_base::xalloc();

// Everything of a stream's state that a new stream has and an adapter might change.
bool looksNew(std::stringstream& stream) {
    const std::stringstream reference(std::ios::in | std::ios::out);
    return stream.flags() == reference.flags() && stream.fill() == reference.fill() &&
           stream.precision() == reference.precision() && stream.width() == reference.width() &&
           stream.exceptions() == reference.exceptions() && stream.tie() == reference.tie() &&
           stream.getloc() == reference.getloc() && stream.iword(kUserWord) == 0 &&
           stream.pword(kUserWord) == nullptr && stream.std::ios::rdbuf() == stream.rdbuf();
}

// Changes every piece of state that looksNew checks, without touching the bytes.
void spoil(std::stringstream& stream) {
    static std::stringbuf elsewhere;
    stream.setf(std::ios::hex | std::ios::uppercase | std::ios::showbase, std::ios::basefield);
    stream.fill('*');
    stream.precision(2);
    stream.width(9);
    stream.tie(&std::cout);
    stream.imbue(std::locale(std::locale::classic(), new std::numpunct<char>()));
    stream.iword(kUserWord) = 42;
    stream.pword(kUserWord) = &stream;
    stream.exceptions(std::ios::badbit);
    stream.std::ios::rdbuf(&elsewhere);
}

// The binary adapter, refusing to work on a stream that does not look new and spoiling every
// stream it has worked on: the way an adapter that reads a hex field would leave one.
class SpoilingAdapter final : public ProtocolAdapter {
public:
    void encode(Method& method, std::stringstream& out) override {
        if (!looksNew(out)) ++usedStreams;
        inner.encode(method, out);
        spoil(out);
    }
    bool decode(std::stringstream& in, Method& method) override {
        if (!looksNew(in)) {
            ++usedStreams;
            return false;
        }
        const bool decoded = inner.decode(in, method);
        spoil(in);
        return decoded;
    }

    int usedStreams = 0;

private:
    BinaryProtocolAdapter inner;
};

// Both invokers, initialised on a framework whose binary adapter spoils every stream it used, and
// the sample entries: no call may find a stream another left spoiled.
class Invokers : public ::testing::Test {
protected:
    Invokers() {
        addSampleEntries(registry);
        registryInvoker->initInvoker(&framework);
        observerInvoker->initInvoker(&framework);
    }
    void TearDown() override { EXPECT_EQ(adapter.usedStreams, 0); }

    // Hands bytes to the registry invoker as the framework would; the reply as a line, or "no
    // reply".
    std::string call(const std::string& bytes, Executable* executable,
                     const std::string& protocol = kBinary, const std::string& context = "") {
        log = ResponseLog();
        handOver(*registryInvoker, executable, bytes, log, protocol, context);
        EXPECT_EQ(log.deletions, 1);
        Method reply;
        if (log.replies == 0) return "no reply";
        EXPECT_TRUE(decode(log.reply, reply));
        return describe(reply);
    }

    SpoilingAdapter adapter;
    AdapterOnlyFramework framework{adapter};
    ServiceRegistry registry;
    std::unique_ptr<Invoker> registryInvoker{createServiceRegistryInvoker()};
    std::unique_ptr<Invoker> observerInvoker{createServiceRegistryObserverInvoker()};
    ResponseLog log;
};

// The registry's proxy and the observer's, sending over one request channel.
class Proxies : public ::testing::Test {
protected:
    Proxies() {
        proxy->initProxy(request);
        observerProxy->initProxy(request);
    }

    ServiceRegistryIfc& registry() { return dynamic_cast<ServiceRegistryIfc&>(*proxy); }

    ScriptedProxyRequest request;
    std::unique_ptr<Proxy> proxy{createServiceRegistryProxy()};
    std::unique_ptr<Proxy> observerProxy{createServiceRegistryObserverProxy()};
};

}  // namespace

// What the changes and the lookups that find something give and answer is the daemon's client's
// (RegistryClient.LookupsOverTextCommandsGiveWholeNamesOrFail calls them through this invoker);
// these are the parameters of each answer in order, what misses and incomplete requests get,
// that only the name (matched whole) and the input parameters count, and that a subscription
// without an observer proxy for its caller's channel is refused. Only a request left without a
// reply is a failure, logged.
TEST_F(Invokers, RegistryAnswersEachMethodByNameAndInputsAndNoSubscriptionWithoutAProxy) {
    struct Case {
        Method method;
        std::string expected;
        std::string context = "";
    };
    const std::string noReply = "no reply";
    const std::vector<Case> cases = {
        {request("findSvcsForIfc", {{"ifc", "Z"}}), "findSvcsForIfc reply channels:out=''"},
        {request("findSvcsForIfc", {}), "findSvcsForIfc reply channels:out=''"},
        {request("findSvcInterface", {{"ifc", "Z"}}),
         "findSvcInterface reply channel:out='' result:out=false"},
        {request("findInvoker", {{"ifc", "IfcX"}}),
         "findInvoker reply result:out=false library:out='' creatorFn:out=''"},
        {request("findProxy", {{"ifc", "IfcX"}, {"protocol", "ignored"}}),
         "findProxy reply result:out=true library:out='libP' creatorFn:out='createP'"},
        {request("getSvcDetailsList", {}),
         "getSvcDetailsList reply svcDetailsList:out='(A,1,c),(A,2,c2),(B,3,d)'"},
        {request("registerSvcInterface", {{"ifc", "A"}}),
         "registerSvcInterface reply result:out=false"},
        {request("registerProxyInfo", {{"lib", "l"}, {"creatorFn", "f"}, {"ifc", "I"}}),
         "registerProxyInfo reply result:out=false"},
        {request("registerInvokerInfo", {{"lib", "l"}, {"creatorFn", "f"}, {"ifc", "I"}}),
         "registerInvokerInfo reply result:out=false"},
        {request("deregisterSvcInterfaces", {{"chanName", "d"}}),
         "deregisterSvcInterfaces reply result:out=false"},
        {request("findSvcInterface", {{"ifc", "B"}}, Method::REPLY),
         "findSvcInterface reply channel:out='d' result:out=true"},
        {request("findSvcInterface", {{"ifc", "B"}}, Method::REQUEST, Parameter::OUT),
         "findSvcInterface reply channel:out='' result:out=false"},
        {request("findsvcinterface", {{"ifc", "B"}}), noReply},
        {request("FindSvcInterface", {{"ifc", "B"}}), noReply},
        {request("findSvcInterface ", {{"ifc", "B"}}), noReply},
        {request("", {{"ifc", "B"}}), noReply},
        // Nothing is bound to "nowhere", so the framework has no observer proxy for it.
        {request("subscribeStartupEvents", {}), "subscribeStartupEvents reply result:out=false",
         "nowhere"},
        {request("unsubscribeStartupEvents", {}), "unsubscribeStartupEvents reply result:out=false",
         "nowhere"},
    };
    LogCapture capture(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.method));
        capture.clear();
        EXPECT_EQ(call(encode(c.method), &registry, kBinary, c.context), c.expected);
        EXPECT_EQ(capture.lines().size(), c.expected == noReply ? 1u : 0u);
    }
    // None of the incomplete requests reached the registry, and nothing was subscribed in the
    // place of the refused subscription: a registration notifies no one.
    EXPECT_EQ(registry.getSvcDetailsList().size(), 3u);
    std::string lib, creatorFn;
    EXPECT_FALSE(registry.findProxy("I", lib, creatorFn));
    EXPECT_FALSE(registry.findInvoker("I", "", lib, creatorFn));
    capture.clear();
    EXPECT_TRUE(registry.registerSvcInterface("C", "c"));
    EXPECT_THAT(capture.lines(), IsEmpty());
}

TEST_F(Invokers, EveryRegistryFailureDeletesTheResponseOnceAndSendsNothing) {
    LogCapture capture(2);
    const std::string valid = encode(request("findSvcInterface", {{"ifc", "A"}}));
    ExecutableObserver notARegistry;

    EXPECT_EQ(call(valid, nullptr), "no reply");
    EXPECT_EQ(call(valid, &notARegistry), "no reply");
    EXPECT_EQ(capture.lines().size(), 2u) << "each one a failure, logged";
    capture.clear();

    EXPECT_EQ(call(valid, &registry, "no-such-protocol"), "no reply");
    EXPECT_EQ(call(valid.substr(0, valid.size() - 1), &registry), "no reply");
    EXPECT_EQ(call("", &registry), "no reply");
    EXPECT_THAT(capture.lines(), IsEmpty());

    std::unique_ptr<Invoker> uninitialised(createServiceRegistryInvoker());
    log = ResponseLog();
    handOver(*uninitialised, &registry, valid, log);
    EXPECT_EQ(log.deletions, 1);
    EXPECT_EQ(log.replies, 0);
    uninitialised->handleMessage(&registry, valid.data(), static_cast<int>(valid.size()), nullptr);

    EXPECT_EQ(call(valid, &registry), "findSvcInterface reply channel:out='c' result:out=true");
}

// Which bytes reach the observer is the observer invoker fuzzer's oracle; these are the
// executable, the protocol, no bytes at all and what is logged.
TEST_F(Invokers, ObserverIsCalledOnlyForAWellFormedNotification) {
    LogCapture capture(2);
    const std::string notify = "newServiceIfcRegistered";
    const std::string valid = encode(request(notify, {{"interface", "Ifc"}}));
    const std::string otherMethod = encode(request("registerSvcInterface", {{"interface", "Ifc"}}));
    const std::string asOutput =
        encode(request(notify, {{"interface", "Ifc"}}, Method::REQUEST, Parameter::OUT));
    struct Case {
        std::string what;
        bool toObserver;  // else to a null executable
        std::string bytes;
        std::string protocol;
        std::vector<std::string> heard;
        std::size_t failuresLogged;
    };
    const std::vector<Case> cases = {
        {"valid", true, valid, kBinary, {"Ifc"}, 0},
        {"null executable", false, valid, "other", {}, 1},
        {"unknown protocol", true, valid, "other", {}, 1},
        {"undecodable", true, valid + "x", kBinary, {}, 1},
        {"other method", true, otherMethod, kBinary, {}, 1},
        {"interface as output", true, asOutput, kBinary, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExecutableObserver observer;
        log = ResponseLog();
        capture.clear();
        handOver(*observerInvoker, c.toObserver ? &observer : nullptr, c.bytes, log, c.protocol);
        EXPECT_THAT(observer.names(), ElementsAreArray(c.heard));
        EXPECT_EQ(capture.lines().size(), c.failuresLogged);
        EXPECT_EQ(log.deletions, 1);
        EXPECT_EQ(log.replies, 0);
    }
    ExecutableObserver observer;
    log = ResponseLog();
    observerInvoker->handleMessage(&observer, nullptr, -1, new CountingResponse(log, kBinary));
    EXPECT_THAT(observer.names(), IsEmpty()) << "no bytes: nothing to decode";
    EXPECT_EQ(log.deletions, 1);
}

TEST_F(Proxies, RegistryCarriesItsChangesAndAnswersTheirResult) {
    struct Case {
        std::function<bool(ServiceRegistryIfc&)> operation;
        std::string sent;
    };
    const std::vector<Case> cases = {
        {[](ServiceRegistryIfc& r) { return r.registerSvcInterface("A B", "ch"); },
         "sendRequest registerSvcInterface request ifc:in='A B' chanName:in='ch'"},
        {[](ServiceRegistryIfc& r) { return r.registerSvcInterface("", ""); },
         "sendRequest registerSvcInterface request ifc:in='' chanName:in=''"},
        {[](ServiceRegistryIfc& r) { return r.deregisterSvcInterfaces("A", "ch"); },
         "sendRequest deregisterSvcInterfaces request ifc:in='A' chanName:in='ch'"},
        {[](ServiceRegistryIfc& r) { return r.registerProxyInfo("l", "f", "i", "p"); },
         "sendRequest registerProxyInfo request lib:in='l' creatorFn:in='f' ifc:in='i' "
         "protocol:in='p'"},
        {[](ServiceRegistryIfc& r) { return r.registerInvokerInfo("l", "f", "i", "p"); },
         "sendRequest registerInvokerInfo request lib:in='l' creatorFn:in='f' ifc:in='i' "
         "protocol:in='p'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        request.sent.clear();
        request.nextReply = replyWithResult("any", true);
        EXPECT_TRUE(c.operation(registry()));
        EXPECT_THAT(request.sent, ElementsAre(c.sent));

        request.nextReply = replyWithResult("any", false);
        EXPECT_FALSE(c.operation(registry()));
        request.nextReply = Method();  // no answer: no "result"
        EXPECT_FALSE(c.operation(registry()));
    }
}

TEST_F(Proxies, RegistryCarriesNoLookupAndLeavesTheirArgumentsAlone) {
    std::string channel = "kept", lib = "kept", creatorFn = "kept";
    EXPECT_THAT(registry().findSvcsForIfc("A"), IsEmpty());
    EXPECT_FALSE(registry().findSvcInterface("A", channel));
    EXPECT_FALSE(registry().findInvoker("A", "p", lib, creatorFn));
    EXPECT_FALSE(registry().findProxy("A", lib, creatorFn));
    EXPECT_THAT(registry().getSvcDetailsList(), IsEmpty());
    EXPECT_EQ(channel + lib + creatorFn, "keptkeptkept");
    EXPECT_THAT(request.sent, IsEmpty());
}

// An observer that is not an Executable has no callback channel to give: refused unsent. That a
// subscription travels on its observer's callback channel, and an unsubscription removes that
// very observer, is RemoteRoads'.
TEST_F(Proxies, RegistryRefusesSubscriptionsOfNoExecutableUnsentAndSendsNoChannelForNone) {
    ExecutableObserver observer;
    RecordingObserver plain;
    request.nextReply = replyWithResult("subscribeStartupEvents", true);
    LogCapture capture(2);
    EXPECT_FALSE(registry().subscribeStartupEvents(&plain));
    EXPECT_FALSE(registry().unsubscribeStartupEvents(nullptr));
    EXPECT_EQ(capture.lines().size(), 2u) << "each refusal is a failure, logged";
    EXPECT_THAT(request.sent, IsEmpty());

    // Without a callback channel the request goes out without one.
    EXPECT_TRUE(registry().subscribeStartupEvents(&observer));
    EXPECT_THAT(request.sent, ElementsAre("sendRequest subscribeStartupEvents request"));
}

TEST_F(Proxies, ObserverSendsEachNotificationAsOneOneWayRequestWithTheNameUnchanged) {
    auto& observer = dynamic_cast<ServiceRegistryObserverIfc&>(*observerProxy);
    observer.newServiceIfcRegistered("A");
    observer.newServiceIfcRegistered("");
    EXPECT_THAT(request.sent,
                ElementsAre("sendOneWay newServiceIfcRegistered request interface:in='A'",
                            "sendOneWay newServiceIfcRegistered request interface:in=''"));
}

// Through the whole road: a subscription is answered after its replay, later registrations
// reach the subscriber, and an unsubscription removes that very observer and no other.
TEST(RemoteRoads, SubscriptionsReplayBeforeTheirReplyAndEndForTheirObserverOnly) {
    // Declared in destruction order backwards: the registry, which holds observer proxies, goes
    // before the framework that owns them.
    LoopbackFramework framework;
    ServiceRegistry registry;
    std::unique_ptr<Invoker> registryInvoker(createServiceRegistryInvoker());
    std::unique_ptr<Invoker> observerInvoker(createServiceRegistryObserverInvoker());
    registryInvoker->initInvoker(&framework);
    observerInvoker->initInvoker(&framework);
    framework.bind("registry", *registryInvoker, registry);
    // The client's view of the registry: a proxy of its own, bound to the registry's channel.
    LoopbackProxyRequest toRegistry(framework, "registry");
    std::unique_ptr<Proxy> proxy(createServiceRegistryProxy());
    proxy->initProxy(toRegistry);
    auto& client = dynamic_cast<ServiceRegistryIfc&>(*proxy);

    registry.registerSvcInterface("A B", "chanA");
    std::vector<std::string> journal;
    ExecutableObserver one("one", &journal), two("two", &journal);
    // Calls on these channels reach the observers through the observer invoker.
    framework.bind("one.cb", *observerInvoker, one);
    framework.bind("two.cb", *observerInvoker, two);

    EXPECT_TRUE(client.subscribeStartupEvents(&one));
    journal.push_back("answered");
    EXPECT_TRUE(client.subscribeStartupEvents(&two));
    EXPECT_TRUE(client.unsubscribeStartupEvents(&one));
    EXPECT_TRUE(client.registerSvcInterface("C", "chanC"));
    EXPECT_THAT(journal, ElementsAre("one:A", "one:B", "answered", "two:A", "two:B", "two:C"));
}
