#include "CommsChannelDataContainerMessage.h"

#include <algorithm>

CommsChannelDataContainerMessage::CommsChannelDataContainerMessage() : id(0) {}

CommsChannelDataContainerMessage::CommsChannelDataContainerMessage(
    const CommsChannelDataContainerMessage&) = default;

CommsChannelDataContainerMessage& CommsChannelDataContainerMessage::operator=(
    const CommsChannelDataContainerMessage&) = default;

CommsChannelDataContainerMessage::~CommsChannelDataContainerMessage() = default;

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

const std::string& CommsChannelDataContainerMessage::channel() const {
    return destination;
}

const std::string& CommsChannelDataContainerMessage::sourceChannel() const {
    return source;
}

const std::string& CommsChannelDataContainerMessage::interface() const {
    return interfaceName;
}

const std::string& CommsChannelDataContainerMessage::protocol() const {
    return protocolName;
}

const std::string& CommsChannelDataContainerMessage::remoteContext() const {
    return context;
}

long CommsChannelDataContainerMessage::requestId() const {
    return id;
}

int CommsChannelDataContainerMessage::getDataLength() const {
    return static_cast<int>(data.size());
}

const char* CommsChannelDataContainerMessage::getData(int* length) const {
    if (length != nullptr) *length = std::clamp(*length, 0, getDataLength());
    return data.data();
}
