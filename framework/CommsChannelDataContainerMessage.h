#pragma once

/// \file
/// A message on a comms channel, with its addressing.

#include <string>

#include "FrameworkExport.h"

/// One message on a comms channel: the bytes and the addressing the framework routes by.
/// A plain value type; copies are independent. Like a standard container, one object may be
/// read from several threads at once but must not be written while another thread uses it.
/// Every member function, the special ones included, is defined in the framework library, so
/// that users inline none of its layout.
class FRAMEWORK_API CommsChannelDataContainerMessage {
public:
    /// A message with every field empty and request id 0.
    CommsChannelDataContainerMessage();
    /// A copy of other, independent of it.
    CommsChannelDataContainerMessage(const CommsChannelDataContainerMessage& other);
    /// Makes this message a copy of other.
    CommsChannelDataContainerMessage& operator=(const CommsChannelDataContainerMessage& other);
    /// Frees the message's copies of its fields.
    ~CommsChannelDataContainerMessage();

    /// Sets the destination channel.
    void setChannel(const std::string& channel);
    /// Sets the channel the message comes from, where replies go.
    void setSourceChannel(const std::string& channel);
    /// Sets the name of the interface the message calls.
    void setInterface(const std::string& interface);
    /// Sets the name of the protocol adapter that encoded the data.
    void setProtocol(const std::string& protocol);
    /// Sets the sender's endpoint, where it receives calls back.
    void setRemoteContext(const std::string& remoteContext);
    /// Copies length bytes; a null pointer or a negative length gives empty data.
    void setData(const char* data, int length);
    /// Sets the id that pairs a reply with its request.
    void setRequestId(long requestId);

    /// The destination channel.
    const std::string& channel() const;
    /// The channel the message comes from.
    const std::string& sourceChannel() const;
    /// The name of the interface the message calls.
    const std::string& interface() const;
    /// The name of the protocol adapter that encoded the data.
    const std::string& protocol() const;
    /// The sender's endpoint, where it receives calls back.
    const std::string& remoteContext() const;
    /// The id that pairs a reply with its request.
    long requestId() const;
    /// The number of bytes of data.
    int getDataLength() const;
    /// The data, valid until the message is changed or destroyed. *length holds the most bytes
    /// wanted on entry and the number of bytes available at the returned pointer on return.
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
