#include "LinkRecords.h"

#include "ServiceRegistry/RemoteDevices.h"

namespace {

using Kind = LinkRecord::Kind;
using MessageKind = svcreg::DeviceMessage::Kind;

// A buffer past this size is given back once emptied, so that an 8 MiB record is not held on.
constexpr std::size_t kKeptBufferCapacity = 64u << 10;

void appendLittleEndian(std::uint64_t value, std::size_t bytes, std::string& out) {
    for (std::size_t i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint64_t littleEndian(const char* data, std::size_t bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        value |= std::uint64_t{static_cast<unsigned char>(data[i])} << (8 * i);
    return value;
}

// Whether message holds only what its kind carries, within the bounds.
bool encodable(const svcreg::DeviceMessage& message) {
    const bool open = message.kind == MessageKind::Open;
    const bool frame = message.kind == MessageKind::Frame;
    if (!open && !frame && message.kind != MessageKind::Close) return false;
    if (!open && (!message.user.empty() || !message.channel.empty())) return false;
    if (!frame && !message.frame.empty()) return false;
    return message.user.size() <= kMostNameBytes && message.channel.size() <= kMostNameBytes &&
           message.frame.size() <= kMostFrameBytes;
}

void appendMessage(const svcreg::DeviceMessage& message, std::string& body) {
    body += static_cast<char>(message.kind);
    body += static_cast<char>(message.fromOpener ? 1 : 0);
    appendLittleEndian(message.tunnel, 8, body);
    body += static_cast<char>(message.user.size());
    body += message.user;
    body += static_cast<char>(message.channel.size());
    body += message.channel;
    body += message.frame;
}

// A short name at body[at]: a byte of length and that many bytes; false past the body's end.
bool takeName(const std::string& body, std::size_t& at, std::string& name) {
    if (at >= body.size()) return false;
    const std::size_t length = static_cast<unsigned char>(body[at++]);
    if (body.size() - at < length) return false;
    name.assign(body, at, length);
    at += length;
    return true;
}

bool parseMessage(const std::string& body, svcreg::DeviceMessage& message) {
    if (body.size() < 10) return false;
    const auto kind = static_cast<unsigned char>(body[0]);
    const auto fromOpener = static_cast<unsigned char>(body[1]);
    if (kind < 1 || kind > 3 || fromOpener > 1) return false;
    message.kind = static_cast<MessageKind>(kind);
    message.fromOpener = fromOpener == 1;
    message.tunnel = littleEndian(body.data() + 2, 8);
    std::size_t at = 10;
    if (!takeName(body, at, message.user) || !takeName(body, at, message.channel)) return false;
    message.frame.assign(body, at, std::string::npos);
    return encodable(message);
}

bool parseBody(Kind kind, const std::string& body, LinkRecord& record) {
    record.kind = kind;
    switch (kind) {
        case Kind::Hello:
        case Kind::Welcome:
            record.device = body;
            return svcreg::isDeviceName(body);
        case Kind::Declined:
        case Kind::Ping:
            return body.empty();
        case Kind::Message:
            return parseMessage(body, record.message);
    }
    return false;
}

}  // namespace

bool appendRecord(const LinkRecord& record, std::string& out) {
    std::string body;
    switch (record.kind) {
        case Kind::Hello:
        case Kind::Welcome:
            if (!svcreg::isDeviceName(record.device)) return false;
            body = record.device;
            break;
        case Kind::Declined:
        case Kind::Ping:
            break;
        case Kind::Message:
            if (!encodable(record.message)) return false;
            body.reserve(12 + record.message.user.size() + record.message.channel.size() +
                         record.message.frame.size());
            appendMessage(record.message, body);
            break;
        default:
            return false;
    }
    out += static_cast<char>(record.kind);
    appendLittleEndian(body.size(), 4, out);
    out += body;
    return true;
}

void LinkRecordReader::append(const char* data, std::size_t length) {
    if (failure != Status::NeedMore) return;
    // What was taken out goes once it is at least half the buffer: the copy stays linear.
    if (consumed != 0 && consumed >= buffer.size() / 2) {
        buffer.erase(0, consumed);
        consumed = 0;
    }
    buffer.append(data, length);
}

LinkRecordReader::Status LinkRecordReader::next(LinkRecord& record) {
    if (failure != Status::NeedMore) return failure;
    if (bufferedBytes() < kRecordHeaderSize) return Status::NeedMore;
    const char* header = buffer.data() + consumed;
    const auto kind = static_cast<unsigned char>(header[0]);
    const std::uint64_t length = littleEndian(header + 1, 4);
    if (kind < 1 || kind > 5) return failure = Status::Malformed;
    if (length > kMostRecordBody) return failure = Status::TooLarge;
    if (bufferedBytes() - kRecordHeaderSize < length) return Status::NeedMore;
    const std::string body(buffer, consumed + kRecordHeaderSize, length);
    consumed += kRecordHeaderSize + length;
    releaseConsumed();
    LinkRecord parsed;
    if (!parseBody(static_cast<Kind>(kind), body, parsed)) return failure = Status::Malformed;
    record = std::move(parsed);
    return Status::Ready;
}

void LinkRecordReader::releaseConsumed() {
    if (consumed < buffer.size()) return;
    consumed = 0;
    if (buffer.capacity() > kKeptBufferCapacity) {
        std::string().swap(buffer);
    } else {
        buffer.clear();
    }
}
