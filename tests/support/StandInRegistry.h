#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "BinaryCodec.h"
#include "DaemonUnderTest.h"
#include "InvokerResponse.h"
#include "RegistryCallAnswers.h"
#include "RegistryEventsProtocol.h"
#include "RegistryTextProtocol.h"

// A registry of this process at the registry's channel in a temporary runtime directory: served
// by this user, so its client trusts it. It answers every text request with textReply, every
// call of the registry's interface with result true and svcId, and every watch and unwatch with
// true, which it records in order.
class StandInRegistry final : public svcreg::MessageHandler, public svcreg::CallHandler {
public:
    explicit StandInRegistry(std::string textReply = "", std::string svcId = "")
        : textReply(std::move(textReply)), svcId(std::move(svcId)) {
        framework.bindChannel("svcreg", static_cast<svcreg::MessageHandler&>(*this));
        framework.bindCallHandler("svcreg", svcreg::kRegistryInterface, *this);
        framework.bindCallHandler("svcreg", svcreg::RegistryEventsProtocol::kInterface, *this);
        started = framework.start().ok();
    }
    ~StandInRegistry() { framework.stop(); }

    const std::string& runtimeDirectory() const { return directory.path(); }
    svcreg::ClientOptions clientOptions() const {
        svcreg::ClientOptions options;
        options.runtimeDirectory = directory.path();
        options.library = SERVICE_REGISTRY_LIBRARY;
        return options;
    }
    // Closes the connection of the last watcher: it has lost the registry.
    void dropWatcher() { framework.disconnect(watcher()); }
    // Waits until the watches and unwatches heard are heard.
    bool heard(const std::vector<std::string>& expected) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, std::chrono::seconds(20),
                                [&] { return feedCalls == expected; });
    }
    std::vector<std::string> feed() {
        std::lock_guard<std::mutex> hold(mutex);
        return feedCalls;
    }

    void handleMessage(svcreg::IncomingCall&, const char*, int, const std::string&,
                       CommsChannelIfc& replies,
                       CommsChannelDataContainerMessage* message) override {
        RegistryText::sendContainerReply(replies, message->sourceChannel(), textReply.data(),
                                         static_cast<int>(textReply.size()), message->requestId(),
                                         &message->remoteContext());
    }
    void handleCall(svcreg::IncomingCall&, const char* data, int length,
                    std::unique_ptr<InvokerResponse> response) override {
        Method request;
        decode(std::string(data, static_cast<std::size_t>(length)), request);
        Method reply(request.getName(), Method::REPLY);
        reply.addBoolParameter("result", true, Parameter::OUT);
        if (request.getName() == svcreg::kRegisterMethod) {
            reply.addStringParameter(svcreg::kServiceIdParameter, svcId, Parameter::OUT);
        } else {
            std::lock_guard<std::mutex> hold(mutex);
            feedCalls.push_back(request.getName());
            lastWatcher = response->getRemoteContext();
        }
        changed.notify_all();
        const std::string bytes = encode(reply);
        response->sendReply(bytes.data(), static_cast<int>(bytes.size()));
    }

    bool started = false;

private:
    std::string watcher() {
        std::lock_guard<std::mutex> hold(mutex);
        return lastWatcher;
    }

    const std::string textReply;
    const std::string svcId;
    TempDirectory directory;
    svcreg::HostFramework framework{hostOptionsIn(directory.path())};
    std::mutex mutex;  // guards feedCalls and lastWatcher
    std::condition_variable changed;
    std::vector<std::string> feedCalls;
    std::string lastWatcher;
};
