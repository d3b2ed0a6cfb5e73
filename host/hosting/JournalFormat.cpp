#include "JournalFormat.h"

#include <array>

#include "FrameCodec.h"

namespace svcreg {

namespace {

// A record on file: its payload's length and CRC-32, four bytes each, then the payload.
constexpr std::size_t kHeaderSize = 8;
// The smallest payload: kind, owner, id and the count of fields.
constexpr std::size_t kSmallestPayload = 1 + 4 + 8 + 1;
// No change a frame carries makes a larger one; a length beyond it is damage.
constexpr std::size_t kLargestPayload = kMaxFrameBodySize;
// The next id after the largest a 32-bit signed counter gives.
constexpr std::uint64_t kLargestServiceId = std::uint64_t{1} << 31;
// Bytes read and handled that the scanner lets go of at once.
constexpr std::size_t kConsumedKept = 1 << 20;

// The CRC-32 (reflected, polynomial 0xEDB88320) eight bytes at a step: table k holds what a
// byte contributes k bytes ahead of the end of the step. A large registration's record is
// checked in a fraction of the time a byte at a step takes.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

const CrcTables& crcTables() {
    static const CrcTables tables = [] {
        CrcTables built{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            built[0][n] = c;
        }
        for (std::size_t k = 1; k < built.size(); ++k) {
            for (std::uint32_t n = 0; n < 256; ++n) {
                built[k][n] = (built[k - 1][n] >> 8) ^ built[0][built[k - 1][n] & 0xFFu];
            }
        }
        return built;
    }();
    return tables;
}

std::uint32_t fourBytesAt(const char* at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(at[i]);
    return value;
}

std::uint32_t crc32(std::string_view bytes) {
    const CrcTables& t = crcTables();
    std::uint32_t crc = 0xFFFFFFFFu;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        const std::uint32_t low = crc ^ fourBytesAt(bytes.data() + i);
        const std::uint32_t high = fourBytesAt(bytes.data() + i + 4);
        crc = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^
              t[4][low >> 24] ^ t[3][high & 0xFFu] ^ t[2][(high >> 8) & 0xFFu] ^
              t[1][(high >> 16) & 0xFFu] ^ t[0][high >> 24];
    }
    for (; i < bytes.size(); ++i) {
        crc = t[0][(crc ^ static_cast<unsigned char>(bytes[i])) & 0xFFu] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

void putNumber(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFu));
}

// Reads little-endian numbers and strings out of a payload, which must outlive it; fails once
// it runs past the end.
class PayloadReader {
public:
    explicit PayloadReader(std::string_view payload) : bytes(payload) {}

    bool number(std::uint64_t& value, int size) {
        if (bytes.size() - position < static_cast<std::size_t>(size)) return false;
        value = 0;
        for (int i = 0; i < size; ++i) {
            value |= std::uint64_t{static_cast<unsigned char>(bytes[position + i])} << (8 * i);
        }
        position += size;
        return true;
    }
    bool text(std::string& value) {
        std::uint64_t size;
        if (!number(size, 4) || bytes.size() - position < size) return false;
        value.assign(bytes.substr(position, size));
        position += size;
        return true;
    }
    bool atEnd() const { return position == bytes.size(); }

private:
    const std::string_view bytes;
    std::size_t position = 0;
};

bool isKnownKind(std::uint64_t kind) {
    return kind >= 1 && kind <= static_cast<std::uint64_t>(JournalRecord::Kind::Caller);
}

// The field of a Register record that names its caller's device, and how many fields one that
// names its caller's process holds.
constexpr std::size_t kCallerDeviceField = 2;
constexpr std::size_t kCallerProcessFields = kCallerDeviceField + 3;

// How many fields a record of each kind holds, a device named aside.
std::size_t fieldsOf(JournalRecord::Kind kind) {
    switch (kind) {
        case JournalRecord::Kind::Register:
        case JournalRecord::Kind::Deregister:
        case JournalRecord::Kind::Caller:
            return 2;
        case JournalRecord::Kind::Proxy:
        case JournalRecord::Kind::Invoker:
            return 4;
        case JournalRecord::Kind::Served:
            return 1;
        case JournalRecord::Kind::NextId:
            break;
    }
    return 0;
}

bool decoded(std::string_view payload, JournalRecord& record) {
    PayloadReader in(payload);
    std::uint64_t kind = 0, owner = 0, id = 0, count = 0;
    if (!in.number(kind, 1) || !in.number(owner, 4) || !in.number(id, 8) || !in.number(count, 1)) {
        return false;
    }
    if (!isKnownKind(kind)) return false;
    record.kind = static_cast<JournalRecord::Kind>(kind);
    const bool namesCaller = record.kind == JournalRecord::Kind::Register &&
                             (count == kCallerDeviceField + 1 || count == kCallerProcessFields);
    if (count != fieldsOf(record.kind) && !namesCaller) return false;
    // Service ids are 32-bit: a larger one is damage, which replay must not count up to.
    if (id > kLargestServiceId) return false;
    record.owner = static_cast<uid_t>(owner);
    record.id = static_cast<std::int64_t>(id);
    record.fields.resize(count);
    for (std::string& field : record.fields) {
        if (!in.text(field)) return false;
    }
    return in.atEnd();
}

std::uint64_t littleEndian(std::string_view bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        value |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    }
    return value;
}

// What bytes start with: a record that checks, decoded into record; the start of one that
// runs past them; or damage. length is the record's, header included, once its length is one a
// record may have.
RecordScanner::Found recordAt(std::string_view bytes, JournalRecord& record, std::size_t& length) {
    if (bytes.size() < kHeaderSize) return RecordScanner::Found::Partial;
    const std::uint64_t size = littleEndian(bytes.substr(0, 4));
    if (size < kSmallestPayload || size > kLargestPayload) return RecordScanner::Found::Damage;
    length = kHeaderSize + size;
    if (bytes.size() < length) return RecordScanner::Found::Partial;
    const std::string_view payload = bytes.substr(kHeaderSize, size);
    if (!isKnownKind(static_cast<unsigned char>(payload[0])) ||
        crc32(payload) != littleEndian(bytes.substr(4, 4)) || !decoded(payload, record)) {
        return RecordScanner::Found::Damage;
    }
    return RecordScanner::Found::Record;
}

}  // namespace

void nameCallerDevice(JournalRecord& record, const std::string& device) {
    record.fields.resize(kCallerDeviceField);
    record.fields.push_back(device);
}

std::string callerDeviceOf(const JournalRecord& record) {
    if (record.kind != JournalRecord::Kind::Register) return std::string();
    return record.fields.size() > kCallerDeviceField ? record.fields[kCallerDeviceField]
                                                     : std::string();
}

void nameCallerProcess(JournalRecord& record, const std::string& pid,
                       const std::string& startTime) {
    nameCallerDevice(record, std::string());
    record.fields.push_back(pid);
    record.fields.push_back(startTime);
}

std::optional<JournalRecord> callerRecordOf(const JournalRecord& record, std::int64_t id) {
    if (record.kind != JournalRecord::Kind::Register ||
        record.fields.size() != kCallerProcessFields) {
        return std::nullopt;
    }
    return JournalRecord{
        JournalRecord::Kind::Caller, record.owner, id, {record.fields[3], record.fields[4]}};
}

std::string encodeRecord(const JournalRecord& record) {
    std::size_t size = kHeaderSize + kSmallestPayload;
    for (const std::string& field : record.fields) size += 4 + field.size();
    std::string out;
    out.reserve(size);
    out.resize(kHeaderSize);  // the payload's length and checksum, known once it is written
    putNumber(out, static_cast<std::uint8_t>(record.kind), 1);
    putNumber(out, record.owner, 4);
    putNumber(out, static_cast<std::uint64_t>(record.id), 8);
    putNumber(out, record.fields.size(), 1);
    for (const std::string& field : record.fields) {
        putNumber(out, field.size(), 4);
        out += field;
    }
    const std::string_view payload = std::string_view(out).substr(kHeaderSize);
    std::string header;
    putNumber(header, payload.size(), 4);
    putNumber(header, crc32(payload), 4);
    out.replace(0, kHeaderSize, header);
    return out;
}

void RecordScanner::feed(const char* data, std::size_t size) {
    if (position >= kConsumedKept) {
        pending.erase(0, position);
        position = 0;
    }
    pending.append(data, size);
}

void RecordScanner::end() {
    ended = true;
}

bool RecordScanner::next(JournalRecord& record) {
    for (;;) {
        const std::string_view left = std::string_view(pending).substr(position);
        std::size_t length = 0;
        const Found found = recordAt(left, record, length);
        if (found == Found::Record) {
            dropped += zerosSkipped;  // zero bytes between records are damage too
            zerosSkipped = 0;
            position += length;
            consumed += length;
            recordsEnd = consumed;
            atRecordStart = true;
            return true;
        }
        if (found == Found::Partial) {
            if (!ended) return false;  // the rest of the record is still to come
            if (left.empty()) return false;
            skipByte();
            continue;
        }
        // A record where one must start (not a byte found searching after damage), of a length
        // that fits, is skipped whole when it ends where that length says: what it holds, a
        // peer's names, is never read as records of its own.
        const std::optional<bool> endsThere = atRecordStart && length != 0
                                                  ? endsWhereItSays(left.substr(length))
                                                  : std::optional<bool>(false);
        if (!endsThere) return false;
        if (*endsThere) {
            skipDamaged(length);
        } else {
            skipByte();
        }
    }
}

// After a damaged record: a record that checks, or nothing but zero bytes to the end, the room
// after the last record, which a crash cut short.
std::optional<bool> RecordScanner::endsWhereItSays(std::string_view rest) const {
    JournalRecord following;
    std::size_t length = 0;
    const Found found = recordAt(rest, following, length);
    if (found == Found::Record) return true;
    if (found == Found::Partial && !ended) return std::nullopt;
    if (rest.find_first_not_of('\0') != std::string_view::npos) return false;
    return ended ? std::optional<bool>(true) : std::nullopt;
}

void RecordScanner::skipDamaged(std::size_t length) {
    dropped += zerosSkipped + length;
    zerosSkipped = 0;
    position += length;
    consumed += length;
    atRecordStart = true;
}

// A byte that starts no record is damage, unless it is one of the zero bytes after the last
// record, the room kept for later ones.
void RecordScanner::skipByte() {
    if (pending[position] == '\0') {
        ++zerosSkipped;
    } else {
        dropped += zerosSkipped + 1;
        zerosSkipped = 0;
    }
    ++position;
    ++consumed;
    atRecordStart = false;
}

}  // namespace svcreg
