#pragma once

namespace svcreg {

// The reply parameter in which the registry tells a registration made by remote call the
// service id it gave it, beside "result" true.
constexpr const char* kServiceIdParameter = "svcId";

}  // namespace svcreg
