#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "LogCapture.h"
#include "RecordingObserver.h"
#include "ScriptedProxyRequest.h"
#include "ServiceRegistryProxy.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

Method replyWithResult(const std::string& name, bool result) {
    Method reply(name, Method::REPLY);
    reply.addBoolParameter("result", result, Parameter::OUT);
    return reply;
}

class RegistryProxy : public ::testing::Test {
protected:
    RegistryProxy() { proxy->initProxy(request); }

    ServiceRegistryIfc& registry() { return dynamic_cast<ServiceRegistryIfc&>(*proxy); }

    ScriptedProxyRequest request;
    std::unique_ptr<Proxy> proxy{createServiceRegistryProxy()};
};

}  // namespace

TEST_F(RegistryProxy, CarriedOperationsSendTheirRequestAndAnswerItsResult) {
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

TEST_F(RegistryProxy, TheFiveLookupsAreNotCarriedAndLeaveTheirArgumentsAlone) {
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
TEST_F(RegistryProxy, SubscriptionsOfNoExecutableAreRefusedUnsentAndNoChannelIsNoneSent) {
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
