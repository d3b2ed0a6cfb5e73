#include "TablePublisher.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "FileIdentity.h"
#include "HostLog.h"
#include "SystemError.h"
#include "TableSnapshot.h"

namespace svcreg {

namespace {

using File = SharedTableFile;

// Each half holds this much at first; the file is sparse, so only what is written takes memory.
constexpr std::uint64_t kFirstHalfCapacity = 256 * 1024;

std::vector<SnapshotCreator> creatorsOfKind(const std::vector<JournalRecord>& records,
                                            JournalRecord::Kind kind) {
    std::vector<SnapshotCreator> creators;
    for (const JournalRecord& record : records) {
        if (record.kind != kind) continue;
        const std::vector<std::string>& f = record.fields;  // lib, creatorFn, ifc, protocol
        creators.push_back(
            {kind == JournalRecord::Kind::Invoker ? f[2] + "," + f[3] : f[2], f[0], f[1]});
    }
    return creators;
}

}  // namespace

TablePublisher::TablePublisher(RegistryPipeline& pipeline) : pipeline(pipeline) {}

TablePublisher::~TablePublisher() {
    if (mapped == nullptr) return;
    // Release, paired with the readers' acquire loads of the word in LocalTable: a reader that
    // sees the word moved on sees serving 0 too, and reads no half of this daemon's again.
    page().serving.store(0, std::memory_order_release);
    page().word.fetch_add(2, std::memory_order_release);
    page().wakeWaiters();
    munmap(mapped, mappedSize);
}

// A file left by a daemon before is used again, whatever it holds: clients that map it must
// learn that this daemon serves now.
bool TablePublisher::open(const std::string& path, std::string& error) {
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd writable(::open(path.c_str(), O_RDWR | O_CREAT | flags, 0600));
    struct stat status {};
    if (!writable.valid() || fstat(writable.get(), &status) != 0) {
        error = systemError("open", path);
        return false;
    }
    // A second name for the file may be a link someone planted to a file of this user's.
    if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() || status.st_nlink != 1) {
        error = "'" + path + "' is not a regular file of this user's, of this name only";
        return false;
    }
    UniqueFd reader(::open(path.c_str(), O_RDONLY | flags));
    if (!reader.valid() || FileIdentity::of(reader.get()) != FileIdentity::of(writable.get())) {
        error = "'" + path + "' was replaced while it was opened";
        return false;
    }
    if (fchmod(writable.get(), 0600) != 0) {
        error = systemError("set the mode of", path);
        return false;
    }
    file = std::move(writable);
    readOnlyFile = std::move(reader);
    // The halves as the file holds them, when it is whole; else as at first.
    if (!map(kFirstHalfCapacity, error)) return false;
    // Relaxed: what a daemon before wrote is ordered before this load by the file's open.
    const std::uint64_t stored =
        page().magic == File::kMagic ? page().halfCapacity.load(std::memory_order_relaxed) : 0;
    const bool storedFits = stored > kFirstHalfCapacity && (stored & (stored - 1)) == 0 &&
                            File::holds(static_cast<std::size_t>(status.st_size), stored);
    const std::uint64_t capacity = storedFits ? stored : kFirstHalfCapacity;
    if (capacity != kFirstHalfCapacity && !map(capacity, error)) return false;
    page().magic = File::kMagic;
    // Release, paired with the acquire load of serving in LocalTable::currentHalf: a reader that
    // sees this daemon serve sees the page's magic and capacity as it set them.
    page().halfCapacity.store(capacity, std::memory_order_release);
    page().serving.store(1, std::memory_order_release);
    pipeline.addListener(this, [this](const RegistryState&) {
        lookupsChanged();  // what the file holds is not this daemon's
    });
    return true;
}

// The file's blocks are taken before it is mapped: a write through the mapping into a hole
// the file system has no room for would end this process (SIGBUS), and the file system may be
// one the group's members can fill.
bool TablePublisher::map(std::uint64_t halfCapacity, std::string& error) {
    const std::size_t size = File::fileSize(halfCapacity);
    const int failed = posix_fallocate(file.get(), 0, static_cast<off_t>(size));
    if (failed != 0) {
        error = std::string("no room for the shared table: ") + std::strerror(failed);
        return false;
    }
    void* fresh = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file.get(), 0);
    if (fresh == MAP_FAILED) {
        error = std::string("cannot map the shared table: ") + std::strerror(errno);
        return false;
    }
    // Only the pages written are read: no read-ahead of the rest (the zeros of the blocks
    // taken) into the page cache and this process's resident pages at the first touch.
    madvise(fresh, size, MADV_RANDOM);
    if (mapped != nullptr) munmap(mapped, mappedSize);
    mapped = fresh;
    mappedSize = size;
    return true;
}

// Under the pipeline's lock, before the change is acknowledged.
void TablePublisher::lookupsChanged() {
    if (mapped == nullptr) return;
    // Release, paired with the readers' acquire loads of the word: the moved word is what they
    // check a half against, and waiters see it before the wake that follows, which the futex
    // compares in the kernel, so no wake is lost.
    page().word.fetch_add(2, std::memory_order_release);
    page().wakeWaiters();
}

std::vector<int> TablePublisher::share() {
    if (mapped == nullptr) return {};
    bool published = false;
    pipeline.whileUnchanged([&](const RegistryState& state) { published = publish(state); });
    if (!published) return {};
    const int copy = fcntl(readOnlyFile.get(), F_DUPFD_CLOEXEC, 0);
    return copy >= 0 ? std::vector<int>{copy} : std::vector<int>{};
}

// Readers of the half written to read it under an older word, and so throw away what they read.
// The daemon alone writes the page, always under the pipeline's lock: its own loads of the page
// see its last stores whatever their order; those that say acquire order nothing more.
bool TablePublisher::publish(const RegistryState& state) {
    const std::uint32_t word = page().word.load(std::memory_order_acquire);
    if (holdsGeneration(File::halfOf(word), File::generationOf(word))) return true;
    // The creators and other devices' entries are gathered before the library's lock is taken:
    // lookups wait on that lock.
    Creators creators = creatorsOf(state);
    bool written = false;
    const std::vector<SnapshotEntry> remote = state.remoteEntries().views();
    const auto states = declared != nullptr ? declared->interfaces()
                                            : std::vector<std::pair<std::string, DeclaredState>>();
    std::vector<SnapshotDeclared> declaredRows;
    for (const auto& [ifc, serviceState] : states) declaredRows.push_back({ifc, serviceState});
    state.readInTableOrder([&](const std::vector<SnapshotEntry>& entries) {
        std::vector<SnapshotEntry> merged;
        written = write(withRemote(entries, remote, merged), std::move(creators), state.nextId(),
                        declaredRows);
    });
    return written;
}

// Under the pipeline's lock and the library's, which keeps entries as they are.
bool TablePublisher::write(const std::vector<SnapshotEntry>& entries, Creators creators,
                           std::int64_t nextId, const std::vector<SnapshotDeclared>& declaredRows) {
    std::uint32_t word = page().word.load(std::memory_order_acquire);
    const std::size_t size =
        tableSnapshotSize(entries, creators.proxies, creators.invokers, declaredRows);
    if (size > page().halfCapacity.load(std::memory_order_relaxed)) {
        if (!grow(size)) return false;
        word = page().word.load(std::memory_order_acquire);
    }
    const unsigned other = 1 - File::halfOf(word);
    // The word that retired the other half is seen before anything written into it: paired with
    // the acquire fence in LocalTable::stillCurrent, a reader that read any of these bytes sees
    // that word at its second look, and throws them away.
    std::atomic_thread_fence(std::memory_order_release);
    writeTableSnapshot(
        static_cast<char*>(mapped) +
            File::halfOffset(other, page().halfCapacity.load(std::memory_order_relaxed)),
        File::generationOf(word), nextId, entries, std::move(creators.proxies),
        std::move(creators.invokers), declaredRows);
    // Release, paired with the readers' acquire loads of the word: a reader that sees this word
    // sees the snapshot it names whole.
    page().word.store(File::wordOf(File::generationOf(word), other), std::memory_order_release);
    return true;
}

// Relaxed: the daemon's own load of what it alone writes, under the pipeline's lock.
bool TablePublisher::holdsGeneration(unsigned half, std::uint32_t generation) const {
    const std::uint64_t capacity = page().halfCapacity.load(std::memory_order_relaxed);
    TableSnapshotView view;
    std::string why;
    return view.open(static_cast<const char*>(mapped) + File::halfOffset(half, capacity), capacity,
                     why) &&
           view.generation() == generation;
}

// The halves move as they grow, so the word moves on first: every reader then throws away what
// it reads, and asks for the snapshot this daemon is about to write.
bool TablePublisher::grow(std::size_t needed) {
    // Relaxed as in holdsGeneration; the word moves on with release as in lookupsChanged.
    std::uint64_t capacity = page().halfCapacity.load(std::memory_order_relaxed);
    while (capacity < needed) capacity *= 2;
    page().word.fetch_add(2, std::memory_order_release);
    std::string error;
    if (!map(capacity, error)) {
        HOST_FAILURE("Cannot share the table (%zu bytes): %s", needed, error.c_str());
        return false;
    }
    // Release, paired with the acquire load of the capacity in LocalTable::currentHalf: a reader
    // that sees the new capacity sees the word moved on above at its second look, and so throws
    // away what it read where the halves were.
    page().halfCapacity.store(capacity, std::memory_order_release);
    return true;
}

TablePublisher::Creators TablePublisher::creatorsOf(const RegistryState& state) {
    const std::vector<JournalRecord> records = state.creatorRecords();
    Creators creators{creatorsOfKind(records, JournalRecord::Kind::Proxy),
                      creatorsOfKind(records, JournalRecord::Kind::Invoker)};
    // After the local ones, which lookups of a key find first.
    state.remoteCreators().appendTo(creators.proxies, creators.invokers);
    return creators;
}

const std::vector<SnapshotEntry>& TablePublisher::withRemote(
    const std::vector<SnapshotEntry>& local, const std::vector<SnapshotEntry>& remote,
    std::vector<SnapshotEntry>& merged) {
    if (remote.empty()) return local;
    merged = withRemoteEntries(local, remote);
    return merged;
}

std::string TablePublisher::encode(const RegistryState& state, std::uint32_t generation) {
    Creators creators = creatorsOf(state);
    const std::vector<SnapshotEntry> remote = state.remoteEntries().views();
    std::string block;
    state.readInTableOrder([&](const std::vector<SnapshotEntry>& entries) {
        std::vector<SnapshotEntry> merged;
        block = encodeTableSnapshot(generation, state.nextId(), withRemote(entries, remote, merged),
                                    std::move(creators.proxies), std::move(creators.invokers));
    });
    return block;
}

}  // namespace svcreg
