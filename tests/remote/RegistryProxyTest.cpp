#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "LogCapture.h"
#include "RecordingObserver.h"
#include "ScriptedProxyRequest.h"
#include "ServiceRegistryObserverProxy.h"
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

TEST_F(RegistryProxy, CarriedOperationsSendTheirRequestAndLogAtLevelSix) {
    struct Case {
        std::function<bool(ServiceRegistryIfc&)> operation;
        std::string sent;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {[](ServiceRegistryIfc& r) { return r.registerSvcInterface("A B", "ch"); },
         "sendRequest registerSvcInterface request ifc:in='A B' chanName:in='ch'",
         "ServiceRegistryProxy::registerSvcInterface( ifc:'A B', channelName:'ch'"},
        {[](ServiceRegistryIfc& r) { return r.registerSvcInterface("", ""); },
         "sendRequest registerSvcInterface request ifc:in='' chanName:in=''",
         "ServiceRegistryProxy::registerSvcInterface( ifc:'', channelName:''"},
        {[](ServiceRegistryIfc& r) { return r.deregisterSvcInterfaces("A", "ch"); },
         "sendRequest deregisterSvcInterfaces request ifc:in='A' chanName:in='ch'",
         "ServiceRegistryProxy::deregisterSvcInterface( ifc:'A', channelName:'ch'"},
        {[](ServiceRegistryIfc& r) { return r.registerProxyInfo("l", "f", "i", "p"); },
         "sendRequest registerProxyInfo request lib:in='l' creatorFn:in='f' ifc:in='i' "
         "protocol:in='p'",
         "ServiceRegistryProxy::registerProxyInfo( lib:'l', creatorFn:'f', ifc:'i', "
         "protocol:'p'"},
        {[](ServiceRegistryIfc& r) { return r.registerInvokerInfo("l", "f", "i", "p"); },
         "sendRequest registerInvokerInfo request lib:in='l' creatorFn:in='f' ifc:in='i' "
         "protocol:in='p'",
         "ServiceRegistryProxy::registerInvokerInfo( lib:'l', creatorFn:'f', ifc:'i', "
         "protocol:'p'"},
    };
    LogCapture capture(6);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        request.sent.clear();
        capture.clear();
        request.nextReply = replyWithResult("any", true);
        EXPECT_TRUE(c.operation(registry()));
        EXPECT_THAT(request.sent, ElementsAre(c.sent));
        EXPECT_THAT(capture.messages(), ElementsAre(c.logged));
        EXPECT_EQ(capture.lines()[0].level, 6);

        request.nextReply = replyWithResult("any", false);
        EXPECT_FALSE(c.operation(registry()));
        request.nextReply = Method();  // no answer: no "result"
        EXPECT_FALSE(c.operation(registry()));
    }
}

TEST_F(RegistryProxy, TheFiveLookupsAreNotCarriedAndLeaveTheirArgumentsAlone) {
    LogCapture capture(2);
    std::string channel = "kept", lib = "kept", creatorFn = "kept";
    EXPECT_THAT(registry().findSvcsForIfc("A"), IsEmpty());
    EXPECT_FALSE(registry().findSvcInterface("A", channel));
    EXPECT_FALSE(registry().findInvoker("A", "p", lib, creatorFn));
    EXPECT_FALSE(registry().findProxy("A", lib, creatorFn));
    EXPECT_THAT(registry().getSvcDetailsList(), IsEmpty());
    EXPECT_EQ(channel + lib + creatorFn, "keptkeptkept");
    EXPECT_THAT(request.sent, IsEmpty());
    EXPECT_THAT(capture.messages(),
                ElementsAre("ServiceRegistryProxy::findSvcsForIfc() not implemented",
                            "ServiceRegistryProxy::findSvcInterface() not implemented",
                            "ServiceRegistryProxy::findInvoker() not implemented",
                            "ServiceRegistryProxy::findProxy() not implemented",
                            "ServiceRegistryProxy::getSvcDetailsList() not implemented"));
}

TEST_F(RegistryProxy, SubscriptionsTravelOnTheObserversCallbackChannel) {
    ExecutableObserver observer;
    request.callbackChannel = "client.cb";
    request.nextReply = replyWithResult("subscribeStartupEvents", true);
    LogCapture capture(6);

    EXPECT_TRUE(registry().subscribeStartupEvents(&observer));
    EXPECT_TRUE(registry().unsubscribeStartupEvents(&observer));
    EXPECT_THAT(request.resolved, ElementsAre(&observer, &observer));
    EXPECT_THAT(request.sent,
                ElementsAre("sendRequestWithCallback(client.cb) subscribeStartupEvents request",
                            "sendRequestWithCallback(client.cb) unsubscribeStartupEvents request"));
    EXPECT_THAT(capture.messages(),
                ElementsAre("ServiceRegistryProxy::subscribeStartupEvents",
                            "subscribeStartupEvents: callback channel set: client.cb",
                            "ServiceRegistryProxy::unsubscribeStartupEvents",
                            "unsubscribeStartupEvents: callback channel set: client.cb"));

    // Without a callback channel the request goes out without one.
    request.callbackChannel.clear();
    request.sent.clear();
    EXPECT_TRUE(registry().subscribeStartupEvents(&observer));
    EXPECT_THAT(request.sent, ElementsAre("sendRequest subscribeStartupEvents request"));
}

TEST_F(RegistryProxy, AnObserverThatIsNotAnExecutableIsRefusedUnsent) {
    RecordingObserver plain;
    request.nextReply = replyWithResult("subscribeStartupEvents", true);
    LogCapture capture(2);
    EXPECT_FALSE(registry().subscribeStartupEvents(&plain));
    EXPECT_FALSE(registry().unsubscribeStartupEvents(nullptr));
    EXPECT_THAT(request.sent, IsEmpty());

    char pointer[32];
    std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(&plain));
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(capture.messages()[0], "ServiceRegistryProxy::subscribeMethodHelper( '" +
                                         std::string(pointer) +
                                         "', 'subscribeStartupEvents' ) observer was not an "
                                         "Executable*");
    EXPECT_EQ(capture.lines()[1].level, 2);
}
