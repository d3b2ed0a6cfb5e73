#pragma once

#include <string>
#include <vector>

#include "RegistryRequests.h"
#include "ServiceRegistry/RegistryClient.h"

namespace svcreg {

// Lookups by remote call of the registry's own methods, whose answers come whole, however long
// the names they hold: for the lookups whose text reply the registry may have cut. Each is
// Done with what was looked for, NotFound, or how the call failed; each ends by deadline.
namespace RemoteLookups {

using Deadline = RegistryRequests::Deadline;

Outcome findChannel(RegistryRequests& requests, const std::string& ifc, std::string& channel,
                    Deadline deadline);
Outcome channelList(RegistryRequests& requests, const std::string& ifc,
                    std::vector<std::string>& channels, Deadline deadline);
Outcome findInvoker(RegistryRequests& requests, const std::string& ifc, const std::string& protocol,
                    CreatorRecord& creator, Deadline deadline);
Outcome findProxy(RegistryRequests& requests, const std::string& ifc, CreatorRecord& creator,
                  Deadline deadline);

}  // namespace RemoteLookups

}  // namespace svcreg
