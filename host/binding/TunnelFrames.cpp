#include "TunnelFrames.h"

#include "FrameCodec.h"
#include "RuntimeDirectory.h"

namespace svcreg {

namespace {

void nameOnDevice(std::string& channel, const std::string& device) {
    if (!channel.empty() && !RuntimeDirectory::isPrivateChannel(channel)) channel += "@" + device;
}

}  // namespace

bool crossesDevices(Frame::Kind kind) {
    return kind != Frame::Kind::Descriptors && kind != Frame::Kind::Vouch;
}

bool decodeTunnelFrame(const std::string& bytes, Frame& frame) {
    FrameReader reader;
    reader.append(bytes.data(), bytes.size());
    return reader.next(frame) == FrameReader::Status::Ready && reader.bufferedBytes() == 0;
}

void nameSenderOnDevice(Frame& frame, const std::string& device) {
    nameOnDevice(frame.source, device);
    nameOnDevice(frame.remoteContext, device);
}

bool nameDestinationOnDevice(Frame& frame, const std::string& device) {
    std::string& channel = frame.destination;
    if (channel.empty() || RuntimeDirectory::isPrivateChannel(channel)) return true;
    const std::string suffix = "@" + device;
    if (channel.size() <= suffix.size() ||
        channel.compare(channel.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    channel.resize(channel.size() - suffix.size());
    return true;
}

}  // namespace svcreg
