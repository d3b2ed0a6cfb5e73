#pragma once

#include <string>

namespace svcreg {

// One entry of the registry's service table: an interface offered at a channel, under the
// service id of the registration that put it there.
struct ServiceRecord {
    std::string ifc;
    long svcId;
    std::string channel;
};

}  // namespace svcreg
