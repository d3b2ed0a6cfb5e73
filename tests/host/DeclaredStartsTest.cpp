// The client's side of declared services against a registry that shares no table: a fake that
// answers the status protocol's "start" and "is-declared", and the lookups' text commands, as
// each scripted service would have it.
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BinaryCodec.h"
#include "CommsChannelDataContainerMessage.h"
#include "InvokerResponse.h"
#include "Processes.h"
#include "RegistryStatusProtocol.h"
#include "RegistryTextProtocol.h"
#include "ServiceRegistry/HostFramework.h"
#include "ServiceRegistry/RegistryClient.h"

using namespace svcreg;
using ::testing::HasSubstr;

namespace {

namespace Wire = RegistryStatusProtocol;

// What a declared interface's service does once started.
enum class Service {
    Registers,  // registers at the second "start" asked of it (the client asks again to wait)
    Fails,      // fails at the second one: "could not start: exit 1"
    Hangs,      // never registers
};

// The registry, serving "svcreg" with no shared table. Every name it has not been given is
// neither declared nor registered.
class FakeRegistry final : public CallHandler, public MessageHandler {
public:
    explicit FakeRegistry(const std::string& folder, std::map<std::string, Service> declared)
        : declared(std::move(declared)), framework(optionsIn(folder)) {
        EXPECT_TRUE(framework.bindChannel("svcreg", static_cast<MessageHandler&>(*this)));
        framework.bindCallHandler("svcreg", Wire::kInterface, *this);
        EXPECT_TRUE(framework.start());
    }

    void handleCall(IncomingCall&, const char* data, int length,
                    std::unique_ptr<InvokerResponse> response) override {
        Method request;
        std::string ifc;
        decode(std::string(data, static_cast<std::size_t>(length)), request);
        request.getStringParameter(Wire::kInterfaceParameter, ifc, Parameter::IN);
        Method reply(request.getName(), Method::REPLY);
        std::lock_guard<std::mutex> hold(mutex);
        const auto service = declared.find(ifc);
        if (request.getName() == Wire::kIsDeclared) {
            reply.addBoolParameter(Wire::kDeclared, service != declared.end(), Parameter::OUT);
        } else if (request.getName() == Wire::kStart) {
            reply.addStringParameter(Wire::kState, start(ifc), Parameter::OUT);
            if (service != declared.end() && service->second == Service::Fails && starts[ifc] > 1)
                reply.addStringParameter(Wire::kReason, "could not start: exit 1", Parameter::OUT);
        }
        const std::string encoded = encode(reply);
        response->sendReply(encoded.data(), static_cast<int>(encoded.size()));
    }

    // find:IFC,REPLY, find_svc_id:IFC and getlist:IFC,REPLY, as the registry answers them.
    void handleMessage(IncomingCall&, const char* data, int length,
                       const std::string& sourceChannel, CommsChannelIfc& replies,
                       CommsChannelDataContainerMessage* message) override {
        const std::string text(data, static_cast<std::size_t>(length));
        const std::string word = text.substr(0, text.find(':'));
        const std::vector<std::string> arguments =
            RegistryText::splitAt(text.substr(word.size() + 1), ',');
        const std::string& ifc = arguments[0];
        std::lock_guard<std::mutex> hold(mutex);
        const bool found = registered.count(ifc) != 0;
        std::string answer;
        if (word == RegistryText::kFindServiceId) {
            answer = found ? std::string(RegistryText::kFoundServiceId) + "7"
                           : RegistryText::kServiceIdNotFound + ifc;
        } else if (word == RegistryText::kGetList) {
            answer = RegistryText::kList + (found ? registered[ifc] : "");
        } else {
            answer = found ? RegistryText::kFound + registered[ifc] : RegistryText::kNotFound + ifc;
        }
        const std::string& to = arguments.size() > 1 ? arguments[1] : sourceChannel;
        RegistryText::sendContainerReply(replies, to, answer.data(),
                                         static_cast<int>(answer.size()), message->requestId(),
                                         nullptr);
    }

    int startsOf(const std::string& ifc) {
        std::lock_guard<std::mutex> hold(mutex);
        return starts[ifc];
    }

private:
    static HostOptions optionsIn(const std::string& folder) {
        HostOptions options;
        options.runtimeDirectory = folder;
        return options;
    }

    // The state "start" answers, the service doing at its second start what it does.
    std::string start(const std::string& ifc) {
        const auto service = declared.find(ifc);
        if (service == declared.end()) return Wire::kUndeclared;
        if (++starts[ifc] < 2 || service->second == Service::Hangs) return "starting";
        if (service->second == Service::Fails) return "failed";
        registered[ifc] = ifc + "_ch";
        return "running";
    }

    std::mutex mutex;  // guards what follows
    std::map<std::string, Service> declared;
    std::map<std::string, std::string> registered;
    std::map<std::string, int> starts;
    HostFramework framework;  // last: stopped before what it calls goes
};

ClientOptions clientOptionsIn(const std::string& folder, std::chrono::milliseconds timeout) {
    ClientOptions options;
    options.runtimeDirectory = folder;
    options.library = SERVICE_REGISTRY_LIBRARY;
    options.timeout = timeout;
    return options;
}

TEST(DeclaredStarts, LookupsStartADeclaredServiceAndAnswerOnceItRegisteredOrSayWhyNot) {
    TempDirectory folder;
    FakeRegistry registry(folder.path(), {{"com.ex.Cam", Service::Registers},
                                          {"com.ex.Id", Service::Registers},
                                          {"com.ex.List", Service::Registers},
                                          {"com.ex.Broken", Service::Fails},
                                          {"com.ex.Slow", Service::Hangs}});
    RegistryClient client(clientOptionsIn(folder.path(), std::chrono::milliseconds(1500)));
    ASSERT_TRUE(client.open());
    struct Case {
        std::string ifc;
        std::function<Outcome()> lookUp;
        Status status;
        std::string reason;  // a part of it
        int starts;
    };
    const std::vector<Case> cases = {
        {"com.ex.Cam", [&] { return Outcome(client.find("com.ex.Cam")); }, Status::Done, "", 2},
        {"com.ex.Id", [&] { return Outcome(client.findSvcId("com.ex.Id")); }, Status::Done, "", 2},
        {"com.ex.List", [&] { return Outcome(client.getList("com.ex.List")); }, Status::Done, "",
         2},
        {"com.ex.Broken", [&] { return Outcome(client.find("com.ex.Broken")); }, Status::Refused,
         "'com.ex.Broken' could not start: exit 1", 2},
        {"com.ex.Slow", [&] { return Outcome(client.getList("com.ex.Slow")); }, Status::NotFound,
         "'com.ex.Slow' did not register within 1.5 s", -1},
        {"com.ex.None", [&] { return Outcome(client.find("com.ex.None")); }, Status::NotFound,
         "'com.ex.None' not found", 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.ifc);
        const Outcome outcome = test.lookUp();
        EXPECT_EQ(outcome, test.status) << outcome.reason();
        EXPECT_THAT(outcome.reason(), HasSubstr(test.reason));
        if (test.starts >= 0) {
            EXPECT_EQ(registry.startsOf(test.ifc), test.starts);
        }
    }
    EXPECT_EQ(client.find("com.ex.Cam").value(), "com.ex.Cam_ch");
    EXPECT_EQ(registry.startsOf("com.ex.Cam"), 2) << "a hit asks nothing";
}

TEST(DeclaredStarts, IsDeclaredAndWaitsAskTheRegistryAndAWaitEndsByInterruption) {
    TempDirectory folder;
    FakeRegistry registry(folder.path(),
                          {{"com.ex.Cam", Service::Registers}, {"com.ex.Slow", Service::Hangs}});
    RegistryClient client(clientOptionsIn(folder.path(), std::chrono::seconds(5)));
    ASSERT_TRUE(client.open());
    EXPECT_TRUE(client.isDeclared("com.ex.Cam").value());
    const Result<bool> none = client.isDeclared("com.ex.None");
    ASSERT_TRUE(none) << none.reason();
    EXPECT_FALSE(none.value());

    const Outcome nobody =
        client.wait("com.ex.None", std::chrono::seconds(20), WaitMode::IfDeclared);
    EXPECT_EQ(nobody, Status::NotFound);
    EXPECT_EQ(nobody.reason(), "'com.ex.None' is not declared");
    const Outcome started =
        client.wait("com.ex.Cam", std::chrono::seconds(20), WaitMode::IfDeclared);
    EXPECT_TRUE(started) << started.reason();
    EXPECT_EQ(registry.startsOf("com.ex.Cam"), 2);
    // Before the wait begins or while it runs: either way the interruption ends it.
    std::thread interrupter([&] { client.interrupt(); });
    EXPECT_EQ(client.wait("com.ex.Slow", std::chrono::seconds(20)), Status::Interrupted);
    interrupter.join();
}

}  // namespace
