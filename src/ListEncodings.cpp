#include "ListEncodings.h"

std::string encodeChannelList(const std::vector<std::string>& channels) {
    std::string joined;
    for (size_t i = 0; i < channels.size(); ++i) {
        if (i > 0) joined += ',';
        joined += channels[i];
    }
    return joined;
}
