#pragma once

#include <cstdint>
#include <string>

// The Cyclone DDS domains of this process: Cyclone keeps one per domain id, created with its
// configuration, so bridges in one process (the tests run two) share it. The first creates it,
// the last deletes it.
class DomainShare {
public:
    // Uses domain id configured with config; false, with why, when Cyclone refuses the
    // configuration or the domain runs here with another one.
    static bool acquire(std::uint32_t id, const std::string& config, std::string& error);
    // Done with domain id, as acquired.
    static void release(std::uint32_t id);
};
