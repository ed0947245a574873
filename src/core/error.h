// The calling thread's last failure message.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#define HV_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define HV_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

constexpr std::size_t HV_ERR_SIZE = 1024;

// Records a printf-style failure message, cut to 1023 characters.
void hv_err(const char *fmt, ...) HV_PRINTF(1, 2);

// Empties the calling thread's error text (done by every release).
void hv_err_clear();

// The calling thread's error text; never null.
const char *hv_err_text();

// printf-style text into out (room for cap bytes), cut to fit, as every
// message is; for the parts of a message built before it is recorded.
void hv_format(char *out, std::size_t cap, const char *fmt, ...) HV_PRINTF(3, 4);
