#include "RegistryJournal.h"

#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <fcntl.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "HostLog.h"
#include "SystemError.h"

namespace svcreg {

namespace {

// The file grows by this much room at a time: an append that finds room makes no system call.
constexpr std::size_t kRoomStep = 64 << 10;
// The file is read in pieces of this size.
constexpr std::size_t kReadPiece = 64 << 10;

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

}  // namespace

std::vector<JournalRecord> RegistryJournal::parse(const std::string& bytes, std::size_t& dropped) {
    RecordScanner scanner;
    scanner.feed(bytes.data(), bytes.size());
    scanner.end();
    std::vector<JournalRecord> records;
    for (JournalRecord record; scanner.next(record);) records.push_back(record);
    dropped = scanner.droppedBytes();
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

bool RegistryJournal::load(const std::function<void(const JournalRecord&)>& take,
                           std::string& error) {
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
    RecordScanner scanner;
    JournalRecord record;
    std::string piece(kReadPiece, '\0');
    for (;;) {
        const ssize_t n = read(input.get(), &piece[0], piece.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = systemError("read", file);
            return false;
        }
        if (n == 0) break;
        scanner.feed(piece.data(), static_cast<std::size_t>(n));
        while (scanner.next(record)) take(record);
    }
    scanner.end();
    while (scanner.next(record)) take(record);
    dropped = scanner.droppedBytes();
    loadedEnd = scanner.endOfRecords();
    return true;
}

bool RegistryJournal::rewrite(const Records& records, std::string& error) {
    // One name, in the folder only this user may write: a rewrite cut short by the daemon's end
    // leaves its file there, and the next rewrite writes over it instead of leaving another.
    const std::string fresh = file + ".new";
    UniqueFd written(open(fresh.c_str(),
                          O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat status {};
    if (!written.valid() || fstat(written.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        error = systemError("create", fresh);
        return false;
    }
    std::string bytes;
    records([&bytes](const JournalRecord& record) { bytes += encode(record); });
    if (!writeAllAt(written.get(), bytes, 0) || rename(fresh.c_str(), file.c_str()) != 0) {
        error = systemError("write", fresh);
        unlink(fresh.c_str());
        return false;
    }
    useForAppends(std::move(written), bytes.size());
    rewrittenSize = used;
    return true;
}

bool RegistryJournal::appendAfterLoaded(std::string& error) {
    UniqueFd existing(
        open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat status {};
    if (!existing.valid() || fstat(existing.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        error = systemError("open", file);
        return false;
    }
    useForAppends(std::move(existing), loadedEnd);
    rewrittenSize = used;
    return true;
}

void RegistryJournal::useForAppends(UniqueFd opened, std::size_t recordsEnd) {
    unmap();
    output = std::move(opened);
    mappable = keepsReservedRoom(output.get());
    used = recordsEnd;
    struct stat status {};
    // Room the file has already, and any damage after its records, is written over.
    capacity = fstat(output.get(), &status) == 0 ? static_cast<std::size_t>(status.st_size) : 0;
    std::string noRoom;
    if (!reserve(used + kRoomStep, noRoom)) {
        HOST_FAILURE("No room for changes in the journal: %s", noRoom.c_str());
    }
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
    return true;
}

}  // namespace svcreg
