#pragma once

#include <string>
#include <vector>

#include "ServiceRegistry/RegistryClient.h"

namespace svcreg {

// The registry's text replies taken apart. The registry cuts most replies after 99 characters
// and escapes no name, so a comma or parenthesis inside a name reads as a separator.

// "found:<channel>"; false for "notfound:...".
bool parseFoundChannel(const std::string& reply, std::string& channel);
// "found_svc_id:<id>"; false for "svc_id_not_found:...".
bool parseServiceId(const std::string& reply, ServiceId& svcId);
// "list:<channel>,<channel>,..."; empty for "list:".
std::vector<std::string> parseChannelList(const std::string& reply);
// "service_details_list:(<ifc>,<id>,<channel>),..."; each record is cut at its first two commas.
std::vector<ServiceRecord> parseDetailsList(const std::string& reply);
// "found_invoker:<lib>,<creator>" or "found_proxy:<lib>,<creator>"; false for "notfound:...".
bool parseCreator(const std::string& reply, CreatorRecord& creator);

}  // namespace svcreg
