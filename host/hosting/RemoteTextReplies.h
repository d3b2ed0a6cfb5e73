#pragma once

#include <string>
#include <vector>

#include "CommsChannelDataContainerMessage.h"
#include "CommsChannelIfc.h"
#include "ServiceRegistry/ServiceRecord.h"
#include "SvcDetails.h"

// The replies to the text lookups (see RegistryTextProtocol.h) that the daemon answers itself
// when other devices' entries are in the answer: in the words, the cut and to the destinations
// the library's own replies have, so that a client cannot tell them apart.
namespace svcreg::RemoteTextReplies {

// To find:IFC,REPLY_CHANNEL.
void sendFound(CommsChannelIfc& replies, const std::string& replyChannel,
               const CommsChannelDataContainerMessage& request, const std::string& channel);
// To find_svc_id:IFC.
void sendServiceId(CommsChannelIfc& replies, const CommsChannelDataContainerMessage& request,
                   ServiceId svcId);
// To getlist:IFC,REPLY_CHANNEL.
void sendList(CommsChannelIfc& replies, const std::string& replyChannel,
              const std::vector<std::string>& channels);
// To find_proxy:IFC or find_invoker:IFC,PROTOCOL: found (RegistryText::kFoundProxy or
// kFoundInvoker) then "LIBRARY,FUNCTION".
void sendCreator(CommsChannelIfc& replies, const CommsChannelDataContainerMessage& request,
                 const char* found, const std::string& creator);
// To get_service_details_list:.
void sendDetailsList(CommsChannelIfc& replies, const CommsChannelDataContainerMessage& request,
                     const std::vector<SvcDetails>& details);

}  // namespace svcreg::RemoteTextReplies
