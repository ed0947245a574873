// Reads of the engine's mapped files that survive the file shrinking under
// them. Another program may truncate a file while it is mapped (a log rotated
// by copying and truncating, a rebuilt output, a restarted download); a read
// of a page the file no longer has then raises SIGBUS on POSIX systems. On
// Windows a mapped file cannot be truncated, but a view of a file on a network
// share or a removable disk that goes away raises EXCEPTION_IN_PAGE_ERROR.
//
// Inside a protected read the platform's handler puts zero pages where the
// missing ones were and marks the mapping lost; the read runs on over zeros,
// and the caller, which checks hv_guard_lost afterwards, fails the call.
// Every other fault goes to whatever handled it before the engine was there.
#pragma once

#include <cstdint>

// The mappings the handler watches: the open file's view and, during a
// compare, the compare file's.
enum hv_guard_slot {
    HV_GUARD_VIEW = 0,
    HV_GUARD_COMPARE = 1,
    HV_GUARD_SLOTS = 2,
};

// Installs the fault handler the first time it is called; later calls cost
// one atomic load. A handler that cannot be installed leaves reads unprotected.
void hv_guard_install();

// The mapping `slot` stands for from now on (base null: none), and a clean
// slate: the slot is no longer lost.
void hv_guard_watch(hv_guard_slot slot, const uint8_t *base, int64_t size);

// True once a protected read met a page of the slot's mapping that its file no
// longer has (since the last hv_guard_watch). The mapping then reads as zeros
// from that page on, so nothing read from it can be trusted any more.
bool hv_guard_lost(hv_guard_slot slot);

// Marks the calling thread as inside a protected read for the object's life.
// Costs no system call: a per-thread counter goes up and down. Protected reads
// may nest.
class hv_protected_read {
public:
    hv_protected_read();
    ~hv_protected_read();
    hv_protected_read(const hv_protected_read &) = delete;
    hv_protected_read &operator=(const hv_protected_read &) = delete;
};

// ---- For the platform layers.

// The slot whose watched mapping holds `address`, or -1.
int hv_guard_slot_of(uintptr_t address, uintptr_t *base, uintptr_t *end);

// Whether the calling thread is inside a protected read. Safe in a signal
// handler: a plain read of a small per-thread counter.
bool hv_guard_thread_inside();

// Records that the slot's mapping lost pages and, where the handler put other
// memory in place of the whole view (Windows), that `replaced` must be freed
// as such memory rather than unmapped.
void hv_guard_mark_lost(int slot, const uint8_t *replaced);

// True, once, when `base` is a view the handler replaced by other memory; the
// caller frees that memory instead of unmapping a view.
bool hv_guard_take_replaced(const uint8_t *base);
