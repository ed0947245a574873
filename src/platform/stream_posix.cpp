// POSIX read-ahead and drop-behind for mappings read once.
#include <sys/mman.h>
#include <unistd.h>

#include "platform/stream.h"

namespace {

// Linux 5.14 and later: fault the pages in now, in one call. Older kernels
// refuse it (EINVAL), and the plain hint is given instead.
#ifdef __linux__
constexpr int kPopulateRead = 22;  // MADV_POPULATE_READ, missing from older headers
#endif

void *as_address(const uint8_t *p) { return const_cast<uint8_t *>(p); }

}  // namespace

int64_t hv_stream_page() {
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? page : 4096;
}

void hv_stream_prefetch(const uint8_t *base, int64_t n) {
#ifdef __linux__
    // A page the file no longer has fails the call (EFAULT) instead of
    // raising SIGBUS: the reader then meets the loss itself, protected.
    if (madvise(as_address(base), static_cast<size_t>(n), kPopulateRead) == 0) return;
#endif
    posix_madvise(as_address(base), static_cast<size_t>(n), POSIX_MADV_WILLNEED);
}

void hv_stream_release(const uint8_t *base, int64_t n) {
    // On a shared file mapping this only unmaps the pages from the process;
    // the bytes stay in the file and the cache, and come back on a read.
    madvise(as_address(base), static_cast<size_t>(n), MADV_DONTNEED);
}

void hv_stream_pick(const uint8_t *base, int64_t n) {
    if (n <= 0) return;
    auto page = static_cast<uintptr_t>(hv_stream_page());
    uintptr_t from = reinterpret_cast<uintptr_t>(base) & ~(page - 1);
    uintptr_t to = reinterpret_cast<uintptr_t>(base) + static_cast<uintptr_t>(n);
    // The plain hint reads exactly the range, with no read-around (a fault
    // or MADV_POPULATE_READ would add it).
    posix_madvise(reinterpret_cast<void *>(from), to - from, POSIX_MADV_WILLNEED);
}
