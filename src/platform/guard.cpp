// The platform-neutral half of the protected reads: the watched mappings, the
// per-thread counter and the lost marks. The handlers live in guard_posix.cpp
// and guard_win32.cpp.
#include "platform/guard.h"

#include <atomic>

namespace {

// Lock-free atomics, so the signal handler may read and write them.
struct watched_mapping {
    std::atomic<uintptr_t> base{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> lost{false};
    std::atomic<uintptr_t> replaced{0};  // base of a view the handler replaced, until freed
};

watched_mapping g_watched[HV_GUARD_SLOTS];

// A plain counter, so reading it in a signal handler is one load. On ELF
// systems the initial-exec model makes it a fixed offset from the thread
// pointer: no call that could allocate, and nothing to set up per thread.
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local unsigned t_protected_depth = 0;

}  // namespace

void hv_guard_watch(hv_guard_slot slot, const uint8_t *base, int64_t size) {
    watched_mapping &w = g_watched[slot];
    uintptr_t b = base && size > 0 ? reinterpret_cast<uintptr_t>(base) : 0;
    // Cleared first, so the handler never sees a new base with an old end.
    w.base.store(0, std::memory_order_relaxed);
    w.end.store(b ? b + static_cast<uintptr_t>(size) : 0, std::memory_order_relaxed);
    w.lost.store(false, std::memory_order_relaxed);
    w.base.store(b, std::memory_order_release);
}

bool hv_guard_lost(hv_guard_slot slot) { return g_watched[slot].lost.load(std::memory_order_acquire); }

// The signal fences keep the compiler from moving reads of the mapping out of
// the stretch where the counter says the thread is inside.
hv_protected_read::hv_protected_read() {
    t_protected_depth = t_protected_depth + 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

hv_protected_read::~hv_protected_read() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t_protected_depth = t_protected_depth - 1;
}

int hv_guard_slot_of(uintptr_t address, uintptr_t *base, uintptr_t *end) {
    for (int s = 0; s < HV_GUARD_SLOTS; s++) {
        uintptr_t b = g_watched[s].base.load(std::memory_order_acquire);
        uintptr_t e = g_watched[s].end.load(std::memory_order_relaxed);
        if (b && address >= b && address < e) {
            *base = b;
            *end = e;
            return s;
        }
    }
    return -1;
}

bool hv_guard_thread_inside() { return t_protected_depth > 0; }

void hv_guard_mark_lost(int slot, const uint8_t *replaced) {
    if (replaced) g_watched[slot].replaced.store(reinterpret_cast<uintptr_t>(replaced), std::memory_order_relaxed);
    g_watched[slot].lost.store(true, std::memory_order_release);
}

bool hv_guard_take_replaced(const uint8_t *base) {
    uintptr_t b = reinterpret_cast<uintptr_t>(base);
    for (watched_mapping &w : g_watched) {
        uintptr_t expected = b;
        if (b && w.replaced.compare_exchange_strong(expected, 0)) return true;
    }
    return false;
}
