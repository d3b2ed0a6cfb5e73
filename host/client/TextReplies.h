#pragma once

#include <string>
#include <vector>

#include "ServiceRegistry/RegistryClient.h"

namespace svcreg {

// The registry's text replies taken apart. The registry cuts most replies after 99 characters
// and escapes no name, so a comma or parenthesis inside a name reads as a separator.

// "found:<channel>"; false for "notfound:...".
bool parseFoundChannel(const std::string& reply, std::string& channel);
// "found_svc_id:<id>"; false for "svc_id_not_found:...", and for an id that is not one.
bool parseServiceId(const std::string& reply, ServiceId& svcId);
// A service id written in decimal digits, as the registry gives one: 1 or more.
bool parseIdDigits(const std::string& digits, ServiceId& svcId);
// Whether reply is one the registry answers a lookup that misses with: "notfound:...",
// "svc_id_not_found:..." or "list:".
bool isNotFoundReply(const std::string& reply);
// "list:<channel>,<channel>,..."; empty for "list:".
std::vector<std::string> parseChannelList(const std::string& reply);
// "service_details_list:(<ifc>,<id>,<channel>),..."; each record is cut at its first two commas.
std::vector<ServiceRecord> parseDetailsList(const std::string& reply);
// "found_invoker:<lib>,<creator>" or "found_proxy:<lib>,<creator>"; false for "notfound:...".
bool parseCreator(const std::string& reply, CreatorRecord& creator);

}  // namespace svcreg
