#pragma once

#include <string>

#include "FrameworkExport.h"

// One message on a comms channel: the bytes and the addressing the framework routes by.
// A plain value type; copies are independent. Every member function, the special ones
// included, is defined in the framework library, so that users inline none of its layout.
class FRAMEWORK_API CommsChannelDataContainerMessage {
public:
    CommsChannelDataContainerMessage();
    CommsChannelDataContainerMessage(const CommsChannelDataContainerMessage& other);
    CommsChannelDataContainerMessage& operator=(const CommsChannelDataContainerMessage& other);
    ~CommsChannelDataContainerMessage();

    // The destination channel.
    void setChannel(const std::string& channel);
    void setSourceChannel(const std::string& channel);
    void setInterface(const std::string& interface);
    void setProtocol(const std::string& protocol);
    void setRemoteContext(const std::string& remoteContext);
    // Copies length bytes; a null pointer or a negative length gives empty data.
    void setData(const char* data, int length);
    void setRequestId(long requestId);

    const std::string& channel() const;
    const std::string& sourceChannel() const;
    const std::string& interface() const;
    const std::string& protocol() const;
    const std::string& remoteContext() const;
    long requestId() const;
    int getDataLength() const;
    // *length holds the most bytes wanted on entry and the number of bytes available at the
    // returned pointer on return.
    const char* getData(int* length) const;

private:
    std::string destination;
    std::string source;
    std::string interfaceName;
    std::string protocolName;
    std::string context;
    std::string data;
    long id;
};
