#pragma once

#include <string>
#include <vector>

#include "SvcDetails.h"

// The text forms of the registry's two list results, shared by the channel text protocol and
// the remote method catalogue. Nothing is escaped: a comma or parenthesis in a name is sent as
// it stands.

// The channel names joined by single commas; an empty list gives the empty text.
std::string encodeChannelList(const std::vector<std::string>& channels);

// Appends each record as "(ifc,svcId,channelName)", the records joined by single commas.
void appendDetailsList(std::string& out, const std::vector<SvcDetails>& details);
