#include "core/thread_buffers.h"

#include <cstdlib>

#include "platform/thread_slot.h"

namespace {

constexpr std::size_t kMiB = 1048576;

constexpr std::size_t kSizes[HV_BUF_COUNT] = {
    1024,   // HV_BUF_ERROR
    4096,   // HV_BUF_INFO
    kMiB,   // HV_BUF_PAGE
    kMiB,   // HV_BUF_ASCII
    512,    // HV_BUF_SEARCH_FIELD
    kMiB,   // HV_BUF_STAGED
    1024,   // HV_BUF_COMPARE_FIELD
    1024,   // HV_BUF_ENTROPY
    256,    // HV_BUF_PROGRESS
};

// A thread's buffers, kept in the platform's per-thread slot and freed with
// it when the thread ends.
struct thread_buffers {
    char *buf[HV_BUF_COUNT];
};

void release_buffers(void *p) {
    auto *t = static_cast<thread_buffers *>(p);
    for (char *b : t->buf) std::free(b);
    std::free(t);
}

// The calling thread's buffer table; made on first use when `make` is set.
thread_buffers *current_buffers(bool make) {
    auto *t = static_cast<thread_buffers *>(hv_thread_slot_get());
    if (t || !make) return t;
    t = static_cast<thread_buffers *>(std::calloc(1, sizeof(thread_buffers)));
    if (t && !hv_thread_slot_set(t, release_buffers)) {
        std::free(t);
        t = nullptr;
    }
    return t;
}

}  // namespace

std::size_t hv_thread_buffer_size(hv_buffer_id id) { return kSizes[id]; }

char *hv_thread_buffer(hv_buffer_id id) {
    thread_buffers *t = current_buffers(true);
    if (!t) return nullptr;
    char *&b = t->buf[id];
    if (!b) b = static_cast<char *>(std::calloc(1, kSizes[id]));
    return b;
}

char *hv_thread_buffer_if_made(hv_buffer_id id) {
    thread_buffers *t = current_buffers(false);
    return t ? t->buf[id] : nullptr;
}
