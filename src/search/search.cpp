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

// Bytes read at a time when the search reads the file rather than its mapping.
constexpr int64_t kReadChunk = 1 << 20;

// A search as it runs: its progress, how it reads the file, and why it
// stopped early.
struct search_run {
    hv_long_call &call;
    int64_t first;
    const uint8_t *view;
    hv_stream stream;           // read-ahead over the view, when it is read
    hv_handle file;             // the file read through a buffer, or none
    uint8_t *buffer;            // kReadChunk + HV_MAX_PATTERN bytes, with `file`
    int64_t hits_before = 0;    // found before the scan now running
    bool stopped_by_cancel = false;
    bool read_failed = false;
};

bool go_on(void *context, int64_t next, const hv_scan_hits &hits) {
    auto &run = *static_cast<search_run *>(context);
    hv_stream_at(run.stream, next);
    run.call.advance(next - run.first, run.hits_before + hits.count);
    run.stopped_by_cancel = run.call.cancelled();
    return !run.stopped_by_cancel && !view_lost();
}

// The room left in the hit table after `hits`, for the next scan's hits.
hv_scan_hits room_after(const hv_scan_hits &hits) {
    return hv_scan_hits{hits.stored + std::min(hits.count, hits.room), std::max<int64_t>(0, hits.room - hits.count), 0,
                        -1};
}

// Adds a later scan's hits, whose offsets count from `base`.
void add_hits(hv_scan_hits &hits, const hv_scan_hits &found, int64_t base) {
    for (int64_t i = 0; i < std::min(found.count, found.room); i++) found.stored[i] += base;
    hits.count += found.count;
    if (found.count > 0) hits.last = found.last + base;
}

// Scans the candidates that lie wholly in [from, to) of the mapped view.
bool scan_mapped(search_run &run, int64_t from, int64_t to, hv_scan_hits &hits) {
    run.hits_before = hits.count;
    hv_scan_hits found = room_after(hits);
    hv_scan_watch watch{go_on, &run};
    hv_scan(run.view, to, from, s_search_pat, s_search_mask, s_search_patlen, found, &watch);
    add_hits(hits, found, 0);
    return !run.stopped_by_cancel && !view_lost();
}

// Fills n bytes of the buffer from the file at `at`. A file that ends before
// them has shrunk: that is recorded as a lost page of the view would be.
bool read_chunk(search_run &run, int64_t at, int64_t n) {
    int64_t done = 0;
    while (done < n) {
        std::size_t got = 0;
        if (!hv_os->read_at(run.file, at + done, run.buffer + done, static_cast<std::size_t>(n - done), &got)) {
            run.read_failed = true;
            return false;
        }
        if (got == 0) {
            hv_guard_mark_lost(HV_GUARD_VIEW, nullptr);
            return false;
        }
        done += static_cast<int64_t>(got);
    }
    return true;
}

// As scan_mapped, through the buffer a chunk at a time; each chunk holds the
// pattern's length - 1 bytes more, so a hit across two chunks is seen whole.
bool scan_read(search_run &run, int64_t from, int64_t to, hv_scan_hits &hits) {
    const int64_t len = s_search_patlen;
    run.hits_before = 0;
    for (int64_t pos = from; pos <= to - len;) {
        if (!go_on(&run, pos, hits)) return false;
        const int64_t n = std::min(to - pos, kReadChunk + len - 1);
        if (!read_chunk(run, pos, n)) return false;
        hv_scan_hits found = room_after(hits);
        hv_scan(run.buffer, n, 0, s_search_pat, s_search_mask, len, found);
        add_hits(hits, found, pos);
        pos = std::max(pos + n - len + 1, found.count > 0 ? hits.last + len : pos);
    }
    return true;
}

bool scan_window(search_run &run, int64_t from, int64_t to, hv_scan_hits &hits) {
    return run.file != HV_NO_HANDLE && run.buffer ? scan_read(run, from, to, hits) : scan_mapped(run, from, to, hits);
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
void scan_data_runs(search_run &run, int64_t size, hv_handle holes, hv_scan_hits &hits) {
    const int64_t len = s_search_patlen;
    int64_t pos = run.first;
    while (pos <= size - len) {
        int64_t at = pos, end = size;
        if (!hv_os->next_data(holes, pos, size, &at, &end)) at = pos, end = size;
        if (at >= size) break;  // only a hole is left
        at = std::max(at, pos);
        end = std::max(end, at + 1);
        const int64_t window = std::max(pos, at - (len - 1)), count_before = hits.count;
        if (!scan_window(run, window, std::min(size, end + len - 1), hits)) return;
        pos = std::max(end, hits.count > count_before ? hits.last + len : end);
    }
}

// Scans without the engine lock: nothing it reads changes meanwhile (opens,
// closes, saves and other searches are refused while it runs). On a cached
// file, reads through a buffer outrun the page faults of the mapping, which
// stays the way when the file cannot be opened again or the buffer had.
hv_scan_hits scan_file(search_run &run, int64_t size) {
    hv_scan_hits hits{s_matches, HV_MAX_MATCHES, 0, -1};
    hv_handle_closer file{hv_open_again()};
    hv_heap_bytes buffer(file.h != HV_NO_HANDLE ? kReadChunk + HV_MAX_PATTERN : 0);
    run.file = file.h;
    run.buffer = buffer.p;
    if (!run.buffer) run.stream = hv_stream_begin(run.view, size, run.first);
    hv_unlocked unlocked;
    hv_protected_read guard;
    if (file.h != HV_NO_HANDLE && zeros_cannot_match())
        scan_data_runs(run, size, file.h, hits);
    else
        scan_window(run, run.first, size, hits);
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
    search_run run{call, first, S.view, hv_stream{}, HV_NO_HANDLE, nullptr};
    hv_scan_hits hits = scan_file(run, S.file_size);
    // Hits found before the file shrank may stand next to zeros read after,
    // and a cancelled search has only some: none of them is kept.
    if (hv_check_shrank()) return -1;
    if (run.stopped_by_cancel) return call.fail_cancelled();
    if (run.read_failed) {
        hv_err("ReadFile failed: %s (win error %lu)", S.name, hv_os->last_error());
        return -1;
    }
    s_n_matches = hits.count;
    s_last_match = hits.last;
    call.finish(hits.count);
    return 0;
}
