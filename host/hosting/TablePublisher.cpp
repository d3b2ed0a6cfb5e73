#include "TablePublisher.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "FileIdentity.h"
#include "HostLog.h"
#include "SystemError.h"
#include "TableSnapshot.h"

namespace svcreg {

namespace {

using File = SharedTableFile;

// Each half holds this much at first; the file is sparse, so only what is written takes memory.
constexpr std::uint64_t kFirstHalfCapacity = 256 * 1024;

std::vector<SnapshotCreator> creatorsOf(const std::vector<JournalRecord>& records,
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
    const std::uint64_t stored = page().magic == File::kMagic ? page().halfCapacity.load() : 0;
    const bool storedFits = stored > kFirstHalfCapacity && (stored & (stored - 1)) == 0 &&
                            stored <= static_cast<std::size_t>(status.st_size) / 2 &&
                            File::fileSize(stored) <= static_cast<std::size_t>(status.st_size);
    const std::uint64_t capacity = storedFits ? stored : kFirstHalfCapacity;
    if (capacity != kFirstHalfCapacity && !map(capacity, error)) return false;
    page().magic = File::kMagic;
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
    if (mapped != nullptr) munmap(mapped, mappedSize);
    mapped = fresh;
    mappedSize = size;
    return true;
}

// Under the pipeline's lock, before the change is acknowledged.
void TablePublisher::lookupsChanged() {
    if (mapped == nullptr) return;
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
bool TablePublisher::publish(const RegistryState& state) {
    std::uint32_t word = page().word.load(std::memory_order_acquire);
    if (holdsGeneration(File::halfOf(word), File::generationOf(word))) return true;
    Contents contents = contentsOf(state);
    const std::size_t size =
        tableSnapshotSize(contents.entries, contents.proxies, contents.invokers);
    if (size > page().halfCapacity.load()) {
        if (!grow(size)) return false;
        word = page().word.load(std::memory_order_acquire);
    }
    const unsigned other = 1 - File::halfOf(word);
    // The word that retired the other half is seen before anything written into it.
    std::atomic_thread_fence(std::memory_order_release);
    writeTableSnapshot(
        static_cast<char*>(mapped) + File::halfOffset(other, page().halfCapacity.load()),
        File::generationOf(word), state.nextId(), contents.entries, std::move(contents.proxies),
        std::move(contents.invokers));
    page().word.store(File::wordOf(File::generationOf(word), other), std::memory_order_release);
    return true;
}

bool TablePublisher::holdsGeneration(unsigned half, std::uint32_t generation) const {
    const std::uint64_t capacity = page().halfCapacity.load();
    TableSnapshotView view;
    std::string why;
    return view.open(static_cast<const char*>(mapped) + File::halfOffset(half, capacity), capacity,
                     why) &&
           view.generation() == generation;
}

// The halves move as they grow, so the word moves on first: every reader then throws away what
// it reads, and asks for the snapshot this daemon is about to write.
bool TablePublisher::grow(std::size_t needed) {
    std::uint64_t capacity = page().halfCapacity.load();
    while (capacity < needed) capacity *= 2;
    page().word.fetch_add(2, std::memory_order_release);
    std::string error;
    if (!map(capacity, error)) {
        HOST_FAILURE("Cannot share the table (%zu bytes): %s", needed, error.c_str());
        return false;
    }
    page().halfCapacity.store(capacity, std::memory_order_release);
    return true;
}

TablePublisher::Contents TablePublisher::contentsOf(const RegistryState& state) {
    const std::vector<JournalRecord> creators = state.creatorRecords();
    return {state.inTableOrder(), creatorsOf(creators, JournalRecord::Kind::Proxy),
            creatorsOf(creators, JournalRecord::Kind::Invoker)};
}

std::string TablePublisher::encode(const RegistryState& state, std::uint32_t generation) {
    Contents contents = contentsOf(state);
    return encodeTableSnapshot(generation, state.nextId(), contents.entries,
                               std::move(contents.proxies), std::move(contents.invokers));
}

}  // namespace svcreg
