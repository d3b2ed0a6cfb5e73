#include "StartupPages.h"

#include <link.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {

// The whole pages inside one segment: a page shared with a writable neighbour is kept.
std::size_t releaseSegment(std::uintptr_t begin, std::uintptr_t end, std::uintptr_t page) {
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = end & ~(page - 1);
    if (last <= first) return 0;
    const std::size_t length = last - first;
    return madvise(reinterpret_cast<void*>(first), length, MADV_DONTNEED) == 0 ? length : 0;
}

int releaseObject(dl_phdr_info* object, std::size_t, void* released) {
    // The vDSO is the kernel's own mapping, not a file's.
    if (object->dlpi_addr == getauxval(AT_SYSINFO_EHDR)) return 0;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < object->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = object->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0) continue;
        const std::uintptr_t begin = object->dlpi_addr + segment.p_vaddr;
        *static_cast<std::size_t*>(released) +=
            releaseSegment(begin, begin + segment.p_filesz, page);
    }
    return 0;
}

}  // namespace

std::size_t releaseStartupPages() {
    std::size_t released = 0;
    dl_iterate_phdr(releaseObject, &released);
    return released;
}
