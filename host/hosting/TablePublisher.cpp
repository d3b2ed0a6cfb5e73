#include "TablePublisher.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FileIdentity.h"
#include "HostLog.h"
#include "TableSnapshot.h"

namespace svcreg {

namespace {

constexpr unsigned kSnapshotSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

std::string systemError(const char* what, const std::string& path) {
    return std::string(what) + " '" + path + "': " + std::strerror(errno);
}

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

bool writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

TablePublisher::TablePublisher(RegistryPipeline& pipeline) : pipeline(pipeline) {}

TablePublisher::~TablePublisher() {
    if (page == nullptr) return;
    page->serving.store(0, std::memory_order_release);
    page->generation.fetch_add(1, std::memory_order_release);
    page->wakeWaiters();
    munmap(page, GenerationPage::kSize);
}

bool TablePublisher::open(const std::string& generationPath, std::string& error) {
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const UniqueFd file(::open(generationPath.c_str(), O_RDWR | O_CREAT | flags, 0600));
    struct stat status {};
    if (!file.valid() || fstat(file.get(), &status) != 0) {
        error = systemError("cannot open", generationPath);
        return false;
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
        error = "'" + generationPath + "' is not a regular file of this user's";
        return false;
    }
    UniqueFd reader(::open(generationPath.c_str(), O_RDONLY | flags));
    if (!reader.valid() || FileIdentity::of(reader.get()) != FileIdentity::of(file.get())) {
        error = "'" + generationPath + "' was replaced while it was opened";
        return false;
    }
    if ((static_cast<std::size_t>(status.st_size) < GenerationPage::kSize &&
         ftruncate(file.get(), GenerationPage::kSize) != 0) ||
        fchmod(file.get(), 0600) != 0) {
        error = systemError("cannot size", generationPath);
        return false;
    }
    void* mapped =
        mmap(nullptr, GenerationPage::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, file.get(), 0);
    if (mapped == MAP_FAILED) {
        error = systemError("cannot map", generationPath);
        return false;
    }
    page = static_cast<GenerationPage*>(mapped);
    readOnlyPage = std::move(reader);
    page->magic = GenerationPage::kMagic;
    page->serving.store(1, std::memory_order_release);
    lookupsChanged();  // snapshots of an earlier daemon are not this one's
    return true;
}

// Called under the pipeline's lock, before the change is acknowledged.
void TablePublisher::lookupsChanged() {
    if (page == nullptr) return;
    page->generation.fetch_add(1, std::memory_order_release);
    page->wakeWaiters();
}

std::vector<int> TablePublisher::share() {
    if (page == nullptr) return {};
    MutexLock hold(mutex);
    if (!snapshot.valid() ||
        snapshotGeneration != page->generation.load(std::memory_order_acquire)) {
        snapshot = snapshotNow(snapshotGeneration);
    }
    if (!snapshot.valid()) return {};
    const int pageCopy = fcntl(readOnlyPage.get(), F_DUPFD_CLOEXEC, 0);
    const int snapshotCopy = fcntl(snapshot.get(), F_DUPFD_CLOEXEC, 0);
    if (pageCopy < 0 || snapshotCopy < 0) {
        if (pageCopy >= 0) close(pageCopy);
        if (snapshotCopy >= 0) close(snapshotCopy);
        return {};
    }
    return {pageCopy, snapshotCopy};
}

TablePublisher::Contents TablePublisher::contentsOf(const RegistryState& state) {
    return {state.entries(), state.creatorRecords(), state.nextId()};
}

std::string TablePublisher::encode(Contents contents, std::uint32_t generation) {
    return encodeTableSnapshot(generation, contents.nextId, std::move(contents.entries),
                               creatorsOf(contents.creators, JournalRecord::Kind::Proxy),
                               creatorsOf(contents.creators, JournalRecord::Kind::Invoker));
}

// The generation is read while no change can be made, so the snapshot is exactly the tables of
// that generation.
UniqueFd TablePublisher::snapshotNow(std::uint32_t& generation) {
    Contents contents;
    pipeline.whileUnchanged([&](const RegistryState& state) {
        generation = page->generation.load(std::memory_order_acquire);
        contents = contentsOf(state);
    });
    const std::string block = encode(std::move(contents), generation);
    UniqueFd memory(memfd_create("svcreg-table", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memory.valid() || !writeAll(memory.get(), block) ||
        fcntl(memory.get(), F_ADD_SEALS, kSnapshotSeals) != 0) {
        HOST_FAILURE("Cannot share the table (%zu bytes): %s", block.size(), std::strerror(errno));
        return UniqueFd();
    }
    return memory;
}

}  // namespace svcreg
