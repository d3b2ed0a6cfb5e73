#pragma once

#include <cstdint>
#include <string>

namespace svcreg {

// The id the registry gives each registration, from 1 up; every interface it registers shares it.
using ServiceId = std::int64_t;

// One entry of the registry's service table: an interface offered at a channel, under the
// service id of the registration that put it there.
struct ServiceRecord {
    std::string ifc;
    ServiceId svcId = 0;
    std::string channel;
};

}  // namespace svcreg
