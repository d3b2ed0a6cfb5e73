#pragma once

#include <string>

// One entry of the service interface table as the details list reports it.
struct SvcDetails {
    std::string ifc;
    std::string svcId;  // decimal text
    std::string channelName;
};
