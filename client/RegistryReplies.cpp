#include "RegistryReplies.h"

#include <cstdlib>

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> splitAt(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + separator.size();
    }
}

// The text before the first comma, and after it (empty when there is none).
std::pair<std::string, std::string> cutAtComma(const std::string& text) {
    const auto comma = text.find(',');
    if (comma == std::string::npos) return {text, std::string()};
    return {text.substr(0, comma), text.substr(comma + 1)};
}

}  // namespace

bool parseFoundChannel(const std::string& reply, std::string& channel) {
    if (!startsWith(reply, "found:")) return false;
    channel = reply.substr(6);
    return true;
}

bool parseServiceId(const std::string& reply, long& svcId) {
    if (!startsWith(reply, "found_svc_id:")) return false;
    svcId = std::strtol(reply.c_str() + 13, nullptr, 10);
    return true;
}

std::vector<std::string> parseChannelList(const std::string& reply) {
    if (!startsWith(reply, "list:") || reply.size() == 5) return {};
    return splitAt(reply.substr(5), ",");
}

std::vector<ServiceRecord> parseDetailsList(const std::string& reply) {
    const std::string prefix = "service_details_list:(";
    std::vector<ServiceRecord> records;
    if (!startsWith(reply, prefix) || reply.back() != ')') return records;
    const std::string body = reply.substr(prefix.size(), reply.size() - prefix.size() - 1);
    for (const std::string& record : splitAt(body, "),(")) {
        const auto [ifc, rest] = cutAtComma(record);
        const auto [id, channel] = cutAtComma(rest);
        records.push_back(ServiceRecord{ifc, std::strtol(id.c_str(), nullptr, 10), channel});
    }
    return records;
}

bool parseCreator(const std::string& reply, CreatorRecord& creator) {
    const std::string found = startsWith(reply, "found_invoker:") ? "found_invoker:"
                              : startsWith(reply, "found_proxy:") ? "found_proxy:"
                                                                  : "";
    if (found.empty()) return false;
    const auto [lib, creatorFn] = cutAtComma(reply.substr(found.size()));
    creator = CreatorRecord{lib, creatorFn};
    return true;
}
