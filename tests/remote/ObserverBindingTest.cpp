#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "BinaryCodec.h"
#include "CountingResponse.h"
#include "LogCapture.h"
#include "LoopbackFramework.h"
#include "RecordingObserver.h"
#include "ScriptedProxyRequest.h"
#include "ServiceRegistryObserverInvoker.h"
#include "ServiceRegistryObserverProxy.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

Method notification(const std::string& name, const std::string& parameter,
                    Parameter::directions direction = Parameter::IN) {
    Method method(name, Method::REQUEST);
    method.addStringParameter(parameter, "Ifc", direction);
    return method;
}

}  // namespace

TEST(ObserverProxy, EachNotificationIsOneOneWayRequestWithTheNameUnchanged) {
    ScriptedProxyRequest request;
    std::unique_ptr<Proxy> proxy(createServiceRegistryObserverProxy());
    proxy->initProxy(request);
    auto& observer = dynamic_cast<ServiceRegistryObserverIfc&>(*proxy);
    LogCapture capture(6);

    observer.newServiceIfcRegistered("A");
    observer.newServiceIfcRegistered("");
    EXPECT_THAT(request.sent,
                ElementsAre("sendOneWay newServiceIfcRegistered request interface:in='A'",
                            "sendOneWay newServiceIfcRegistered request interface:in=''"));
    EXPECT_THAT(capture.lines(), IsEmpty());
    proxy.reset();
    EXPECT_EQ(request.sent.size(), 2u);
}

TEST(ObserverInvoker, CallsTheObserverOnlyForAWellFormedNotification) {
    LoopbackFramework framework;
    std::unique_ptr<Invoker> invoker(createServiceRegistryObserverInvoker());
    invoker->initInvoker(&framework);
    LogCapture capture(2);

    const std::string binary = BinaryProtocolAdapter::kProtocolName;
    const std::string valid = encode(notification("newServiceIfcRegistered", "interface"));
    const std::string otherMethod = encode(notification("registerSvcInterface", "interface"));
    Method emptyName("newServiceIfcRegistered", Method::REPLY);
    emptyName.addStringParameter("other", "x", Parameter::IN);
    emptyName.addStringParameter("interface", "", Parameter::IN);
    struct Case {
        std::string what;
        bool toObserver;  // else to a null executable
        std::string bytes;
        std::string protocol;
        std::vector<std::string> heard;
        std::vector<std::string> logged;
    };
    const std::vector<Case> cases = {
        {"valid", true, valid, binary, {"Ifc"}, {}},
        {"empty name, reply type, extra parameter", true, encode(emptyName), binary, {""}, {}},
        {"null executable",
         false,
         valid,
         "other",
         {},
         {"Could not cast executable to ServiceRegistryObserverIfc."}},
        {"unknown protocol", true, valid, "other", {}, {"PA NULL or decode failure"}},
        {"undecodable", true, valid + "x", binary, {}, {"PA NULL or decode failure"}},
        {"other method",
         true,
         otherMethod,
         binary,
         {},
         {"Invalid Message, " + std::string(otherMethod.c_str())}},
        {"no interface",
         true,
         encode(notification("newServiceIfcRegistered", "ifc")),
         binary,
         {},
         {}},
        {"interface as output",
         true,
         encode(notification("newServiceIfcRegistered", "interface", Parameter::OUT)),
         binary,
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExecutableObserver observer;
        ResponseLog log;
        capture.clear();
        invoker->handleMessage(c.toObserver ? &observer : nullptr, c.bytes.data(),
                               static_cast<int>(c.bytes.size()),
                               new CountingResponse(log, c.protocol));
        EXPECT_THAT(observer.names(), ElementsAreArray(c.heard));
        EXPECT_THAT(capture.messages(), ElementsAreArray(c.logged));
        EXPECT_EQ(log.deletions, 1);
        EXPECT_EQ(log.replies, 0);
    }
}

TEST(ObserverInvoker, LogsInitialisationAndEachMessageWhenAsked) {
    LoopbackFramework framework;
    std::unique_ptr<Invoker> invoker(createServiceRegistryObserverInvoker());
    LogCapture capture(5);
    invoker->initInvoker(&framework);
    const std::string bytes = "text, and what lies beyond its length";
    ExecutableObserver observer;
    ResponseLog log;
    invoker->handleMessage(&observer, bytes.data(), 4, new CountingResponse(log));
    EXPECT_THAT(capture.messages(),
                ElementsAre("ServiceRegistryObserverInvoker initialised",
                            "handleMessage called: text", "PA NULL or decode failure"));
    EXPECT_EQ(capture.lines()[0].level, 4);
    EXPECT_EQ(capture.lines()[1].sourceFile, "./src/ServiceRegistryObserverInvoker.cpp");
}
