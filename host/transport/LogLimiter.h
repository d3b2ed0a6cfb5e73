#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>

#include "ServiceRegistry/PeerCredentials.h"

namespace svcreg {

// Bounds the lines peers can make this process log: of each kind of line (its format) about
// each peer (a user, or a channel), at most a few an interval; the rest are counted, and said
// in one line with the next that passes once the interval is over. Process-wide, as the log is.
class LogLimiter {
public:
    // lines a kind about one peer per interval; HostFramework sets them from its limits.
    static void configure(std::size_t lines, std::chrono::seconds interval);
    // Whether a line of kind about who may be logged now. The first to pass after lines were
    // held back logs how many first.
    static bool admits(const char* kind, const std::string& who);
    // As admits, for a log sink, which may not log: heldLines (and heldSeconds) tell how many
    // lines of kind about who were held back before this one, for the sink to say first.
    static bool admitsQuietly(const char* kind, const std::string& who, std::size_t& heldLines,
                              long long& heldSeconds);
    // "uid N": who a line about a peer is about, so that a user's many processes share it.
    static std::string aboutUser(uid_t uid) { return "uid " + std::to_string(uid); }
    // "device NAME": who a line about another device, or a caller of it, is about.
    static std::string aboutDevice(const std::string& device) { return "device " + device; }
    // Who a line about peer is about: its device for a caller of another device, else its user.
    static std::string aboutPeer(const PeerCredentials& peer) {
        return peer.isRemote() ? aboutDevice(peer.device) : aboutUser(peer.uid);
    }
};

}  // namespace svcreg
