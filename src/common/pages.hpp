// Mapping the pages of a large fresh buffer ahead of writing it.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace arbolite {

// Asks the kernel to map the whole pages inside [data, data + size) at once
// (MADV_POPULATE_WRITE), instead of taking one page fault per page as they
// are first written: for a buffer of many megabytes the faults cost more
// than the writing. Smaller buffers are left alone: the C library tends to
// hand out memory it has mapped before for them, where the call would only
// cost. Only a hint; where the kernel or the C library does not know it,
// nothing happens.
inline void populate_for_writing(void* data, size_t size) noexcept {
#if defined(MADV_POPULATE_WRITE)
    constexpr size_t min_size = size_t{32} << 20;
    if (size < min_size) return;
    static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto at = reinterpret_cast<uintptr_t>(data);
    const uintptr_t begin = (at + page - 1) & ~(page - 1);
    const uintptr_t end = (at + size) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace arbolite
