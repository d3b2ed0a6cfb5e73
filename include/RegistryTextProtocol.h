#pragma once

/// \file
/// The words of the registry's text protocol, and the way its requests are taken apart.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"
#include "SvcDetails.h"

/// The words of the registry's text protocol on its channel, and the way requests are taken
/// apart, for every party that reads them. A request is a command word, a colon and arguments
/// separated by commas; a reply starts with a reply word, its colon included, and the fields
/// after it. Everything here is constant or a pure function: safe from any thread.
namespace RegistryText {

/// @name Command words
///@{
inline constexpr char kRegister[] = "reg";               ///< reg:interfaces,channel
inline constexpr char kDeregister[] = "dereg";           ///< dereg:interfaces,channel
inline constexpr char kFind[] = "find";                  ///< find:interface,reply channel
inline constexpr char kFindServiceId[] = "find_svc_id";  ///< find_svc_id:interface
inline constexpr char kGetList[] = "getlist";            ///< getlist:interface,reply channel
inline constexpr char kGetDetailsList[] = "get_service_details_list";  ///< the whole table
/// reg_invoker:library,creator,interface,protocol
inline constexpr char kRegisterInvoker[] = "reg_invoker";
inline constexpr char kFindInvoker[] = "find_invoker";  ///< find_invoker:interface,protocol
/// reg_proxy:library,creator,interface,protocol
inline constexpr char kRegisterProxy[] = "reg_proxy";
inline constexpr char kFindProxy[] = "find_proxy";  ///< find_proxy:interface
///@}

/// @name Reply words
///@{
inline constexpr char kFound[] = "found:";                         ///< then the channel
inline constexpr char kNotFound[] = "notfound:";                   ///< then the interface asked for
inline constexpr char kFoundServiceId[] = "found_svc_id:";         ///< then the decimal id
inline constexpr char kServiceIdNotFound[] = "svc_id_not_found:";  ///< then the interface
inline constexpr char kList[] = "list:";  ///< then the channels offering the interface
inline constexpr char kDetailsList[] = "service_details_list:";  ///< then the whole table
inline constexpr char kFoundInvoker[] = "found_invoker:";        ///< then library,creator
inline constexpr char kFoundProxy[] = "found_proxy:";            ///< then library,creator
///@}

/// The registry cuts its replies to lookups, all but the details list's, after this many
/// characters: a reply of this length may have lost its end.
inline constexpr std::size_t kLongestReply = 99;

/// The most fields splitRequest keeps. No command reads beyond field 4. Splitting stops once a
/// sixth field is known to exist, so a request of a million commas costs six strings, not a
/// million.
inline constexpr std::size_t kMostFieldsKept = 6;
/// A request of at most this many fields is filled with empty ones up to kFilledFieldCount; one
/// of five keeps its count. Either way fields 0 to 4 exist, and a missing argument reads as
/// empty.
inline constexpr std::size_t kMostFieldsFilled = 4;
/// The count of fields a short request is filled up to (see kMostFieldsFilled).
inline constexpr std::size_t kFilledFieldCount = 6;

/// Appends to fields the fields of a request text: the command word before the first colon,
/// then the pieces between commas after it, nothing trimmed. False, with fields untouched,
/// when the text has no colon.
inline bool splitRequest(std::string_view text, std::vector<std::string>& fields) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    fields.reserve(kMostFieldsKept);
    fields.emplace_back(text.substr(0, colon));
    std::size_t start = colon + 1;
    while (fields.size() < kMostFieldsKept) {
        const std::size_t comma = text.find(',', start);
        fields.emplace_back(text.substr(start, comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (fields.size() <= kMostFieldsFilled) fields.resize(kFilledFieldCount);
    return true;
}

/// The pieces of text between separators, empty ones included: "a  b" gives "a", "", "b".
/// Interface names in one argument are separated by spaces.
inline std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t found; (found = text.find(separator, start)) != std::string::npos;
         start = found + 1) {
        pieces.emplace_back(text, start, found - start);
    }
    pieces.emplace_back(text, start, std::string::npos);
    return pieces;
}

/// The inverse of splitAt: the pieces with separator between each two.
inline std::string joinWith(const std::vector<std::string>& pieces, char separator) {
    std::string text;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i != 0) text += separator;
        text += pieces[i];
    }
    return text;
}

/// Appends each record as "(ifc,svcId,channelName)", the records joined by single commas, as
/// the details list carries them. Nothing is escaped: a comma or parenthesis in a name is sent as
/// it stands.
inline void appendDetailsList(std::string& out, const std::vector<SvcDetails>& details) {
    for (std::size_t i = 0; i < details.size(); ++i) {
        if (i > 0) out += ',';
        out.append(1, '(').append(details[i].ifc).append(1, ',').append(details[i].svcId);
        out.append(1, ',').append(details[i].channelName).append(1, ')');
    }
}

/// Sends text in a container to destination, with the request's id. A reply to the registry's
/// own interface also carries the request's remote context (when remoteContext is given), the
/// registry's protocol and its interface name. The setters run in this order: remote context,
/// channel, data, protocol, interface, request id.
inline void sendContainerReply(CommsChannelIfc& channel, const std::string& destination,
                               const char* text, int length, long requestId,
                               const std::string* remoteContext = nullptr) {
    CommsChannelDataContainerMessage reply;
    if (remoteContext != nullptr) reply.setRemoteContext(*remoteContext);
    reply.setChannel(destination);
    reply.setData(text, length);
    if (remoteContext != nullptr) {
        reply.setProtocol("svc_reg_protocol");
        reply.setInterface("ServiceRegistryIfc");
    }
    reply.setRequestId(requestId);
    channel.sendMessage(&reply);
}

}  // namespace RegistryText
