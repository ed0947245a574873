// The Windows exception handler of the protected reads (see guard.h).
//
// Windows refuses to truncate a file that is mapped, but a view of a file on a
// network share or a removable disk that goes away raises
// EXCEPTION_IN_PAGE_ERROR on read. A vectored handler sees it first, on the
// faulting thread. The way back is the one of the POSIX handler, for the same
// reason (no jump across C++ frames): the view is replaced by zero memory and
// the read runs on. A view cannot be partly replaced here, so the whole view
// goes and its address range is reserved again at once; its pages are then
// committed on demand, a window at a time, as protected reads touch them, so a
// lost view of a large file costs memory only for what the rest of the call
// reads (the readers stop early once the view is lost). Release frees that
// memory instead of unmapping a view (hv_guard_take_replaced).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

#include "platform/guard.h"

namespace {

constexpr uintptr_t kCommitWindow = 65536;  // committed per access violation

std::atomic<bool> g_installed{false};
INIT_ONCE g_install_once = INIT_ONCE_STATIC_INIT;

// Commits the window of zero pages around `address` in a replaced view.
bool commit_window(uintptr_t address, uintptr_t base, uintptr_t end) {
    uintptr_t from = address / kCommitWindow * kCommitWindow;
    if (from < base) from = base;
    uintptr_t to = from + kCommitWindow < end ? from + kCommitWindow : end;
    return VirtualAlloc(reinterpret_cast<void *>(from), to - from, MEM_COMMIT, PAGE_READONLY) != nullptr;
}

// Puts reserved memory in the place of the whole view. False when the range
// could not be had again (another thread took it in between): the fault then
// goes on as if we were not there.
bool replace_view(int slot, uintptr_t address, uintptr_t base, uintptr_t end) {
    void *at = reinterpret_cast<void *>(base);
    if (!UnmapViewOfFile(at)) return false;
    if (VirtualAlloc(at, end - base, MEM_RESERVE, PAGE_NOACCESS) != at) return false;
    hv_guard_mark_lost(slot, static_cast<const uint8_t *>(at));
    return commit_window(address, base, end);
}

bool is_replaced(uintptr_t base) {
    MEMORY_BASIC_INFORMATION m;
    return VirtualQuery(reinterpret_cast<void *>(base), &m, sizeof m) == sizeof m && m.Type == MEM_PRIVATE;
}

LONG CALLBACK on_exception(EXCEPTION_POINTERS *ep) {
    const EXCEPTION_RECORD *rec = ep->ExceptionRecord;
    DWORD code = rec->ExceptionCode;
    if ((code != EXCEPTION_IN_PAGE_ERROR && code != EXCEPTION_ACCESS_VIOLATION) || rec->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    uintptr_t address = rec->ExceptionInformation[1];
    uintptr_t base = 0, end = 0;
    int slot = hv_guard_slot_of(address, &base, &end);
    if (slot < 0 || !hv_guard_thread_inside()) return EXCEPTION_CONTINUE_SEARCH;
    bool resumed = false;
    if (code == EXCEPTION_IN_PAGE_ERROR)
        resumed = is_replaced(base) ? commit_window(address, base, end) : replace_view(slot, address, base, end);
    else if (is_replaced(base))  // a page of a replaced view not committed yet
        resumed = commit_window(address, base, end);
    return resumed ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

BOOL CALLBACK install(PINIT_ONCE, PVOID, PVOID *) {
    // First in line, so the faults of our reads never reach a host's handler.
    if (AddVectoredExceptionHandler(1, on_exception)) g_installed.store(true, std::memory_order_release);
    return TRUE;
}

}  // namespace

void hv_guard_install() {
    if (g_installed.load(std::memory_order_acquire)) return;
    InitOnceExecuteOnce(&g_install_once, install, nullptr, nullptr);
}
