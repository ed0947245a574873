// Win32 read-ahead and drop-behind for views read once.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/stream.h"

namespace {

struct range_entry {
    void *address;
    SIZE_T bytes;
};
using prefetch_fn = BOOL(WINAPI *)(HANDLE, ULONG_PTR, range_entry *, ULONG);

// PrefetchVirtualMemory exists from Windows 8 on; looked up so the DLL still
// loads where it does not.
prefetch_fn find_prefetch() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC f = kernel ? GetProcAddress(kernel, "PrefetchVirtualMemory") : nullptr;
    return reinterpret_cast<prefetch_fn>(reinterpret_cast<void *>(f));
}

}  // namespace

int64_t hv_stream_page() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity > 0 ? info.dwAllocationGranularity : 65536;
}

void hv_stream_prefetch(const uint8_t *base, int64_t n) {
    static const prefetch_fn prefetch = find_prefetch();
    if (!prefetch) return;
    range_entry r{const_cast<uint8_t *>(base), static_cast<SIZE_T>(n)};
    prefetch(GetCurrentProcess(), 1, &r, 0);
}

// A prefetch of exactly the range: Windows reads no more than it is asked to.
void hv_stream_pick(const uint8_t *base, int64_t n) {
    if (n > 0) hv_stream_prefetch(base, n);
}

void hv_stream_release(const uint8_t *base, int64_t n) {
    // Unlocking pages that are not locked takes them out of the working set:
    // the documented way to trim part of it. The call then reports
    // ERROR_NOT_LOCKED, which is expected.
    VirtualUnlock(const_cast<uint8_t *>(base), static_cast<SIZE_T>(n));
}
