#include "core/thread_buffers.h"

#include <cstdlib>

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
};

// Only pointers live in thread-local storage; the destructor runs at thread exit.
struct thread_buffers {
    char *buf[HV_BUF_COUNT] = {};
    ~thread_buffers() {
        for (char *&b : buf) {
            std::free(b);
            b = nullptr;
        }
    }
};

thread_local thread_buffers t_buffers;

}  // namespace

std::size_t hv_thread_buffer_size(hv_buffer_id id) { return kSizes[id]; }

char *hv_thread_buffer(hv_buffer_id id) {
    char *&b = t_buffers.buf[id];
    if (!b) b = static_cast<char *>(std::calloc(1, kSizes[id]));
    return b;
}

char *hv_thread_buffer_if_made(hv_buffer_id id) { return t_buffers.buf[id]; }
