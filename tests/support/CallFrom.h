#pragma once

#include <string>

#include "ServiceRegistry/IncomingCall.h"

namespace svcreg {

// A call from peer as a test hands it to the registry's pipeline: one without a connection, so
// that the peer may name any channel as its own, asks nothing, and its process is not watched.
class CallFrom final : public IncomingCall {
public:
    explicit CallFrom(const PeerCredentials& peer) : from(peer) {}

    const PeerCredentials& peer() const override { return from; }
    const std::string& callbackChannel() const override { return none; }
    bool asks(const std::string&) const override { return false; }
    void refuse(const std::string&) override {}
    void addToAnswer(std::string, std::string) override {}
    bool ownsChannel(const std::string&) const override { return true; }
    Result<PeerWatchId> watchCaller(std::function<void()>) override {
        return Outcome(Status::Refused, "a test's call has no process to watch");
    }

private:
    const PeerCredentials from;
    const std::string none;
};

}  // namespace svcreg
