#include "search/results.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/error.h"
#include "core/json.h"
#include "core/open.h"
#include "core/state.h"
#include "core/thread_buffers.h"
#include "platform/guard.h"
#include "search/search.h"

namespace {

constexpr int64_t kContextAround = 16;  // bytes shown before and after a hit
constexpr std::size_t kContextChars = 504;
constexpr std::size_t kEscapeScratch = 600;

int64_t stored_hits() { return std::min(s_n_matches, HV_MAX_MATCHES); }

struct window {
    const uint8_t *bytes;
    std::size_t n;
};

// 16 bytes before the hit, the hit and 16 after, clipped to the file open now.
// Empty when the file has no view (empty, or released by a failed save).
window context_window(int64_t hit) {
    if (!S.view) return {nullptr, 0};
    int64_t lo = std::max<int64_t>(hit - kContextAround, 0);
    int64_t room = S.file_size - hit;  // no overflow for any hit offset
    int64_t hi = room <= s_search_patlen + kContextAround ? S.file_size : hit + s_search_patlen + kContextAround;
    if (lo >= hi) return {nullptr, 0};
    return {S.view + lo, static_cast<std::size_t>(hi - lo)};
}

const char *context_hex(window w, char *out) {
    *hv_put_hex(out, w.bytes, std::min(w.n, kContextChars / 2)) = '\0';
    return out;
}

// The escaped text, cut to fit the buffer before an escape pair, never inside one.
void copy_whole_escapes(const char *escaped, char *out, std::size_t cap) {
    std::size_t cut = 0;
    for (std::size_t i = 0; escaped[i];) {
        std::size_t step = escaped[i] == '\\' ? 2 : 1;
        if (i + step > cap - 1) break;
        i += step;
        cut = i;
    }
    std::memcpy(out, escaped, cut);
    out[cut] = '\0';
}

const char *context_ascii(window w, char *out, std::size_t cap) {
    uint8_t text[kContextChars];
    std::size_t n = std::min(w.n, kContextChars);
    for (std::size_t i = 0; i < n; i++) text[i] = (w.bytes[i] >= 0x20 && w.bytes[i] <= 0x7e) ? w.bytes[i] : '.';
    char escaped[kEscapeScratch];
    hv_json_escape(escaped, sizeof escaped, text, n);
    copy_whole_escapes(escaped, out, cap);
    return out;
}

// The context of a hit, read from the file open now; "" with a message when
// the file shrank under that read or an earlier one.
const char *read_context(int64_t hit, bool hex, char *out, std::size_t cap) {
    if (hv_check_shrank()) return out;
    {
        hv_protected_read guard;
        if (hex)
            context_hex(context_window(hit), out);
        else
            context_ascii(context_window(hit), out, cap);
    }
    if (hv_check_shrank()) out[0] = '\0';
    return out;
}

}  // namespace

int32_t hv_search_count() {
    if (!hv_require_open()) return -1;
    return s_n_matches > INT32_MAX ? INT32_MAX : static_cast<int32_t>(s_n_matches);
}

int64_t hv_search_next() {
    if (!hv_require_open()) return -1;
    if (s_match_cursor >= stored_hits()) return -1;
    return s_matches[s_match_cursor++];
}

int64_t hv_search_last() {
    if (!S.is_open || s_n_matches == 0) return -1;
    return s_last_match;
}

const char *hv_search_field(int32_t index, const char *field) {
    char *out = hv_thread_buffer(HV_BUF_SEARCH_FIELD);
    if (!out) return "";
    const std::size_t cap = hv_thread_buffer_size(HV_BUF_SEARCH_FIELD);
    out[0] = '\0';
    if (!hv_require_open()) return out;
    if (index < 0 || index >= stored_hits()) {
        hv_err("search index out of range");
        return out;
    }
    if (!field) return out;
    int64_t hit = s_matches[index];
    if (std::strcmp(field, "offset") == 0) {
        std::snprintf(out, cap, "0x%016llx", static_cast<unsigned long long>(hit));
        return out;
    }
    bool hex = std::strcmp(field, "context_hex") == 0;
    if (!hex && std::strcmp(field, "context_ascii") != 0) {
        hv_err("unknown field: %s (offset|context_hex|context_ascii)", field);
        return out;
    }
    return read_context(hit, hex, out, cap);
}
