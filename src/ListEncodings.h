#pragma once

#include <string>
#include <vector>

// The text form of the registry's channel list, shared by the channel text protocol and
// the remote method catalogue. Nothing is escaped: a comma or parenthesis in a name is sent as
// it stands.

// The channel names joined by single commas; an empty list gives the empty text.
std::string encodeChannelList(const std::vector<std::string>& channels);
