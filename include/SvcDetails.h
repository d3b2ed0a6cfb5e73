#pragma once

/// \file
/// A service interface table's entry as getSvcDetailsList reports it.

#include <string>

/// One entry of the service interface table as the details list reports it.
struct SvcDetails {
    std::string ifc;          ///< The interface name.
    std::string svcId;        ///< The registration's service id, in decimal text.
    std::string channelName;  ///< The channel offering it.
};
