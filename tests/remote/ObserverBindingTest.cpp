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
    observer.newServiceIfcRegistered("A");
    observer.newServiceIfcRegistered("");
    EXPECT_THAT(request.sent,
                ElementsAre("sendOneWay newServiceIfcRegistered request interface:in='A'",
                            "sendOneWay newServiceIfcRegistered request interface:in=''"));
}

// Which bytes reach the observer is the observer invoker fuzzer's oracle; these are the
// executable, the protocol and what is logged.
TEST(ObserverInvoker, CallsTheObserverOnlyForAWellFormedNotification) {
    LoopbackFramework framework;
    std::unique_ptr<Invoker> invoker(createServiceRegistryObserverInvoker());
    invoker->initInvoker(&framework);
    LogCapture capture(2);

    const std::string binary = BinaryProtocolAdapter::kProtocolName;
    const std::string valid = encode(notification("newServiceIfcRegistered", "interface"));
    const std::string asOutput =
        encode(notification("newServiceIfcRegistered", "interface", Parameter::OUT));
    struct Case {
        std::string what;
        bool toObserver;  // else to a null executable
        std::string bytes;
        std::string protocol;
        std::vector<std::string> heard;
        std::size_t failuresLogged;
    };
    const std::vector<Case> cases = {
        {"valid", true, valid, binary, {"Ifc"}, 0},
        {"null executable", false, valid, "other", {}, 1},
        {"unknown protocol", true, valid, "other", {}, 1},
        {"undecodable", true, valid + "x", binary, {}, 1},
        {"other method",
         true,
         encode(notification("registerSvcInterface", "interface")),
         binary,
         {},
         1},
        {"interface as output", true, asOutput, binary, {}, 0},
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
        EXPECT_EQ(capture.lines().size(), c.failuresLogged);
        EXPECT_EQ(log.deletions, 1);
        EXPECT_EQ(log.replies, 0);
    }
}
