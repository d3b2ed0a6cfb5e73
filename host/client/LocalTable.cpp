#include "LocalTable.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "FileIdentity.h"
#include "SharedMemoryRequest.h"

namespace svcreg {

namespace {

// A daemon that shares nothing is asked again after this long.
constexpr std::chrono::seconds kRetryPause{1};
// What a snapshot must be sealed against: nobody may change it, or cut it short under a reader.
constexpr int kRequiredSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

// descriptor mapped read-only whole; null when it is not a file of at least least bytes.
void* mapReadOnly(int descriptor, std::size_t least, std::size_t& size) {
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) < least) {
        return nullptr;
    }
    size = static_cast<std::size_t>(status.st_size);
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, descriptor, 0);
    return mapped != MAP_FAILED ? mapped : nullptr;
}

}  // namespace

struct LocalTable::PageMapping {
    PageMapping(const GenerationPage* page, FileIdentity file) : page(page), file(file) {}
    ~PageMapping() { munmap(const_cast<GenerationPage*>(page), GenerationPage::kSize); }
    PageMapping(const PageMapping&) = delete;
    PageMapping& operator=(const PageMapping&) = delete;

    const GenerationPage* const page;
    const FileIdentity file;
};

struct LocalTable::Mapping {
    ~Mapping() {
        if (bytes != nullptr) munmap(bytes, size);
    }

    const GenerationPage* page = nullptr;
    void* bytes = nullptr;
    std::size_t size = 0;
    TableSnapshotView view;
};

LocalTable::LocalTable(std::string socketPath, std::string channel, Trust trusted,
                       std::chrono::milliseconds timeout)
    : socketPath(std::move(socketPath)),
      channel(std::move(channel)),
      trusted(std::move(trusted)),
      timeout(timeout) {}

LocalTable::~LocalTable() {
    delete current.load();
}

const TableSnapshotView& LocalTable::viewOf(const Mapping& mapping) {
    return mapping.view;
}

bool LocalTable::isCurrent(const Mapping& mapping) {
    const GenerationPage& page = *mapping.page;
    return page.serving.load(std::memory_order_acquire) != 0 &&
           page.generation.load(std::memory_order_acquire) == mapping.view.generation();
}

// A snapshot is unmapped only once it is no longer current and no reader is counted: a reader
// counts itself before it loads the current one, so one counted later finds a newer one.
const LocalTable::Mapping* LocalTable::enter() {
    readers.fetch_add(1);
    const Mapping* mapping = current.load();
    if (mapping != nullptr && isCurrent(*mapping)) return mapping;
    readers.fetch_sub(1);
    if (!refresh()) return nullptr;
    // What refresh mapped is at least as new as the generation seen above: use it, even if the
    // generation has moved on again meanwhile.
    readers.fetch_add(1);
    mapping = current.load();
    if (mapping != nullptr) return mapping;
    readers.fetch_sub(1);
    return nullptr;
}

bool LocalTable::refresh() {
    MutexLock hold(refreshing);
    const Mapping* mapping = current.load();
    if (mapping != nullptr && isCurrent(*mapping)) return true;  // another reader fetched it
    const auto now = std::chrono::steady_clock::now();
    if (now < retryAfter) return false;
    std::unique_ptr<Mapping> fresh = fetch();
    if (fresh == nullptr) {
        retryAfter = now + kRetryPause;
        return false;
    }
    lastPage = fresh->page;
    retired.emplace_back(current.exchange(fresh.release()));
    reclaim();
    return true;
}

std::unique_ptr<LocalTable::Mapping> LocalTable::fetch() {
    std::vector<UniqueFd> shared;
    if (requestSharedMemory(socketPath, channel, trusted, timeout, shared) !=
            ShareOutcome::Shared ||
        shared.size() != 2 || fcntl(shared[1].get(), F_GET_SEALS) < 0 ||
        (fcntl(shared[1].get(), F_GET_SEALS) & kRequiredSeals) != kRequiredSeals) {
        return nullptr;
    }
    auto fresh = std::make_unique<Mapping>();
    fresh->page = pageIn(shared[0].get());
    if (fresh->page == nullptr) return nullptr;
    fresh->bytes = mapReadOnly(shared[1].get(), 1, fresh->size);
    std::string why;
    if (fresh->bytes == nullptr ||
        !fresh->view.open(static_cast<const char*>(fresh->bytes), fresh->size, why)) {
        return nullptr;
    }
    return fresh;
}

void LocalTable::reclaim() {
    if (readers.load() == 0) retired.clear();
}

const GenerationPage* LocalTable::pageIn(int descriptor) {
    const FileIdentity file = FileIdentity::of(descriptor);
    for (const auto& page : pages) {
        if (page->file == file) return page->page;
    }
    std::size_t size = 0;
    auto* page =
        static_cast<const GenerationPage*>(mapReadOnly(descriptor, GenerationPage::kSize, size));
    if (page == nullptr) return nullptr;
    pages.push_back(std::make_unique<const PageMapping>(page, file));
    return page->magic == GenerationPage::kMagic ? page : nullptr;
}

bool LocalTable::waitWhile(std::uint32_t seen, std::chrono::nanoseconds timeout) {
    const GenerationPage* page = lastPage.load();
    if (page == nullptr) return false;
    page->waitWhile(seen, timeout);
    return true;
}

void LocalTable::wakeWaiters() {
    const GenerationPage* page = lastPage.load();
    if (page != nullptr) page->wakeWaiters();
}

}  // namespace svcreg
