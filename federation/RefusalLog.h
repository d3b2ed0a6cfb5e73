#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Logs what was refused from a peer at most once a second per peer (or per source the peer
// comes from, such as its address whatever its port), with how many more were refused
// meanwhile: a peer that keeps sending what is refused cannot flood the log.
class RefusalLog {
public:
    // Logs "Refused WHAT, from PEER", or counts it when the last line of source (peer when
    // empty) is under a second old.
    void refused(const std::string& peer, const std::string& what, const std::string& source = {});

private:
    struct Logged {
        std::int64_t lastMs = 0;
        std::size_t held = 0;  // refused since, not logged
    };
    std::map<std::string, Logged> logged;  // by source
};
