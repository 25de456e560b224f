// posix_memory.cc -- the request body's memory on POSIX systems: huge pages where offered.
#include "platform/platform.h"

#include "platform/c_library.h"

#include <sys/mman.h>

// The huge-page size of x86-64 and of 4 KiB-page arm64; elsewhere the advice merely goes unused.
static constexpr std::size_t hugePageSize = std::size_t{2} << 20;

static std::size_t roundUp(std::size_t size, std::size_t unit) {
    return (size + unit - 1) / unit * unit;
}

// A fresh area is filled by faulting in one page at a time, and the kernel clears each page
// first: with 4 KiB pages a 20 MB body takes some 5 000 faults, with 2 MiB pages ten. Smaller
// bodies stay on the heap, where the rounding to whole huge pages would cost more than it saves.
void* platformAllocateBody(std::size_t size) {
    // A size too near the end of the address space to be rounded up is the heap's to refuse.
    if (size < hugePageSize || size > SIZE_MAX - 2 * hugePageSize) return std::calloc(size, 1);
    std::size_t used = roundUp(size, hugePageSize);
    // One huge page more than used, so that the area can start on a huge-page boundary.
    std::size_t mapped = used + hugePageSize;
    void* area = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return nullptr;
    auto first = reinterpret_cast<std::uintptr_t>(area);
    std::uintptr_t start = roundUp(first, hugePageSize);
    // The unused head and tail go back; they are virtual only, no page was touched.
    if (start > first) munmap(area, start - first);
    std::size_t tail = first + mapped - (start + used);
    if (tail > 0) munmap(reinterpret_cast<void*>(start + used), tail);
#ifdef MADV_HUGEPAGE
    // Advice only: where transparent huge pages are switched off, small pages serve as before.
    madvise(reinterpret_cast<void*>(start), used, MADV_HUGEPAGE);
#endif
    // Anonymous pages read as zero: the body's terminating zero byte is there already.
    return reinterpret_cast<void*>(start);
}
