#include "analysis/compare.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "core/json.h"
#include "core/long_call.h"
#include "core/open.h"
#include "core/state.h"
#include "core/thread_buffers.h"
#include "platform/guard.h"
#include "platform/os.h"
#include "platform/stream.h"

hv_diff s_diffs[HV_MAX_DIFFS];
int64_t s_n_diffs = 0;

namespace {

// Equal stretches are skipped a coarse block at a time; a block that differs
// is looked at again in fine blocks, and only a fine block that differs byte
// by byte.
constexpr uint64_t kCoarseBlock = 8192;
constexpr uint64_t kFineBlock = 64;
constexpr uint8_t kZeros[kCoarseBlock] = {};
constexpr uint64_t kShrinkCheckStep = 1 << 20;  // bytes compared between two checks

// Both sides of a run live in one block: the open file's bytes in the first
// half and the compare file's in the second. Taking the whole room when the
// run starts means a run never has to grow, so it can never hold fewer bytes
// than its length says.
constexpr std::size_t kRunBlockSize = 2 * HV_MAX_RUN;

constexpr int64_t kFieldHexBytes = 510;  // their 1020 digits fit the 1024-byte field buffer

void release_runs() {
    for (int64_t i = 0; i < s_n_diffs; i++) {
        hv_free(s_diffs[i].this_bytes);  // other_bytes shares its block
        s_diffs[i] = hv_diff{};
    }
    s_n_diffs = 0;
}

// The compare file's view, watched for a file that shrinks under the scan and
// unmapped when it goes out of scope. An empty compare file has no view.
struct compare_file {
    uint8_t *view = nullptr;
    int64_t size = 0;
    hv_handle_closer file;  // kept to ask where its holes are
    compare_file() = default;
    compare_file(const compare_file &) = delete;
    compare_file &operator=(const compare_file &) = delete;
    ~compare_file() {
        if (!view) return;
        hv_os->unmap(view, size);
        hv_guard_watch(HV_GUARD_COMPARE, nullptr, 0);
    }
};

int map_compare_file(const char *path, compare_file &f) {
    hv_handle h = hv_os->open_read(path);
    if (h == HV_NO_HANDLE) {
        unsigned long e = hv_os->last_error();
        hv_err("cannot open compare file: %s (win error %lu)", path, e);
        return -1;
    }
    int64_t size = 0;
    if (!hv_os->file_size(h, &size)) {
        hv_os->close(h);
        hv_err("GetFileSizeEx failed: %s", path);
        return -1;
    }
    if (size <= 0) {
        hv_os->close(h);
        return 0;
    }
    uint8_t *view = nullptr;
    hv_map_result r = hv_os->map(h, size, false, &view);
    f.file.h = h;
    if (r != HV_MAP_OK) {
        if (r == HV_MAP_MAPPING_FAILED)
            hv_err("CreateFileMapping failed: %s", path);
        else
            hv_err("MapViewOfFile failed: %s", path);
        return -1;
    }
    f.view = view;
    f.size = size;
    hv_guard_watch(HV_GUARD_COMPARE, view, size);
    return 0;
}

enum class scan_result { done, table_full, out_of_memory, file_shrank, cancelled, read_failed };

// Records the difference a != b at offset i: extends the last run when it
// ends at i and has room, else starts a new run.
scan_result record(uint64_t i, uint8_t a, uint8_t b) {
    if (s_n_diffs > 0) {
        hv_diff &last = s_diffs[s_n_diffs - 1];
        if (static_cast<uint64_t>(last.offset + last.len) == i && last.len < HV_MAX_RUN) {
            last.this_bytes[last.len] = a;
            last.other_bytes[last.len] = b;
            last.len++;
            return scan_result::done;
        }
    }
    auto *block = static_cast<uint8_t *>(hv_malloc(kRunBlockSize));
    if (!block) return scan_result::out_of_memory;
    block[0] = a;
    block[HV_MAX_RUN] = b;
    s_diffs[s_n_diffs++] = hv_diff{static_cast<int64_t>(i), 1, block, block + HV_MAX_RUN};
    // Once the last run is stored not even it may grow: every later
    // difference is dropped, so the scan can stop here.
    return s_n_diffs == HV_MAX_DIFFS ? scan_result::table_full : scan_result::done;
}

// One stretch of offsets [start, end) in which each side is either real bytes
// or, when its pointer is null, zeros. The pointers hold the bytes from offset
// `base` on (0 for the mappings, the offset read for buffers).
struct stretch {
    const uint8_t *a;  // the open file
    const uint8_t *b;  // the compare file
    uint64_t start;
    uint64_t end;
    uint64_t base = 0;
};

bool same(const stretch &s, uint64_t i, uint64_t k) {
    const uint64_t at = i - s.base;
    if (s.a && s.b) return std::memcmp(s.a + at, s.b + at, k) == 0;
    if (s.a) return std::memcmp(s.a + at, kZeros, k) == 0;
    if (s.b) return std::memcmp(s.b + at, kZeros, k) == 0;
    return true;
}

scan_result scan_bytes(const stretch &s, uint64_t i, uint64_t end) {
    for (; i < end; i++) {
        uint8_t a = s.a ? s.a[i - s.base] : 0;
        uint8_t b = s.b ? s.b[i - s.base] : 0;
        if (a == b) continue;
        scan_result r = record(i, a, b);
        if (r != scan_result::done) return r;
    }
    return scan_result::done;
}

// Walks [i, end) in blocks of `block` bytes, handing each block that differs
// to `inner`.
template <typename Inner>
scan_result scan_blocks(const stretch &s, uint64_t i, uint64_t end, uint64_t block, Inner inner) {
    while (i < end) {
        uint64_t k = end - i < block ? end - i : block;
        if (!same(s, i, k)) {
            scan_result r = inner(s, i, i + k);
            if (r != scan_result::done) return r;
        }
        i += k;
    }
    return scan_result::done;
}

scan_result scan_fine(const stretch &s, uint64_t i, uint64_t end) {
    return scan_blocks(s, i, end, kFineBlock, scan_bytes);
}

bool either_file_shrank() { return hv_guard_lost(HV_GUARD_VIEW) || hv_guard_lost(HV_GUARD_COMPARE); }

// Where one side's data lies, asked of the file a run at a time: bytes in a
// hole, or past the side's readable end, are zeros. A side without a handle
// (holes unknown) is data throughout its readable part.
struct side_holes {
    hv_handle file;
    int64_t size;      // the readable part
    int64_t asked = -1;  // the offset the run below was asked for
    int64_t data_at = 0;
    int64_t data_end = 0;
};

// The first offset at or after i where this side has data; INT64_MAX when none.
int64_t data_from(side_holes &h, int64_t i) {
    if (i >= h.size) return INT64_MAX;
    if (h.file == HV_NO_HANDLE) return i;
    if (h.asked < 0 || i < h.asked || i >= h.data_end) {
        if (!hv_os->next_data(h.file, i, h.size, &h.data_at, &h.data_end)) h.data_at = i, h.data_end = h.size;
        h.asked = i;
    }
    if (h.data_at >= h.size) return INT64_MAX;
    return std::max(h.data_at, i);
}

// Bytes of each file read at a time when the compare reads the files rather
// than their mappings.
constexpr uint64_t kReadStep = kShrinkCheckStep;

// A compare as it runs: its progress, the read-ahead over both files, where
// their holes are, and the buffers it reads them through (none: it reads the
// mappings).
struct compare_run {
    hv_long_call &call;
    hv_stream mine;
    hv_stream other;
    side_holes mine_holes;
    side_holes other_holes;
    uint8_t *mine_buffer = nullptr;   // kReadStep bytes each, or both null
    uint8_t *other_buffer = nullptr;
    const char *other_path = nullptr;
    const char *failed_file = nullptr;  // the file whose read failed
};

// Fills n bytes of `buffer` from the file at `at`. A file that ends before
// them has shrunk: that is recorded as a lost page of its mapping would be.
scan_result read_side(hv_handle file, hv_guard_slot slot, uint64_t at, uint64_t n, uint8_t *buffer) {
    uint64_t done = 0;
    while (done < n) {
        std::size_t got = 0;
        if (!hv_os->read_at(file, static_cast<int64_t>(at + done), buffer + done, n - done, &got))
            return scan_result::read_failed;
        if (got == 0) {
            hv_guard_mark_lost(slot, nullptr);
            return scan_result::file_shrank;
        }
        done += got;
    }
    return scan_result::done;
}

// The stretch's part [i, end) read into the buffers, for the scan to look at.
scan_result read_part(const stretch &s, uint64_t i, uint64_t end, compare_run &run, stretch &part) {
    part = stretch{s.a ? run.mine_buffer : nullptr, s.b ? run.other_buffer : nullptr, i, end, i};
    scan_result r = s.a ? read_side(run.mine_holes.file, HV_GUARD_VIEW, i, end - i, run.mine_buffer)
                        : scan_result::done;
    if (r == scan_result::read_failed) run.failed_file = S.name;
    if (r != scan_result::done) return r;
    r = s.b ? read_side(run.other_holes.file, HV_GUARD_COMPARE, i, end - i, run.other_buffer) : scan_result::done;
    if (r == scan_result::read_failed) run.failed_file = run.other_path;
    return r;
}

// Where the stretch from i on is zeros against zeros no more: holes of both
// files (or past their ends) are equal and skipped unread.
uint64_t next_data_in_either(compare_run &run, uint64_t i) {
    int64_t at = std::min(data_from(run.mine_holes, static_cast<int64_t>(i)),
                          data_from(run.other_holes, static_cast<int64_t>(i)));
    return static_cast<uint64_t>(at);
}

// Walks the stretch a step at a time and stops as soon as either file shrank
// (nothing read after that can be trusted) or a cancel came.
scan_result scan_stretch(const stretch &s, compare_run &run) {
    if (!s.a && !s.b) return scan_result::done;  // zeros against zeros
    for (uint64_t i = s.start; i < s.end;) {
        if (either_file_shrank()) return scan_result::file_shrank;
        run.call.advance(static_cast<int64_t>(i));
        if (run.call.cancelled()) return scan_result::cancelled;
        uint64_t data = next_data_in_either(run, i);
        if (data > i) {
            i = std::min(data, s.end);
            continue;
        }
        hv_stream_at(run.mine, static_cast<int64_t>(i));
        hv_stream_at(run.other, static_cast<int64_t>(i));
        uint64_t end = s.end - i < kShrinkCheckStep ? s.end : i + kShrinkCheckStep;
        stretch part = s;
        scan_result r = run.mine_buffer ? read_part(s, i, end, run, part) : scan_result::done;
        if (r == scan_result::done) r = scan_blocks(part, i, end, kCoarseBlock, scan_fine);
        if (r != scan_result::done) return r;
        i = end;
    }
    return scan_result::done;
}

// Each side reads its real bytes up to the end of what can be read, and 0x00
// after that up to the longer size. The open file without a view (after an
// in-place save failed) reads 0x00 throughout.
// Runs without the engine lock: nothing it reads changes meanwhile (opens,
// closes, saves and other compares are refused while it runs).
scan_result scan_files(const compare_file &other, const char *other_path, hv_long_call &call) {
    const uint8_t *a = S.view;
    const uint8_t *b = other.view;
    uint64_t ra = a ? static_cast<uint64_t>(S.file_size) : 0;
    uint64_t rb = b ? static_cast<uint64_t>(other.size) : 0;
    uint64_t both = ra < rb ? ra : rb;
    uint64_t longer = ra < rb ? rb : ra;
    hv_handle_closer mine{a ? hv_open_again() : HV_NO_HANDLE};
    // On a cached file, reads through buffers outrun the page faults of the
    // mappings, which stay the way when a file cannot be read so.
    const bool can_read = (!a || mine.h != HV_NO_HANDLE) && (!b || other.file.h != HV_NO_HANDLE);
    hv_heap_bytes buffers(can_read ? 2 * kReadStep : 0);
    compare_run run{call, hv_stream{}, hv_stream{}, side_holes{mine.h, static_cast<int64_t>(ra)},
                    side_holes{other.file.h, static_cast<int64_t>(rb)}};
    run.other_path = other_path;
    if (buffers.p) {
        run.mine_buffer = buffers.p;
        run.other_buffer = buffers.p + kReadStep;
    } else {
        run.mine = hv_stream_begin(a, static_cast<int64_t>(ra), 0);
        run.other = hv_stream_begin(b, static_cast<int64_t>(rb), 0);
    }
    hv_unlocked unlocked;
    hv_protected_read guard;
    scan_result r = scan_stretch(stretch{a, b, 0, both}, run);
    if (r == scan_result::done)
        r = scan_stretch(stretch{ra > rb ? a : nullptr, rb > ra ? b : nullptr, both, longer}, run);
    hv_stream_end(run.mine);
    hv_stream_end(run.other);
    if (r == scan_result::read_failed)
        hv_err("ReadFile failed: %s (win error %lu)", run.failed_file, hv_os->last_error());
    return r;
}

int64_t longer_size(const compare_file &other) {
    int64_t mine = S.view ? S.file_size : 0;
    return other.size > mine ? other.size : mine;
}

void write_hex(char *out, const uint8_t *bytes, int64_t len) {
    *hv_put_hex(out, bytes, static_cast<std::size_t>(std::clamp<int64_t>(len, 0, kFieldHexBytes))) = '\0';
}

}  // namespace

int hv_compare(const char *path) {
    if (!hv_require_open()) return -1;
    release_runs();
    if (!path) {
        hv_err("NULL path");
        return -1;
    }
    if (hv_check_shrank()) return -1;
    compare_file other;
    if (map_compare_file(path, other) != 0) return -1;
    hv_long_call call(HV_OP_COMPARE, longer_size(other));
    scan_result r = scan_files(other, path, call);
    // Runs recorded next to zeros read after a file shrank are not kept, nor
    // the first runs of a cancelled compare.
    if (r != scan_result::out_of_memory && r != scan_result::cancelled && r != scan_result::read_failed &&
        either_file_shrank())
        r = scan_result::file_shrank;
    if (r != scan_result::done && r != scan_result::table_full) release_runs();
    if (r == scan_result::cancelled) return call.fail_cancelled();
    if (r == scan_result::out_of_memory) hv_err("out of memory recording compare runs");
    if (r == scan_result::file_shrank && !hv_check_shrank())
        hv_err("compare file shrank on disk during the compare: %s", path);
    if (r != scan_result::done && r != scan_result::table_full) return -1;
    call.finish();
    return 0;
}

int hv_compare_count(void) {
    if (!hv_require_open()) return -1;
    return static_cast<int>(s_n_diffs);
}

const char *hv_compare_field(int index, const char *field) {
    char *out = hv_thread_buffer(HV_BUF_COMPARE_FIELD);
    if (!out) return "";
    out[0] = '\0';
    if (!hv_require_open()) return out;
    if (index < 0 || index >= s_n_diffs) {
        hv_err("diff index out of range");
        return out;
    }
    if (!field) return out;
    const hv_diff &d = s_diffs[index];
    if (std::strcmp(field, "offset") == 0)
        std::snprintf(out, hv_thread_buffer_size(HV_BUF_COMPARE_FIELD), "0x%016llx",
                      static_cast<unsigned long long>(d.offset));
    else if (std::strcmp(field, "this_hex") == 0)
        write_hex(out, d.this_bytes, d.len);
    else if (std::strcmp(field, "other_hex") == 0)
        write_hex(out, d.other_bytes, d.len);
    else
        hv_err("unknown field: %s (offset|this_hex|other_hex)", field);
    return out;
}
