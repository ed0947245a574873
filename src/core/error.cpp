#include "core/error.h"

#include <cstdarg>
#include <cstdio>

#include "core/thread_buffers.h"

void hv_err(const char *fmt, ...) {
    char *s_err = hv_thread_buffer(HV_BUF_ERROR);
    if (!s_err) return;  // no memory for the text: the failure result still stands
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(s_err, HV_ERR_SIZE, fmt, ap);
    va_end(ap);
}

void hv_err_clear() {
    // A thread that never failed has no text to empty: do not allocate for it.
    char *s_err = hv_thread_buffer_if_made(HV_BUF_ERROR);
    if (s_err) s_err[0] = '\0';
}

const char *hv_err_text() {
    const char *s_err = hv_thread_buffer_if_made(HV_BUF_ERROR);
    return s_err ? s_err : "";
}

void hv_format(char *out, std::size_t cap, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(out, cap, fmt, ap);
    va_end(ap);
}
