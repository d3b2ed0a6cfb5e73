#include "RemoteTextReplies.h"

#include "RegistryCallAnswers.h"
#include "RegistryTextProtocol.h"

namespace svcreg::RemoteTextReplies {

namespace {

// The library cuts a lookup's reply after RegistryText::kLongestReply characters.
std::string cut(std::string text) {
    if (text.size() > RegistryText::kLongestReply) text.resize(RegistryText::kLongestReply);
    return text;
}

// As the library replies: to the registry's own interface with the request's remote context.
void sendContainer(CommsChannelIfc& replies, const std::string& destination,
                   const std::string& text, const CommsChannelDataContainerMessage& request,
                   bool asRegistry) {
    RegistryText::sendContainerReply(replies, destination, text.data(),
                                     static_cast<int>(text.size()), request.requestId(),
                                     asRegistry ? &request.remoteContext() : nullptr);
}

}  // namespace

void sendFound(CommsChannelIfc& replies, const std::string& replyChannel,
               const CommsChannelDataContainerMessage& request, const std::string& channel) {
    if (replyChannel.empty()) return;
    sendContainer(replies, replyChannel, cut(RegistryText::kFound + channel), request, false);
}

void sendServiceId(CommsChannelIfc& replies, const CommsChannelDataContainerMessage& request,
                   ServiceId svcId) {
    if (request.sourceChannel().empty()) return;
    sendContainer(replies, request.sourceChannel(),
                  cut(RegistryText::kFoundServiceId + std::to_string(svcId)), request, true);
}

void sendList(CommsChannelIfc& replies, const std::string& replyChannel,
              const std::vector<std::string>& channels) {
    if (replyChannel.empty()) return;
    const std::string text = cut(RegistryText::kList + RegistryText::joinWith(channels, ','));
    replies.sendData(replyChannel, text.data(), static_cast<int>(text.size()));
}

void sendCreator(CommsChannelIfc& replies, const CommsChannelDataContainerMessage& request,
                 const char* found, const std::string& creator) {
    sendContainer(replies, request.sourceChannel(), cut(found + creator), request, false);
}

void sendDetailsList(CommsChannelIfc& replies, const CommsChannelDataContainerMessage& request,
                     const std::vector<SvcDetails>& details) {
    if (request.sourceChannel().empty()) return;
    std::string text = RegistryText::kDetailsList;
    RegistryText::appendDetailsList(text, details);
    sendContainer(replies, request.sourceChannel(), text, request, true);
}

}  // namespace svcreg::RemoteTextReplies
