#include "array.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>

namespace velk {

void advise_huge_pages(const void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kMinBytes = std::size_t{4} << 20;
    if (bytes < kMinBytes) return;
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<std::uintptr_t>(data);
    // Rounded outwards to whole pages: the advice is a flag on the pages, so
    // covering the allocator's header (which shares the first page and begins
    // a large allocation's own, usually 2 MiB-aligned, mapping) harms nothing
    // and lets the first 2 MiB be a huge page too. The result is ignored:
    // without the advice the buffer works all the same.
    const std::uintptr_t begin = first / page * page;
    const std::uintptr_t end = (first + bytes + page - 1) / page * page;
    (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace velk
