#include "ListEncodings.h"

std::string encodeChannelList(const std::vector<std::string>& channels) {
    std::string joined;
    for (size_t i = 0; i < channels.size(); ++i) {
        if (i > 0) joined += ',';
        joined += channels[i];
    }
    return joined;
}

void appendDetailsList(std::string& out, const std::vector<SvcDetails>& details) {
    for (size_t i = 0; i < details.size(); ++i) {
        if (i > 0) out += ',';
        out.append(1, '(').append(details[i].ifc).append(1, ',').append(details[i].svcId);
        out.append(1, ',').append(details[i].channelName).append(1, ')');
    }
}
