#include "search/search.h"

#include <algorithm>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "core/long_call.h"
#include "core/open.h"
#include "core/parse_hex.h"
#include "core/state.h"
#include "platform/guard.h"
#include "platform/os.h"
#include "platform/stream.h"
#include "search/scan.h"

uint8_t s_search_pat[HV_MAX_PATTERN];
uint8_t s_search_mask[HV_MAX_PATTERN];
int64_t s_search_patlen;
int64_t s_match_cursor;
int64_t s_n_matches;
int64_t s_matches[HV_MAX_MATCHES];
int64_t s_last_match = -1;

namespace {

int compile_hex(const char *pattern) {
    int64_t n = 0;
    uint8_t *values = nullptr;
    uint8_t *mask = nullptr;
    if (hv_parse_hex(pattern, &n, &values, &mask) != 0) {
        hv_err("invalid hex pattern: %s", pattern);
        return -1;
    }
    if (n > HV_MAX_PATTERN) {
        hv_free(values);
        hv_free(mask);
        hv_err("hex pattern too long");
        return -1;
    }
    std::memcpy(s_search_pat, values, static_cast<std::size_t>(n));
    std::memcpy(s_search_mask, mask, static_cast<std::size_t>(n));
    hv_free(values);
    hv_free(mask);
    s_search_patlen = n;
    return 0;
}

int compile_ascii(const char *pattern) {
    std::size_t n = std::strlen(pattern);
    if (n == 0 || n > HV_MAX_PATTERN) {
        hv_err("empty or too-long ascii pattern");
        return -1;
    }
    std::memcpy(s_search_pat, pattern, n);
    std::memset(s_search_mask, 0xff, n);
    s_search_patlen = static_cast<int64_t>(n);
    return 0;
}

// Each 8-bit character becomes one little-endian code unit with a zero high byte.
int compile_utf16(const char *pattern) {
    std::size_t n = std::strlen(pattern);
    if (n == 0 || n > HV_MAX_PATTERN / 2) {
        hv_err("empty or too-long utf16 pattern");
        return -1;
    }
    for (std::size_t i = 0; i < n; i++) {
        s_search_pat[2 * i] = static_cast<uint8_t>(pattern[i]);
        s_search_pat[2 * i + 1] = 0x00;
    }
    std::memset(s_search_mask, 0xff, 2 * n);
    s_search_patlen = static_cast<int64_t>(2 * n);
    return 0;
}

int compile(const char *mode, const char *pattern) {
    if (std::strcmp(mode, "hex") == 0) return compile_hex(pattern);
    if (std::strcmp(mode, "ascii") == 0) return compile_ascii(pattern);
    if (std::strcmp(mode, "utf16") == 0) return compile_utf16(pattern);
    hv_err("unknown search mode: %s (use hex|ascii|utf16)", mode);
    return -1;
}

bool view_lost() { return hv_guard_lost(HV_GUARD_VIEW); }

// A search as it runs: its progress, its read-ahead, and why it stopped early.
struct search_run {
    hv_long_call &call;
    hv_stream stream;
    int64_t first;
    bool stopped_by_cancel;
    int64_t hits_before = 0;  // found in the windows scanned before this one
};

bool go_on(void *context, int64_t next, const hv_scan_hits &hits) {
    auto &run = *static_cast<search_run *>(context);
    hv_stream_at(run.stream, next);
    run.call.advance(next - run.first, run.hits_before + hits.count);
    run.stopped_by_cancel = run.call.cancelled();
    return !run.stopped_by_cancel && !view_lost();
}

// True when a hit needs some byte that is not zero: then none lies wholly in
// a hole of a sparse file (which reads as zeros), and the holes are skipped.
bool zeros_cannot_match() {
    for (int64_t i = 0; i < s_search_patlen; i++)
        if (s_search_mask[i] == 0xff && s_search_pat[i] != 0) return true;
    return false;
}

// Scans only around the file's runs of data: a candidate that lies wholly in
// a hole cannot match, and one that starts up to len - 1 bytes before a run
// reaches into it. The hits are those of one scan of the whole range, as
// the windows are taken in order and the next starts past the last hit.
void scan_data_runs(const uint8_t *view, int64_t size, int64_t first, hv_handle file, hv_scan_hits &hits,
                    search_run &run) {
    const int64_t len = s_search_patlen;
    hv_scan_watch watch{go_on, &run};
    int64_t pos = first;
    while (pos <= size - len) {
        int64_t at = pos, end = size;
        if (!hv_os->next_data(file, pos, size, &at, &end)) at = pos, end = size;
        if (at >= size) break;  // only a hole is left
        at = std::max(at, pos);
        end = std::max(end, at + 1);
        const int64_t window = std::max(pos, at - (len - 1));
        run.hits_before = hits.count;
        hv_scan_hits found{hits.stored + std::min(hits.count, hits.room), std::max<int64_t>(0, hits.room - hits.count),
                           0, -1};
        if (!go_on(&run, window, found)) return;
        hv_scan(view, std::min(size, end + len - 1), window, s_search_pat, s_search_mask, len, found, &watch);
        if (run.stopped_by_cancel || view_lost()) return;
        hits.count += found.count;
        if (found.count > 0) hits.last = found.last;
        pos = std::max(end, found.count > 0 ? found.last + len : end);
    }
}

// Scans the view without the engine lock: nothing it reads changes meanwhile
// (opens, closes, saves and other searches are refused while it runs).
hv_scan_hits scan_view(const uint8_t *view, int64_t size, search_run &run) {
    hv_scan_hits hits{s_matches, HV_MAX_MATCHES, 0, -1};
    // The open file once more, to ask where its holes are, when they may be skipped.
    hv_handle_closer holes{zeros_cannot_match() ? hv_open_again() : HV_NO_HANDLE};
    hv_unlocked unlocked;
    hv_protected_read guard;
    if (holes.h != HV_NO_HANDLE) {
        scan_data_runs(view, size, run.first, holes.h, hits, run);
    } else {
        hv_scan_watch watch{go_on, &run};
        hv_scan(view, size, run.first, s_search_pat, s_search_mask, s_search_patlen, hits, &watch);
    }
    hv_stream_end(run.stream);
    return hits;
}

}  // namespace

int hv_search(const char *mode, const char *pattern, int64_t start) {
    if (!hv_require_open()) return -1;
    if (!mode || !pattern) {
        hv_err("NULL mode/pattern");
        return -1;
    }
    s_n_matches = 0;
    s_match_cursor = 0;
    s_last_match = -1;
    if (compile(mode, pattern) != 0) return -1;
    if (!S.view) return 0;  // an empty file, or a view released by a failed save
    if (hv_check_shrank()) return -1;
    const int64_t first = start < 0 ? 0 : start > S.file_size ? S.file_size : start;
    hv_long_call call(HV_OP_SEARCH, S.file_size - first);
    search_run run{call, hv_stream_begin(S.view, S.file_size, first), first, false};
    hv_scan_hits hits = scan_view(S.view, S.file_size, run);
    // Hits found before the file shrank may stand next to zeros read after,
    // and a cancelled search has only some: none of them is kept.
    if (hv_check_shrank()) return -1;
    if (run.stopped_by_cancel) return call.fail_cancelled();
    s_n_matches = hits.count;
    s_last_match = hits.last;
    call.finish(hits.count);
    return 0;
}
