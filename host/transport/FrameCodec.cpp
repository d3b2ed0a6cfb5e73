#include "FrameCodec.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace svcreg {

namespace {

constexpr char kMagic0 = 'S';
constexpr char kMagic1 = 'R';
constexpr char kVersion = 1;
// What a reader keeps of its buffer once empty: enough for the usual small frames.
constexpr std::size_t kKeptBufferCapacity = 64 * 1024;

// Writes the low bytes of value, least significant first, at out; returns the end.
char* putLittleEndian(char* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) *out++ = static_cast<char>((value >> (8 * i)) & 0xff);
    return out;
}

std::uint64_t readLittleEndian(const char* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    }
    return value;
}

bool isKnownKind(unsigned char kind) {
    return kind >= static_cast<unsigned char>(Frame::Kind::Message) &&
           kind <= static_cast<unsigned char>(Frame::Kind::Vouch);
}

// Reads the body's fields strictly: each length must fit in what is left, and nothing may
// remain after the last one.
class BodyParser {
public:
    explicit BodyParser(std::string_view body) : rest(body) {}

    bool readId(std::int64_t& id) {
        if (rest.size() < 8) return false;
        id = static_cast<std::int64_t>(readLittleEndian(rest.data(), 8));
        rest.remove_prefix(8);
        return true;
    }

    bool readString(std::string& value) {
        if (rest.size() < 4) return false;
        const std::uint64_t length = readLittleEndian(rest.data(), 4);
        rest.remove_prefix(4);
        if (length > rest.size()) return false;
        value.assign(rest.data(), length);
        rest.remove_prefix(length);
        return true;
    }

    bool atEnd() const { return rest.empty(); }

private:
    std::string_view rest;
};

bool parseBody(std::string_view body, Frame& frame) {
    BodyParser parser(body);
    return parser.readId(frame.requestId) && parser.readString(frame.destination) &&
           parser.readString(frame.source) && parser.readString(frame.remoteContext) &&
           parser.readString(frame.protocol) && parser.readString(frame.interface) &&
           parser.readString(frame.data) && parser.atEnd();
}

}  // namespace

bool appendEncodedFrame(const Frame& frame, std::string& out, std::size_t mostBody) {
    const std::string* fields[] = {&frame.destination, &frame.source,    &frame.remoteContext,
                                   &frame.protocol,    &frame.interface, &frame.data};
    std::size_t bodySize = 8;
    for (const std::string* field : fields) bodySize += 4 + field->size();
    if (bodySize > mostBody) return false;

    // Sized once, then written in place: a frame is encoded for every message sent.
    const std::size_t start = out.size();
    out.resize(start + kFrameHeaderSize + bodySize);
    char* at = &out[start];
    *at++ = kMagic0;
    *at++ = kMagic1;
    *at++ = kVersion;
    *at++ = static_cast<char>(frame.kind);
    at = putLittleEndian(at, bodySize, 4);
    at = putLittleEndian(at, static_cast<std::uint64_t>(frame.requestId), 8);
    for (const std::string* field : fields) {
        at = putLittleEndian(at, field->size(), 4);
        at = std::copy(field->begin(), field->end(), at);
    }
    return true;
}

void FrameReader::append(const char* data, std::size_t length) {
    if (consumed > 0 && consumed >= buffer.size() / 2) {
        buffer.erase(0, consumed);
        consumed = 0;
    }
    buffer.append(data, length);
}

FrameReader::Status FrameReader::next(Frame& frame) {
    if (failure != Status::NeedMore) return failure;
    if (bufferedBytes() < kFrameHeaderSize) return Status::NeedMore;

    const char* header = buffer.data() + consumed;
    const auto kind = static_cast<unsigned char>(header[3]);
    if (header[0] != kMagic0 || header[1] != kMagic1 || header[2] != kVersion ||
        !isKnownKind(kind)) {
        return failure = Status::Malformed;
    }
    const std::uint64_t bodySize = readLittleEndian(header + 4, 4);
    if (bodySize > kMaxReadBodySize) return failure = Status::TooLarge;
    if (bufferedBytes() < kFrameHeaderSize + bodySize) return Status::NeedMore;

    Frame parsed;
    parsed.kind = static_cast<Frame::Kind>(kind);
    if (!parseBody(std::string_view(header + kFrameHeaderSize, bodySize), parsed)) {
        return failure = Status::Malformed;
    }
    consumed += kFrameHeaderSize + bodySize;
    ++taken;
    releaseConsumed();
    frame = std::move(parsed);
    return Status::Ready;
}

void FrameReader::releaseConsumed() {
    if (consumed < buffer.size()) return;
    consumed = 0;
    if (buffer.capacity() > kKeptBufferCapacity) {
        std::string().swap(buffer);
    } else {
        buffer.clear();
    }
}

}  // namespace svcreg
