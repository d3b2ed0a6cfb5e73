#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "BinaryCodec.h"
#include "CountingResponse.h"
#include "LogCapture.h"
#include "LoopbackFramework.h"
#include "MethodText.h"
#include "RecordingObserver.h"
#include "RegistryViews.h"
#include "ServiceRegistry.h"
#include "ServiceRegistryInvoker.h"

using ::testing::IsEmpty;

namespace {

Method request(const std::string& name,
               std::initializer_list<std::pair<std::string, std::string>> inputs) {
    Method method(name, Method::REQUEST);
    for (const auto& [parameter, value] : inputs)
        method.addStringParameter(parameter, value, Parameter::IN);
    return method;
}

// The sample entries, served by an initialised invoker.
class RegistryInvoker : public ::testing::Test {
protected:
    RegistryInvoker() {
        addSampleEntries(registry);
        invoker->initInvoker(&framework);
    }

    // Hands bytes to the invoker as the framework would and returns the decoded reply, if any.
    std::optional<Method> call(const std::string& bytes, Executable* executable,
                               const std::string& protocol = BinaryProtocolAdapter::kProtocolName,
                               const std::string& remoteContext = "") {
        log = ResponseLog();
        invoker->handleMessage(executable, bytes.data(), static_cast<int>(bytes.size()),
                               new CountingResponse(log, protocol, remoteContext));
        EXPECT_EQ(log.deletions, 1);
        if (log.replies == 0) return std::nullopt;
        Method reply;
        EXPECT_TRUE(decode(log.reply, reply));
        return reply;
    }

    std::string answer(Method method, const std::string& remoteContext = "") {
        auto reply =
            call(encode(method), &registry, BinaryProtocolAdapter::kProtocolName, remoteContext);
        return reply ? describe(*reply) : "no reply";
    }

    LoopbackFramework framework;
    ServiceRegistry registry;
    std::unique_ptr<Invoker> invoker{createServiceRegistryInvoker()};
    ResponseLog log;
};

}  // namespace

// What the changes and the lookups that find something give and answer is the daemon's client's
// (RegistryClient.LookupsOverTextCommandsGiveWholeNamesOrFail calls them through this invoker);
// these are the parameters of each answer in order, and what misses and incomplete requests get.
TEST_F(RegistryInvoker, EachCatalogueMethodAnswersItsParametersInOrder) {
    const std::vector<std::pair<Method, std::string>> cases = {
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
    };
    for (const auto& [method, expected] : cases) {
        SCOPED_TRACE(describe(method));
        EXPECT_EQ(answer(method), expected);
    }
    // None of the incomplete requests reached the registry.
    EXPECT_EQ(registry.getSvcDetailsList().size(), 3u);
    EXPECT_EQ(proxyOf(registry, "I"), "none");
    EXPECT_EQ(invokerOf(registry, "I", ""), "none");
}

TEST_F(RegistryInvoker, OnlyTheNameDecidesAndOnlyInputParametersCount) {
    Method asReply("findSvcInterface", Method::REPLY);
    asReply.addStringParameter("ifc", "B", Parameter::IN);
    EXPECT_EQ(answer(asReply), "findSvcInterface reply channel:out='d' result:out=true");

    Method outputOnly("findSvcInterface", Method::REQUEST);
    outputOnly.addStringParameter("ifc", "B", Parameter::OUT);
    EXPECT_EQ(answer(outputOnly), "findSvcInterface reply channel:out='' result:out=false");

    LogCapture capture(2);
    for (const char* name : {"findsvcinterface", "FindSvcInterface", "findSvcInterface ", ""}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(answer(request(name, {{"ifc", "B"}})), "no reply");
    }
    EXPECT_EQ(capture.lines().size(), 4u) << "each one a failure, logged";
}

TEST_F(RegistryInvoker, EveryFailureDeletesTheResponseOnceAndSendsNothing) {
    LogCapture capture(2);
    const std::string valid = encode(request("findSvcInterface", {{"ifc", "A"}}));
    ExecutableObserver notARegistry;

    EXPECT_FALSE(call(valid, nullptr));
    EXPECT_FALSE(call(valid, &notARegistry));
    EXPECT_EQ(capture.lines().size(), 2u) << "each one a failure, logged";
    capture.clear();

    EXPECT_FALSE(call(valid, &registry, "no-such-protocol"));
    EXPECT_FALSE(call(valid.substr(0, valid.size() - 1), &registry));
    EXPECT_FALSE(call("", &registry));
    EXPECT_THAT(capture.lines(), IsEmpty());

    std::unique_ptr<Invoker> uninitialised(createServiceRegistryInvoker());
    log = ResponseLog();
    uninitialised->handleMessage(&registry, valid.data(), static_cast<int>(valid.size()),
                                 new CountingResponse(log));
    EXPECT_EQ(log.deletions, 1);
    EXPECT_EQ(log.replies, 0);
    uninitialised->handleMessage(&registry, valid.data(), static_cast<int>(valid.size()), nullptr);

    ASSERT_TRUE(call(valid, &registry));  // the way through
    EXPECT_EQ(log.replies, 1);
}

TEST_F(RegistryInvoker, SubscriptionWithoutAnObserverProxyAnswersFalse) {
    LogCapture capture(2);
    // Nothing is bound to "nowhere", so the framework has no observer proxy for it.
    EXPECT_EQ(answer(request("subscribeStartupEvents", {}), "nowhere"),
              "subscribeStartupEvents reply result:out=false");
    EXPECT_EQ(answer(request("unsubscribeStartupEvents", {}), "nowhere"),
              "unsubscribeStartupEvents reply result:out=false");
    // Nothing was subscribed in its place: a registration notifies no one.
    EXPECT_TRUE(registry.registerSvcInterface("C", "c"));
    EXPECT_THAT(capture.lines(), IsEmpty());
}
