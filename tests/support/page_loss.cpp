#include "support/page_loss.h"

#include "support/child_process.h"

#ifdef _WIN32
#include <atomic>

#include "support/win32.h"

namespace {

struct lost_range {
    std::atomic<uintptr_t> from{0};
    std::atomic<uintptr_t> to{0};
};
lost_range g_ranges[4];
void *g_handler = nullptr;

// STATUS_DEVICE_NOT_CONNECTED: what a read of a share that went away reports.
constexpr ULONG_PTR kDeviceGone = 0xC000009D;

LONG CALLBACK as_in_page_error(EXCEPTION_POINTERS *ep) {
    EXCEPTION_RECORD *rec = ep->ExceptionRecord;
    if (rec->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || rec->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    uintptr_t address = rec->ExceptionInformation[1];
    for (lost_range &r : g_ranges) {
        if (address >= r.from.load() && address < r.to.load()) {
            rec->ExceptionCode = EXCEPTION_IN_PAGE_ERROR;
            rec->NumberParameters = 3;
            rec->ExceptionInformation[2] = kDeviceGone;
            break;
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool lose_file_tail(const std::string &, const uint8_t *view, int64_t size, int64_t keep) {
    if (!view || keep >= size) return false;
    // Added after the engine's handler (installed by the first open), so it runs first.
    if (!g_handler) g_handler = AddVectoredExceptionHandler(1, as_in_page_error);
    uintptr_t from = reinterpret_cast<uintptr_t>(view) + static_cast<uintptr_t>(keep);
    uintptr_t to = reinterpret_cast<uintptr_t>(view) + static_cast<uintptr_t>(size);
    for (lost_range &r : g_ranges) {
        if (r.from.load() != 0) continue;
        r.to.store(to);
        r.from.store(from);
        DWORD old = 0;
        return VirtualProtect(reinterpret_cast<void *>(from), to - from, PAGE_NOACCESS, &old) != 0;
    }
    return false;
}

void forget_page_loss() {
    for (lost_range &r : g_ranges) {
        r.from.store(0);
        r.to.store(0);
    }
}

#else

bool lose_file_tail(const std::string &path, const uint8_t *, int64_t, int64_t keep) {
    return resize_from_another_process(path, keep);
}

void forget_page_loss() {}

#endif
