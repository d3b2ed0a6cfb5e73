#pragma once

/// \file
/// A service interface table's entry.

#include <cstdint>
#include <string>

/// Where one registration offers one interface.
struct ServiceDetails {
    std::string channelName;  ///< The channel the service receives on.
    int32_t svcId;            ///< The id its registration got, shared by its interfaces.
};
