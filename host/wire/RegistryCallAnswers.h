#pragma once

namespace svcreg {

// The interface under which the registry answers remote calls of ServiceRegistryIfc.
constexpr const char* kRegistryInterface = "ServiceRegistryIfc";
// The call that registers entries, with its string parameters "ifc" and "chanName".
constexpr const char* kRegisterMethod = "registerSvcInterface";

// The reply parameter in which the registry tells a registration made by remote call the
// service id it gave it, beside "result" true.
constexpr const char* kServiceIdParameter = "svcId";

// The request parameter, a bool, by which a registration by remote call asks that its entries
// stay when the process that registered them ends and nobody serves their channel, as an
// operator's do; without it they end with that process.
constexpr const char* kKeepParameter = "keep";

}  // namespace svcreg
