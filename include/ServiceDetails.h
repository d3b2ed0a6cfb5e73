#pragma once

#include <cstdint>
#include <string>

// Where one registration offers one interface.
struct ServiceDetails {
    std::string channelName;
    int32_t svcId;
};
