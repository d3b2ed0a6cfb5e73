#include "EchoCalls.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "CommsChannelDataContainerMessage.h"
#include "HostOptionsIn.h"
#include "RuntimeDirectory.h"

using namespace svcreg;

std::vector<std::string> echoServiceCommand(const std::string& runtimeDirectory,
                                            const std::string& channel) {
    return {ECHO_SERVICE_PATH, runtimeDirectory, channel};
}

// The text messages that come to the caller's private channel, first come first taken.
class EchoCaller::Replies final : public ReplySink {
public:
    void replyArrived(std::int64_t, const std::string&, std::string&& data) override {
        const std::lock_guard<std::mutex> lock(mutex);
        arrived.push_back(std::move(data));
        changed.notify_all();
    }
    bool waiting() {
        const std::lock_guard<std::mutex> lock(mutex);
        return !arrived.empty();
    }
    bool take(std::chrono::steady_clock::time_point deadline, std::string& reply) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_until(lock, deadline, [this] { return !arrived.empty(); })) return false;
        reply = std::move(arrived.front());
        arrived.pop_front();
        return true;
    }

private:
    std::mutex mutex;  // guards arrived
    std::condition_variable changed;
    std::deque<std::string> arrived;
};

EchoCaller::EchoCaller(const std::string& runtimeDirectory)
    : ownChannel(RuntimeDirectory::newPrivateChannel()),
      replies(std::make_unique<Replies>()),
      framework(hostOptionsIn(runtimeDirectory, 2)) {
    Outcome ready = framework.bindChannel(ownChannel, nullptr);
    if (ready) {
        framework.bindReplies(ownChannel, *replies);
        ready = framework.start();
    }
    if (!ready) failure = "the caller's framework did not start: " + ready.reason();
}

EchoCaller::~EchoCaller() {
    framework.stop();
}

Outcome EchoCaller::echo(const std::string& channel, const std::string& data, EchoAnswer& answer,
                         std::chrono::milliseconds timeout, bool hold) {
    Method request("echo", Method::REQUEST);
    request.addStringParameter(kEchoData, data, Parameter::IN);
    request.addBoolParameter(kEchoHold, hold, Parameter::IN);
    Method reply;
    const Outcome called = framework.call(channel, kEchoInterface, "", request, reply,
                                          std::chrono::steady_clock::now() + timeout);
    if (!called) return called;
    if (!reply.getStringParameter(kEchoData, answer.data, Parameter::OUT) ||
        !reply.getStringParameter(kEchoCaller, answer.caller, Parameter::OUT)) {
        return Outcome(Status::Refused, "the answer from '" + channel + "' holds no echo");
    }
    return Outcome();
}

Outcome EchoCaller::ask(const std::string& channel, const std::string& text, std::string& reply,
                        std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    CommsChannelDataContainerMessage message;
    message.setChannel(channel);
    message.setData(text.data(), static_cast<int>(text.size()));
    const Outcome sent = framework.sendAndAwait(ownChannel, message, deadline,
                                                [this] { return replies->waiting(); });
    if (!sent) return sent;
    if (!replies->take(deadline, reply)) {
        return Outcome(Status::NoReply, "no text came back from '" + channel + "' in time");
    }
    return Outcome();
}
