#include "analysis/info.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "analysis/entropy.h"
#include "core/error.h"
#include "core/json.h"
#include "core/logical.h"
#include "core/open.h"
#include "core/state.h"
#include "core/thread_buffers.h"
#include "platform/guard.h"

namespace {

constexpr std::size_t kNameCap = 4096;
constexpr std::size_t kBucketListCap = 300;

// The profile of an empty file, written with one decimal as it always was.
constexpr char kEmptyProfile[] =
    "{\"entropy_avg\":0.0,\"entropy_min\":0.0,\"entropy_max\":0.0,"
    "\"buckets\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],\"sampled_bytes\":0}";

// Empties the report's buffer and tests for an open file. The text to return
// at once when false: the emptied buffer, or "" when memory for it ran out.
bool begin_report(hv_buffer_id id, const char *&result, char *&out) {
    out = hv_thread_buffer(id);
    result = out ? out : "";
    if (!out) return false;
    out[0] = '\0';
    if (!hv_require_open()) return false;
    return !hv_check_shrank();
}

// Sum of the lengths of all staged edits. Deletes may be as long as
// 2^63 - 1 each, so the sum stops at the largest value instead of wrapping.
int64_t staged_bytes() {
    int64_t sum = 0;
    for (int64_t i = 0; i < S.n_edits; i++) {
        if (__builtin_add_overflow(sum, S.edits[i].len, &sum)) return INT64_MAX;
    }
    return sum;
}

// Formats the summary with the path escaped into a `name_cap`-byte area.
// Returns the length of the whole text, counted as if nothing had been cut;
// `name_len` gets the length of the escaped path.
std::size_t format_summary(char *out, std::size_t name_cap, double entropy, std::size_t &name_len) {
    char name[kNameCap];
    const char *path = S.name ? S.name : "";
    hv_json_escape(name, name_cap, reinterpret_cast<const uint8_t *>(path), std::strlen(path));
    name_len = std::strlen(name);
    int n = std::snprintf(out, hv_thread_buffer_size(HV_BUF_INFO),
                          "{\"name\":\"%s\",\"size\":%lld,\"is_rw\":%d,\"entropy_avg\":%.4f,"
                          "\"modified\":%d,\"staged_bytes\":%lld}",
                          name, static_cast<long long>(hv_logical_size()), S.is_rw ? 1 : 0, entropy,
                          S.n_edits > 0 ? 1 : 0, static_cast<long long>(staged_bytes()));
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

}  // namespace

const char *hv_info_json(void) {
    const char *result;
    char *out;
    if (!begin_report(HV_BUF_INFO, result, out)) return result;
    double entropy;
    {
        hv_protected_read guard;
        entropy = hv_entropy_estimate(S.view, S.file_size);
    }
    if (hv_check_shrank()) return out;
    const std::size_t cap = hv_thread_buffer_size(HV_BUF_INFO);
    std::size_t name_len = 0;
    std::size_t n = format_summary(out, kNameCap, entropy, name_len);
    // A very long path would push the end of the object out of the buffer and
    // leave a cut text that is no JSON: the path is shortened instead (the
    // escaper never splits an escape), so every member after it fits.
    if (n >= cap) format_summary(out, cap - (n - name_len), entropy, name_len);
    return out;
}

const char *hv_entropy_json(void) {
    const char *result;
    char *out;
    if (!begin_report(HV_BUF_ENTROPY, result, out)) return result;
    if (S.file_size == 0) {
        std::memcpy(out, kEmptyProfile, sizeof kEmptyProfile);
        return out;
    }
    hv_profile p;
    {
        hv_protected_read guard;
        p = hv_entropy_profile(S.view, S.file_size);
    }
    if (hv_check_shrank()) return out;
    char buckets[kBucketListCap];
    std::size_t len = 0;
    for (int k = 0; k < 16; k++) {
        int n = std::snprintf(buckets + len, sizeof buckets - len, k ? ",%llu" : "%llu",
                              static_cast<unsigned long long>(p.buckets[k]));
        if (n > 0) len += static_cast<std::size_t>(n);
    }
    std::snprintf(out, hv_thread_buffer_size(HV_BUF_ENTROPY),
                  "{\"entropy_avg\":%.4f,\"entropy_min\":%.4f,\"entropy_max\":%.4f,"
                  "\"buckets\":[%s],\"sampled_bytes\":%lld}",
                  p.avg, p.min, p.max, buckets, static_cast<long long>(p.sampled));
    return out;
}
