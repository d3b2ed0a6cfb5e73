#include "BinaryProtocolAdapter.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "Method.h"

namespace {

constexpr unsigned char kVarintMore = 0x80;
constexpr unsigned char kVarintPayload = 0x7f;
constexpr int kVarintMaxBytes = 5;  // 32 bits, 7 per byte
// The fewest bytes a parameter can take: empty name, type, direction, empty or bool value.
constexpr size_t kSmallestParameter = 4;

void putVarint(std::string& out, uint32_t value) {
    while (value > kVarintPayload) {
        out += static_cast<char>((value & kVarintPayload) | kVarintMore);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

size_t varintSize(uint32_t value) {
    size_t size = 1;
    for (; value > kVarintPayload; value >>= 7) ++size;
    return size;
}

size_t stringSize(const std::string& text) {
    return varintSize(static_cast<uint32_t>(text.size())) + text.size();
}

// The exact length of a Method's encoding, so that it is built in one allocation.
size_t encodedSize(const std::string& name, const std::vector<Parameter>& parameters) {
    size_t size = 2 + stringSize(name);
    size += varintSize(static_cast<uint32_t>(parameters.size()));
    for (const Parameter& parameter : parameters) {
        size += stringSize(parameter.getName()) + 2;
        size +=
            parameter.getType() == Parameter::STRING ? stringSize(parameter.getStringValue()) : 1;
    }
    return size;
}

void putString(std::string& out, const std::string& text) {
    putVarint(out, static_cast<uint32_t>(text.size()));
    out += text;
}

// Reads the encoding front to back; every read fails rather than run past the end.
class Reader {
public:
    explicit Reader(std::string_view bytes) : rest(bytes) {}

    bool atEnd() const { return rest.empty(); }
    size_t remaining() const { return rest.size(); }

    bool byte(unsigned char& value) {
        if (rest.empty()) return false;
        value = static_cast<unsigned char>(rest.front());
        rest.remove_prefix(1);
        return true;
    }

    // A byte that must be 0 or 1.
    bool flag(unsigned char& value) { return byte(value) && value <= 1; }

    bool varint(uint32_t& value) {
        uint64_t result = 0;
        for (int i = 0; i < kVarintMaxBytes; ++i) {
            unsigned char next;
            if (!byte(next)) return false;
            result |= static_cast<uint64_t>(next & kVarintPayload) << (7 * i);
            if ((next & kVarintMore) == 0) {
                // A zero last byte after the first is a longer form of a shorter number.
                const bool shortest = next != 0 || i == 0;
                value = static_cast<uint32_t>(result);
                return shortest && result <= UINT32_MAX;
            }
        }
        return false;
    }

    bool string(std::string& value) {
        uint32_t length;
        if (!varint(length) || length > rest.size()) return false;
        value.assign(rest.data(), length);
        rest.remove_prefix(length);
        return true;
    }

private:
    std::string_view rest;
};

bool readParameter(Reader& reader, Method& method) {
    std::string name;
    unsigned char type;
    unsigned char direction;
    if (!reader.string(name) || !reader.flag(type) || !reader.flag(direction)) return false;
    const auto parameterDirection = static_cast<Parameter::directions>(direction);
    if (type == Parameter::STRING) {
        std::string value;
        if (!reader.string(value)) return false;
        method.addStringParameter(name, value, parameterDirection);
    } else {
        unsigned char value;
        if (!reader.flag(value)) return false;
        method.addBoolParameter(name, value == 1, parameterDirection);
    }
    return true;
}

bool readMethod(Reader& reader, Method& method) {
    unsigned char version;
    unsigned char type;
    std::string name;
    uint32_t count;
    if (!reader.byte(version) || version != BinaryProtocolAdapter::kVersion) return false;
    if (!reader.flag(type) || !reader.string(name) || !reader.varint(count)) return false;
    if (count > reader.remaining() / kSmallestParameter) return false;
    method = Method(name, static_cast<Method::methodTypes>(type));
    for (uint32_t i = 0; i < count; ++i) {
        if (!readParameter(reader, method)) return false;
    }
    return reader.atEnd();
}

// Everything left in the stream, or false when it exceeds limit.
bool readRemaining(std::stringstream& in, size_t limit, std::string& bytes) {
    char chunk[4096];
    std::streamsize got;
    while ((got = in.rdbuf()->sgetn(chunk, sizeof chunk)) > 0) {
        if (bytes.size() + static_cast<size_t>(got) > limit) return false;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

}  // namespace

void BinaryProtocolAdapter::encode(Method& method, std::stringstream& out) {
    const std::string name = method.getName();
    const std::vector<Parameter>& parameters = method.getParameters();
    std::string bytes;
    bytes.reserve(encodedSize(name, parameters));
    bytes += static_cast<char>(kVersion);
    bytes += static_cast<char>(method.getType());
    putString(bytes, name);
    putVarint(bytes, static_cast<uint32_t>(parameters.size()));
    for (const Parameter& parameter : parameters) {
        putString(bytes, parameter.getName());
        bytes += static_cast<char>(parameter.getType());
        bytes += static_cast<char>(parameter.getDirection());
        if (parameter.getType() == Parameter::STRING) {
            putString(bytes, parameter.getStringValue());
        } else {
            bytes += static_cast<char>(parameter.getBoolValue() ? 1 : 0);
        }
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool BinaryProtocolAdapter::decode(std::stringstream& in, Method& method) {
    std::string bytes;
    if (!readRemaining(in, kMaxEncodedSize, bytes)) return false;
    Reader reader(bytes);
    Method decoded;
    if (!readMethod(reader, decoded)) return false;
    method = std::move(decoded);
    return true;
}
