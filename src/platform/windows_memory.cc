// windows_memory.cc -- the request body's memory on Windows: pages committed directly.
#include "platform/platform.h"

#include <windows.h>

#include <cstdlib>

// Above this the C runtime's heap hands out its own committed pages and clears them all before
// the body is read into them; pages committed directly read as zero and are touched only by the
// read. Large pages need a privilege a CGI program does not have, so small pages it is.
static constexpr std::size_t directPagesFrom = std::size_t{1} << 20;

void* platformAllocateBody(std::size_t size) {
    if (size < directPagesFrom) return std::calloc(size, 1);
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}
