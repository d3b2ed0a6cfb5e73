#pragma once

#include <functional>
#include <string>
#include <utility>

#include "ServiceRegistry/IncomingCall.h"

namespace svcreg {

// A call from peer as a test hands it to the registry's pipeline: one without a connection, so
// that the peer may name any channel as its own (unless owns, when set, says otherwise), asks
// nothing but flag (when given), and its process is not watched unless watchable says so. A
// refusal is kept in refused.
class CallFrom final : public IncomingCall {
public:
    explicit CallFrom(const PeerCredentials& peer, std::string flag = "")
        : from(peer), flag(std::move(flag)) {}

    const PeerCredentials& peer() const override { return from; }
    const std::string& callbackChannel() const override { return none; }
    bool asks(const std::string& asked) const override { return !flag.empty() && asked == flag; }
    void refuse(const std::string& reason) override { refused = reason; }
    void addToAnswer(std::string, std::string) override {}
    bool ownsChannel(const std::string&) const override { return !owns || owns(); }
    Result<PeerWatchId> watchCaller(std::function<void()> gone) override {
        if (!watchable) return Outcome(Status::Refused, "a test's call has no process to watch");
        ended = std::move(gone);
        return Result<PeerWatchId>(Outcome(), kWatch);
    }

    std::string refused;
    std::function<bool()> owns;
    // When set, the caller's end is watched: the test tells it by calling ended.
    bool watchable = false;
    std::function<void()> ended;
    // The id of that watch, which no framework gives.
    static constexpr PeerWatchId kWatch = ~PeerWatchId{0};

private:
    const PeerCredentials from;
    const std::string flag;
    const std::string none;
};

}  // namespace svcreg
