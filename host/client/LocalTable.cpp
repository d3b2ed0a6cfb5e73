#include "LocalTable.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "FileIdentity.h"
#include "SharedMemoryRequest.h"
#include "UnixSocket.h"

namespace svcreg {

namespace {

using File = SharedTableFile;

// A daemon that shares nothing is asked again after this long.
constexpr std::chrono::seconds kRetryPause{1};
// The longest sleep on the page's word: anyone who maps the file may move the sleepers to a word
// nobody wakes, and they then see a change this late.
constexpr std::chrono::milliseconds kLongestSleep{10};
// The pause after a wake that changed nothing: anyone who maps the file may wake its sleepers,
// as often as they like.
constexpr std::chrono::milliseconds kPauseAfterEmptyWake{5};

}  // namespace

struct LocalTable::Mapping {
    Mapping(UniqueFd descriptor, const char* base, std::size_t size)
        : descriptor(std::move(descriptor)),
          file(FileIdentity::of(this->descriptor.get())),
          base(base),
          size(size) {}
    ~Mapping() { munmap(const_cast<char*>(base), size); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    // descriptor mapped read-only, whole; null when it is not the daemon's shared table.
    static std::unique_ptr<Mapping> of(UniqueFd descriptor) {
        struct stat status {};
        if (fstat(descriptor.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
            static_cast<std::size_t>(status.st_size) < File::kPageSize) {
            return nullptr;
        }
        const auto size = static_cast<std::size_t>(status.st_size);
        void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, descriptor.get(), 0);
        if (mapped == MAP_FAILED) return nullptr;
        auto mapping = std::make_unique<Mapping>(std::move(descriptor),
                                                 static_cast<const char*>(mapped), size);
        if (mapping->page().magic != File::kMagic) return nullptr;
        return mapping;
    }

    const File::Page& page() const { return *reinterpret_cast<const File::Page*>(base); }

    const UniqueFd descriptor;
    const FileIdentity file;
    const char* const base;
    const std::size_t size;
};

LocalTable::LocalTable(std::string socketPath, std::string channel, Trust trusted,
                       std::chrono::milliseconds timeout, HostFramework& framework)
    : framework(framework),
      line(std::move(socketPath), std::move(channel), std::move(trusted), timeout) {}

LocalTable::~LocalTable() {
    MutexLock hold(refreshing);
    framework.unwatchPeer(lineWatch);
}

std::optional<DeclaredState> LocalTable::declaredState(std::string_view ifc, Deadline deadline) {
    std::optional<DeclaredState> state;
    if (!read([&](const TableSnapshotView& view) { state = view.declaredStateOf(ifc); },
              deadline)) {
        return std::nullopt;
    }
    return state;
}

LocalTable::Half LocalTable::currentHalf(Deadline deadline) {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        // Acquire, paired with the release stores of current: the mapping is seen whole.
        const Mapping* mapping = current.load(std::memory_order_acquire);
        if (mapping == nullptr) {
            if (!refresh(nullptr, 0, deadline)) return Half();
            continue;
        }
        const File::Page& page = mapping->page();
        Half half;
        // Acquire, paired with the daemon's release stores of the word (TablePublisher): the
        // snapshot the word names is seen whole, and the capacity at least as it stood then.
        half.word = page.word.load(std::memory_order_acquire);
        // Acquire, paired with the release store in TablePublisher::grow: a larger capacity
        // makes the word moved on before it seen at stillCurrent.
        const std::uint64_t capacity = page.halfCapacity.load(std::memory_order_acquire);
        if (!File::holds(mapping->size, capacity)) {
            if (!remap(mapping, capacity)) return Half();
            continue;
        }
        std::string why;
        // Acquire, paired with the daemon's release stores of serving (TablePublisher).
        const bool served = page.serving.load(std::memory_order_acquire) != 0;
        if (served &&
            half.view.open(mapping->base + File::halfOffset(File::halfOf(half.word), capacity),
                           capacity, why) &&
            half.view.generation() == File::generationOf(half.word)) {
            if (lineHungUp()) continue;
            half.mapping = mapping;
            return half;
        }
        if (!refresh(mapping, half.word, deadline)) return Half();
    }
    return Half();
}

// Relaxed: the numbers only say whether to look; the look itself, and what it changes, are
// under the refreshing lock.
bool LocalTable::lineHungUp() {
    const std::uint64_t number = lineNumber.load(std::memory_order_relaxed);
    if (number == 0 || hungUpLine.load(std::memory_order_relaxed) != number) return false;
    MutexLock hold(refreshing);
    if (lineNumber.load(std::memory_order_relaxed) != number) return false;
    dropLine();
    return true;
}

// The watch tells the line's number, and only a later line's number replaces it: a watch of an
// earlier line told late never hides the hang-up of the current one.
bool LocalTable::watchLine() {
    framework.unwatchPeer(lineWatch);
    const std::uint64_t number = ++linesMade;
    const Result<PeerWatchId> watch = framework.watchHangUp(line.descriptor(), [this, number] {
        std::uint64_t told = hungUpLine.load(std::memory_order_relaxed);
        while (told < number &&
               !hungUpLine.compare_exchange_weak(told, number, std::memory_order_relaxed)) {
        }
    });
    lineWatch = watch ? *watch : 0;
    lineNumber.store(watch ? number : 0, std::memory_order_relaxed);
    return watch.ok();
}

void LocalTable::dropLine() {
    framework.unwatchPeer(lineWatch);
    lineWatch = 0;
    lineNumber.store(0, std::memory_order_relaxed);
    line.hangUp();
    // Release, as every store of current, for its acquire loads outside the refreshing lock.
    current.store(nullptr, std::memory_order_release);
}

// The reads of the half come before the second look at the word: the acquire fence pairs with the
// release fence in TablePublisher::publish, so a read of bytes written after the first look makes
// the word that retired the half seen here; relaxed is then enough for the load itself.
bool LocalTable::stillCurrent(const Half& half) {
    std::atomic_thread_fence(std::memory_order_acquire);
    return half.mapping->page().word.load(std::memory_order_relaxed) == half.word;
}

bool LocalTable::refresh(const Mapping* mapping, std::uint32_t word, Deadline deadline) {
    MutexLock hold(refreshing);
    // Relaxed: current is stored only under the refreshing lock, held here; and a moved word
    // only sends the caller to look again, with acquire loads of its own.
    const Mapping* now = current.load(std::memory_order_relaxed);
    if (now != mapping ||
        (now != nullptr && now->page().word.load(std::memory_order_relaxed) != word)) {
        return true;
    }
    const auto clock = std::chrono::steady_clock::now();
    if (clock < retryAfter) return false;
    std::vector<UniqueFd> shared;
    const bool answered = line.ask(shared, deadline) == ShareOutcome::Shared;
    // The daemon has written the current snapshot before it answered; the descriptor comes on a
    // new line only.
    if (answered && shared.empty() && now != nullptr) return true;
    if (!answered || shared.size() != 1 || !watchLine()) {
        dropLine();
        retryAfter = clock + kRetryPause;
        return false;
    }
    if (const Mapping* kept = keptOf(FileIdentity::of(shared[0].get()))) {
        current.store(kept, std::memory_order_release);  // as in keep
        return true;
    }
    std::unique_ptr<Mapping> fresh = Mapping::of(std::move(shared[0]));
    if (fresh == nullptr) {
        retryAfter = clock + kRetryPause;
        return false;
    }
    keep(std::move(fresh));
    return true;
}

bool LocalTable::remap(const Mapping* mapping, std::uint64_t capacity) {
    MutexLock hold(refreshing);
    // Relaxed: current is stored only under the refreshing lock, held here.
    if (current.load(std::memory_order_relaxed) != mapping) return true;
    std::unique_ptr<Mapping> larger =
        Mapping::of(UniqueFd(fcntl(mapping->descriptor.get(), F_DUPFD_CLOEXEC, 0)));
    if (larger == nullptr || !File::holds(larger->size, capacity)) return false;
    keep(std::move(larger));
    return true;
}

// The last mapping made of a file is the largest.
const LocalTable::Mapping* LocalTable::keptOf(const FileIdentity& file) const {
    for (auto kept = mappings.rbegin(); kept != mappings.rend(); ++kept) {
        if ((*kept)->file == file) return kept->get();
    }
    return nullptr;
}

// Release, paired with the acquire loads of current outside the refreshing lock: the mapping is
// seen whole there.
void LocalTable::keep(std::unique_ptr<Mapping> mapping) {
    current.store(mapping.get(), std::memory_order_release);
    mappings.push_back(std::move(mapping));
}

// The loads of current and of the word are acquire for the reasons currentHalf gives: the caller
// reads the table next.
bool LocalTable::waitWhile(std::uint32_t seen, std::chrono::nanoseconds timeout) {
    const Mapping* mapping = current.load(std::memory_order_acquire);
    if (mapping == nullptr) return false;
    const File::Page& page = mapping->page();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::uint32_t word = page.word.load(std::memory_order_acquire);
        const auto left = deadline - std::chrono::steady_clock::now();
        if (File::generationOf(word) != seen || left <= left.zero()) return true;
        const bool woken =
            page.waitWhile(word, std::min<std::chrono::nanoseconds>(left, kLongestSleep));
        if (woken && page.word.load(std::memory_order_acquire) == word) {
            std::this_thread::sleep_for(
                std::min<std::chrono::nanoseconds>(left, kPauseAfterEmptyWake));
            return true;
        }
    }
}

void LocalTable::wakeWaiters() {
    const Mapping* mapping = current.load(std::memory_order_acquire);  // the mapping seen whole
    if (mapping != nullptr) mapping->page().wakeWaiters();
}

}  // namespace svcreg
