// Per-thread result buffers: made zero-filled on the heap on first use, kept at
// one address for the thread's life and freed when the thread ends. A thread
// that never calls a function carries none of its buffer.
#pragma once

#include <cstddef>

enum hv_buffer_id {
    HV_BUF_ERROR,          // hx_last_error, 1024
    HV_BUF_INFO,           // hx_info_json, 4096
    HV_BUF_PAGE,           // hx_page, 1 MiB
    HV_BUF_ASCII,          // hx_ascii_only, 1 MiB
    HV_BUF_SEARCH_FIELD,   // hx_search_field, 512
    HV_BUF_STAGED,         // hx_staged_json, 1 MiB
    HV_BUF_COMPARE_FIELD,  // hx_compare_field, 1024
    HV_BUF_ENTROPY,        // hx_entropy_json, 1024
    HV_BUF_PROGRESS,       // hx_progress_json, 256
    HV_BUF_COUNT
};

std::size_t hv_thread_buffer_size(hv_buffer_id id);

// The calling thread's buffer, made on first use; null only when memory ran out.
char *hv_thread_buffer(hv_buffer_id id);

// The calling thread's buffer if it was made already, else null.
char *hv_thread_buffer_if_made(hv_buffer_id id);
