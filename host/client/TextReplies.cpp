#include "TextReplies.h"

#include <charconv>
#include <string_view>

#include "RegistryTextProtocol.h"

#include <cstdlib>

namespace svcreg {

namespace {

using namespace RegistryText;

// The rest of text after prefix; false when text does not start with it.
bool after(const std::string& text, const std::string_view prefix, std::string& rest) {
    if (text.compare(0, prefix.size(), prefix) != 0) return false;
    rest = text.substr(prefix.size());
    return true;
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
    return after(reply, kFound, channel);
}

bool parseServiceId(const std::string& reply, ServiceId& svcId) {
    std::string id;
    return after(reply, kFoundServiceId, id) && parseIdDigits(id, svcId);
}

bool parseIdDigits(const std::string& digits, ServiceId& svcId) {
    const char* const end = digits.data() + digits.size();
    ServiceId id = 0;
    const auto [stop, failure] = std::from_chars(digits.data(), end, id);
    if (failure != std::errc() || stop != end || id < 1 || digits.front() == '-') return false;
    svcId = id;
    return true;
}

bool isNotFoundReply(const std::string& reply) {
    std::string rest;
    return after(reply, kNotFound, rest) || after(reply, kServiceIdNotFound, rest) ||
           reply == kList;
}

std::vector<std::string> parseChannelList(const std::string& reply) {
    std::string list;
    if (!after(reply, kList, list) || list.empty()) return {};
    return splitAt(list, ",");
}

std::vector<ServiceRecord> parseDetailsList(const std::string& reply) {
    std::vector<ServiceRecord> records;
    std::string list;
    if (!after(reply, kDetailsList, list) || list.size() < 2 || list.front() != '(' ||
        list.back() != ')') {
        return records;
    }
    for (const std::string& record : splitAt(list.substr(1, list.size() - 2), "),(")) {
        const auto [ifc, rest] = cutAtComma(record);
        const auto [id, channel] = cutAtComma(rest);
        records.push_back(ServiceRecord{ifc, std::strtoll(id.c_str(), nullptr, 10), channel});
    }
    return records;
}

bool parseCreator(const std::string& reply, CreatorRecord& creator) {
    std::string found;
    if (!after(reply, kFoundInvoker, found) && !after(reply, kFoundProxy, found)) return false;
    const auto [lib, creatorFn] = cutAtComma(found);
    creator = CreatorRecord{lib, creatorFn};
    return true;
}

}  // namespace svcreg
