#include "CommsChannelDataContainerMessage.h"

#include <algorithm>

CommsChannelDataContainerMessage::CommsChannelDataContainerMessage() : id(0) {}

void CommsChannelDataContainerMessage::setChannel(const std::string& channel) {
    destination = channel;
}

void CommsChannelDataContainerMessage::setSourceChannel(const std::string& channel) {
    source = channel;
}

void CommsChannelDataContainerMessage::setInterface(const std::string& interface) {
    interfaceName = interface;
}

void CommsChannelDataContainerMessage::setProtocol(const std::string& protocol) {
    protocolName = protocol;
}

void CommsChannelDataContainerMessage::setRemoteContext(const std::string& remoteContext) {
    context = remoteContext;
}

void CommsChannelDataContainerMessage::setData(const char* bytes, int length) {
    if (bytes == nullptr || length <= 0) {
        data.clear();
        return;
    }
    data.assign(bytes, static_cast<size_t>(length));
}

void CommsChannelDataContainerMessage::setRequestId(long requestId) {
    id = requestId;
}

int CommsChannelDataContainerMessage::getDataLength() const {
    return static_cast<int>(data.size());
}

const char* CommsChannelDataContainerMessage::getData(int* length) const {
    if (length != nullptr) *length = std::clamp(*length, 0, getDataLength());
    return data.data();
}
