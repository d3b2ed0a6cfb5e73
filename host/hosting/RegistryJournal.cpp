#include "RegistryJournal.h"

#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <fcntl.h>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "HostLog.h"

namespace svcreg {

namespace {

// A record on file: its payload's length and CRC-32, four bytes each, then the payload.
constexpr std::size_t kHeaderSize = 8;
// Far above any record a frame can carry; a length beyond it is damage.
constexpr std::uint32_t kLargestPayload = 64u << 20;
// The file grows by this much room at a time: an append that finds room makes no system call.
constexpr std::size_t kRoomStep = 64 << 10;
// The next id after the largest a 32-bit signed counter gives.
constexpr std::uint64_t kLargestServiceId = std::uint64_t{1} << 31;

std::uint32_t crc32(std::string_view bytes) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> built{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            built[n] = c;
        }
        return built;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char byte : bytes) {
        crc = table[(crc ^ static_cast<unsigned char>(byte)) & 0xFFu] ^ (crc >> 8);
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
    explicit PayloadReader(const std::string& payload) : bytes(payload) {}

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
        value.assign(bytes, position, size);
        position += size;
        return true;
    }
    bool atEnd() const { return position == bytes.size(); }

private:
    const std::string& bytes;
    std::size_t position = 0;
};

// How many fields a record of each kind holds.
std::size_t fieldsOf(JournalRecord::Kind kind) {
    switch (kind) {
        case JournalRecord::Kind::Register:
        case JournalRecord::Kind::Deregister:
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

bool decoded(const std::string& payload, JournalRecord& record) {
    PayloadReader in(payload);
    std::uint64_t kind = 0, owner = 0, id = 0, count = 0;
    if (!in.number(kind, 1) || !in.number(owner, 4) || !in.number(id, 8) || !in.number(count, 1)) {
        return false;
    }
    if (kind < 1 || kind > static_cast<std::uint64_t>(JournalRecord::Kind::NextId)) return false;
    record.kind = static_cast<JournalRecord::Kind>(kind);
    if (count != fieldsOf(record.kind)) return false;
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

// Writes all of bytes at offset.
bool writeAllAt(int fd, const std::string& bytes, std::size_t offset) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = pwrite(fd, bytes.data() + written, bytes.size() - written,
                                 static_cast<off_t>(offset + written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

// File systems whose fallocate gives a file the blocks its pages will be stored to, so that
// filling reserved room through a mapping cannot fail for want of space.
bool keepsReservedRoom(int fd) {
    struct statfs system {};
    if (fstatfs(fd, &system) != 0) return false;
    switch (static_cast<unsigned long>(system.f_type)) {
        case TMPFS_MAGIC:
        case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
        case XFS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

std::string systemError(const std::string& what, const std::string& path) {
    return "cannot " + what + " '" + path + "': " + std::strerror(errno);
}

}  // namespace

std::string RegistryJournal::encode(const JournalRecord& record) {
    std::size_t size = kHeaderSize + 14;
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

std::vector<JournalRecord> RegistryJournal::parse(const std::string& bytes, std::size_t& dropped) {
    std::vector<JournalRecord> records;
    std::size_t position = 0;
    while (bytes.size() - position >= kHeaderSize) {
        const std::string headerBytes = bytes.substr(position, kHeaderSize);
        PayloadReader header(headerBytes);
        std::uint64_t size = 0, crc = 0;
        header.number(size, 4);
        header.number(crc, 4);
        if (size > kLargestPayload || bytes.size() - position - kHeaderSize < size) break;
        const std::string payload = bytes.substr(position + kHeaderSize, size);
        JournalRecord record;
        if (crc32(payload) != crc || !decoded(payload, record)) break;
        records.push_back(std::move(record));
        position += kHeaderSize + size;
    }
    std::size_t end = bytes.size();
    while (end > position && bytes[end - 1] == '\0') --end;  // room left for later records
    dropped = end - position;
    return records;
}

RegistryJournal::RegistryJournal(std::string path) : file(std::move(path)) {}

RegistryJournal::~RegistryJournal() {
    unmap();
}

void RegistryJournal::unmap() {
    if (mapped != nullptr) munmap(mapped, capacity);
    mapped = nullptr;
    capacity = 0;
}

bool RegistryJournal::load(std::vector<JournalRecord>& records, std::string& error) {
    const UniqueFd input(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!input.valid()) {
        if (errno == ENOENT) return true;
        error = systemError("open", file);
        return false;
    }
    struct stat status {};
    if (fstat(input.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        (status.st_uid != geteuid() && status.st_uid != 0)) {
        error = "'" + file + "' is not a file of this user's: the registry's state is not read";
        return false;
    }
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = read(input.get(), &bytes[filled], bytes.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = systemError("read", file);
            return false;
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
    records = parse(bytes, dropped);
    return true;
}

bool RegistryJournal::rewrite(const std::vector<JournalRecord>& records, std::string& error) {
    // A name nobody can foresee, so that no other user can have put a file in its way.
    std::string fresh = file + ".XXXXXX";
    UniqueFd written(mkostemp(&fresh[0], O_CLOEXEC));
    if (!written.valid()) {
        error = systemError("create", fresh);
        return false;
    }
    std::string bytes;
    for (const JournalRecord& record : records) bytes += encode(record);
    if (!writeAllAt(written.get(), bytes, 0) || rename(fresh.c_str(), file.c_str()) != 0) {
        error = systemError("write", fresh);
        unlink(fresh.c_str());
        return false;
    }
    unmap();
    output = std::move(written);
    mappable = keepsReservedRoom(output.get());
    used = bytes.size();
    appended = 0;
    std::string noRoom;
    if (!reserve(used + kRoomStep, noRoom)) {
        HOST_FAILURE("No room for changes after the rewrite: %s", noRoom.c_str());
    }
    return true;
}

bool RegistryJournal::reserve(std::size_t needed, std::string& error) {
    if (needed <= capacity && (mapped != nullptr || !mappable)) return true;
    const std::size_t grown = needed / kRoomStep * kRoomStep + kRoomStep;
    int failure = EBADF;
    do {
        failure = output.valid() ? posix_fallocate(output.get(), 0, grown) : EBADF;
    } while (failure == EINTR);
    if (failure != 0) {
        errno = failure;
        error = systemError("grow", file);
        return false;
    }
    if (mappable) {
        void* remapped = mapped != nullptr ? mremap(mapped, capacity, grown, MREMAP_MAYMOVE)
                                           : mmap(nullptr, grown, PROT_READ | PROT_WRITE,
                                                  MAP_SHARED, output.get(), 0);
        if (remapped == MAP_FAILED) {
            error = systemError("map", file);
            return false;
        }
        mapped = static_cast<char*>(remapped);
    }
    capacity = grown;
    return true;
}

bool RegistryJournal::append(const JournalRecord& record, std::string& error) {
    const std::string bytes = encode(record);
    if (!reserve(used + bytes.size(), error)) return false;
    if (mapped != nullptr) {
        std::memcpy(mapped + used, bytes.data(), bytes.size());
    } else if (!writeAllAt(output.get(), bytes, used)) {
        error = systemError("append to", file);
        return false;  // room it filled in part is overwritten by the next record
    }
    used += bytes.size();
    ++appended;
    return true;
}

}  // namespace svcreg
