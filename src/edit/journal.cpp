#include "edit/journal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "platform/guard.h"

namespace {

constexpr char kMagic[8] = {'H', 'X', 'J', 'R', 'N', 'L', '0', '1'};
constexpr std::size_t kHeaderBytes = 40;
constexpr std::size_t kRangeHeadBytes = 16;
constexpr std::size_t kChecksumBytes = 8;
constexpr std::size_t kPathRoom = 4096;
constexpr std::size_t kChunk = 1048576;

uint64_t fnv1a(const uint8_t *p, std::size_t n) {
    uint64_t h = 14695981039346656037ull;
    for (std::size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}

void put_u64(uint8_t *at, uint64_t v) {
    for (int i = 0; i < 8; i++) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t get_u64(const uint8_t *at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | at[i];
    return v;
}

// A message cut to the room it has (as every message is).
void format_message(char *out, std::size_t cap, const char *fmt, ...) HV_PRINTF(3, 4);
void format_message(char *out, std::size_t cap, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(out, cap, fmt, args);
    va_end(args);
}

// ---- Writing ---------------------------------------------------------------

bool journal_size(const hv_patch_plan &plan, std::size_t *size) {
    uint64_t total = kHeaderBytes + kChecksumBytes;
    for (int64_t i = 0; i < plan.n_ranges; i++) total += kRangeHeadBytes + static_cast<uint64_t>(plan.ranges[i].len);
    if (total > SIZE_MAX) return false;
    *size = static_cast<std::size_t>(total);
    return true;
}

// The journal's bytes, with the old bytes read from the mapped file; false
// with a message when memory runs out or the file shrank under the read.
bool build_journal(const hv_patch_plan &plan, hv_heap_bytes &j) {
    if (!journal_size(plan, &j.len) || !(j.p = static_cast<uint8_t *>(hv_malloc(j.len)))) {
        hv_err("out of memory");
        return false;
    }
    std::memcpy(j.p, kMagic, sizeof kMagic);
    put_u64(j.p + 8, static_cast<uint64_t>(plan.file_size));
    put_u64(j.p + 16, plan.identity.volume);
    put_u64(j.p + 24, plan.identity.file_id);
    put_u64(j.p + 32, static_cast<uint64_t>(plan.n_ranges));
    uint8_t *at = j.p + kHeaderBytes;
    {
        hv_protected_read guard;
        for (int64_t i = 0; i < plan.n_ranges; i++) {
            const hv_patch_range &r = plan.ranges[i];
            put_u64(at, static_cast<uint64_t>(r.offset));
            put_u64(at + 8, static_cast<uint64_t>(r.len));
            std::memcpy(at + kRangeHeadBytes, plan.view + r.offset, static_cast<std::size_t>(r.len));
            at += kRangeHeadBytes + r.len;
        }
    }
    if (hv_guard_lost(HV_GUARD_VIEW)) {
        hv_err("file shrank on disk since it was opened: %s", plan.shown);
        return false;
    }
    put_u64(at, fnv1a(j.p, j.len - kChecksumBytes));
    return true;
}

// Where the old bytes of each range sit in the journal.
const uint8_t *old_bytes_of(const hv_heap_bytes &j, int64_t index) {
    const uint8_t *at = j.p + kHeaderBytes;
    for (int64_t i = 0; i < index; i++) at += kRangeHeadBytes + get_u64(at + 8);
    return at + kRangeHeadBytes;
}

// Writes n bytes at offset; *done counts what reached the file, so a failure
// rolls back exactly that.
bool write_all_at(hv_handle h, int64_t offset, const uint8_t *p, int64_t n, int64_t *done) {
    *done = 0;
    while (*done < n) {
        int64_t left = n - *done;
        std::size_t ask = left < static_cast<int64_t>(kChunk) ? static_cast<std::size_t>(left) : kChunk;
        std::size_t wrote = 0;
        if (!hv_os->write_at(h, offset + *done, p + *done, ask, &wrote) || wrote == 0 || wrote > ask) return false;
        *done += static_cast<int64_t>(wrote);
    }
    return true;
}

bool write_journal(hv_handle h, const hv_heap_bytes &j) {
    std::size_t at = 0;
    while (at < j.len) {
        std::size_t ask = j.len - at < kChunk ? j.len - at : kChunk;
        std::size_t wrote = 0;
        if (!hv_os->write(h, j.p + at, ask, &wrote) || wrote == 0 || wrote > ask) return false;
        at += wrote;
    }
    return hv_os->flush(h);
}

// The state of a patch under way: how much of each range reached the file.
struct patch_state {
    const hv_patch_plan &plan;
    const hv_heap_bytes &journal;
    const char *journal_path;
    int64_t *written;  // per range
};

// Puts the old bytes back wherever new ones may have landed, and flushes.
bool roll_back(hv_handle h, const patch_state &ps) {
    for (int64_t i = 0; i < ps.plan.n_ranges; i++) {
        if (ps.written[i] == 0) continue;
        int64_t done = 0;
        if (!write_all_at(h, ps.plan.ranges[i].offset, old_bytes_of(ps.journal, i), ps.written[i], &done)) return false;
    }
    return hv_os->flush(h);
}

// After a failed step: the file goes back as it was and the journal goes;
// the message says what failed, and whether the file could be restored.
hv_patch_result fail_and_roll_back(hv_handle h, const patch_state &ps, const char *what) {
    char failure[HV_ERR_SIZE];
    format_message(failure, sizeof failure, "%s", what);
    if (!roll_back(h, ps)) {
        hv_err("%s - the file may be partly saved: open it read-write to roll it back from %s", failure,
               ps.journal_path);
        return hv_patch_result::failed;
    }
    // The journal holds what the file holds now: harmless if it cannot go.
    hv_os->remove_file(ps.journal_path);
    hv_err("%s", failure);
    return hv_patch_result::failed;
}

hv_patch_result write_ranges(hv_handle h, const patch_state &ps) {
    for (int64_t i = 0; i < ps.plan.n_ranges; i++) {
        const hv_patch_range &r = ps.plan.ranges[i];
        bool ok = write_all_at(h, r.offset, r.bytes, r.len, &ps.written[i]);
        if (!ok) {
            char what[HV_ERR_SIZE];
            format_message(what, sizeof what, "WriteFile failed: %s", ps.plan.shown);
            return fail_and_roll_back(h, ps, what);
        }
    }
    if (!hv_os->flush(h)) {
        char what[HV_ERR_SIZE];
        format_message(what, sizeof what, "WriteFile failed: %s", ps.plan.shown);
        for (int64_t i = 0; i < ps.plan.n_ranges; i++) ps.written[i] = ps.plan.ranges[i].len;
        return fail_and_roll_back(h, ps, what);
    }
    return hv_patch_result::patched;
}

// The patched file is flushed: the journal's removal makes the save final. A
// journal that will not go would roll the save back at the next open, so the
// file goes back now instead, and the save fails.
hv_patch_result remove_journal(hv_handle h, const patch_state &ps) {
    if (hv_os->remove_file(ps.journal_path)) {
        hv_os->sync_folder_of(ps.journal_path);
        return hv_patch_result::patched;
    }
    char what[HV_ERR_SIZE];
    format_message(what, sizeof what, "cannot remove journal: %s (win error %lu) - the file was left as it was",
                  ps.journal_path, hv_os->last_error());
    return fail_and_roll_back(h, ps, what);
}

// Makes the journal and flushes it; the file is not touched yet. It is
// written under a temporary name and renamed into place, so a journal is
// always whole: a crash while it is written leaves only the temporary file.
hv_patch_result make_journal(const char *jpath, const hv_heap_bytes &j) {
    char temp[kPathRoom];
    hv_handle_closer file;
    hv_fs_result made = hv_os->create_temp_beside(jpath, &file.h, temp, sizeof temp);
    if (made == HV_FS_NOT_ALLOWED) return hv_patch_result::not_possible;
    if (made != HV_FS_OK) {
        hv_err("cannot create journal: %s (win error %lu)", jpath, hv_os->last_error());
        return hv_patch_result::failed;
    }
    bool written = write_journal(file.h, j);
    unsigned long code = hv_os->last_error();
    file.close();
    if (written && hv_os->replace_file(temp, jpath) == HV_FS_OK) {
        // Without its folder entry on the disk the journal could vanish in a
        // power cut; a folder that cannot be synced leaves only that case open.
        hv_os->sync_folder_of(jpath);
        return hv_patch_result::patched;
    }
    if (written) code = hv_os->last_error();
    hv_os->remove_file(temp);
    hv_err("cannot write journal: %s (win error %lu)", jpath, code);
    return hv_patch_result::failed;
}

}  // namespace

bool hv_journal_path(const char *path, char *out, std::size_t cap) {
    int n = std::snprintf(out, cap, "%s%s", path, HV_JOURNAL_SUFFIX);
    return n >= 0 && static_cast<std::size_t>(n) < cap;
}

hv_patch_result hv_patch_file(const hv_patch_plan &plan) {
    char jpath[kPathRoom];
    if (!hv_journal_path(plan.real, jpath, sizeof jpath)) return hv_patch_result::not_possible;
    hv_path_info there{};
    if (!hv_os->path_info(jpath, &there)) return hv_patch_result::not_possible;
    if (there.kind != HV_PATH_MISSING) {
        hv_err("a journal of an earlier save is in the way: %s - remove it to save in place", jpath);
        return hv_patch_result::failed;
    }
    hv_heap_bytes journal;
    if (!build_journal(plan, journal)) return hv_patch_result::failed;
    hv_handle_closer file{hv_os->open_existing_rw(plan.real)};
    if (file.h == HV_NO_HANDLE && plan.release_view) {
        plan.release_view();
        file.h = hv_os->open_existing_rw(plan.real);
    }
    if (file.h == HV_NO_HANDLE) {
        hv_err("cannot open for write: %s (win error %lu)", plan.shown, hv_os->last_error());
        return hv_patch_result::failed;
    }
    int64_t size = -1;
    if (!hv_os->file_size(file.h, &size) || size != plan.file_size) return hv_patch_result::not_possible;
    hv_patch_result made = make_journal(jpath, journal);
    if (made != hv_patch_result::patched) return made;
    int64_t *written = static_cast<int64_t *>(hv_malloc(sizeof(int64_t) * static_cast<std::size_t>(plan.n_ranges + 1)));
    if (!written) {
        hv_os->remove_file(jpath);
        hv_err("out of memory");
        return hv_patch_result::failed;
    }
    std::memset(written, 0, sizeof(int64_t) * static_cast<std::size_t>(plan.n_ranges + 1));
    patch_state ps{plan, journal, jpath, written};
    hv_patch_result r = write_ranges(file.h, ps);
    if (r == hv_patch_result::patched) r = remove_journal(file.h, ps);
    hv_free(written);
    return r;
}

// ---- Recovery ---------------------------------------------------------------

namespace {

// Why a journal is not to be trusted, or null when it is.
const char *journal_fault(const hv_heap_bytes &j, const hv_path_info &file, int64_t file_size) {
    if (j.len < kHeaderBytes + kChecksumBytes || std::memcmp(j.p, kMagic, sizeof kMagic) != 0)
        return j.len < sizeof kMagic ? "truncated" : "not a journal";
    std::size_t body = j.len - kChecksumBytes;
    if (fnv1a(j.p, body) != get_u64(j.p + body)) return "bad checksum";
    uint64_t size = get_u64(j.p + 8), n = get_u64(j.p + 32);
    std::size_t at = kHeaderBytes;
    for (uint64_t i = 0; i < n; i++) {
        if (body - at < kRangeHeadBytes) return "truncated";
        uint64_t offset = get_u64(j.p + at), len = get_u64(j.p + at + 8);
        if (len > size || offset > size - len) return "a range past the file's end";
        at += kRangeHeadBytes;
        if (body - at < len) return "truncated";
        at += len;
    }
    if (at != body) return "truncated";
    if (file.kind != HV_PATH_REGULAR || get_u64(j.p + 16) != file.volume || get_u64(j.p + 24) != file.file_id)
        return "written for another file";
    if (size != static_cast<uint64_t>(file_size)) return "the file's size differs";
    return nullptr;
}

// Reads the whole journal; false with *code when it cannot be read.
bool read_journal(const char *jpath, hv_heap_bytes &j, unsigned long *code) {
    hv_handle_closer f{hv_os->open_read(jpath)};
    int64_t size = -1;
    if (f.h == HV_NO_HANDLE || !hv_os->file_size(f.h, &size)) {
        *code = hv_os->last_error();
        return false;
    }
    j.len = static_cast<std::size_t>(size);
    j.p = static_cast<uint8_t *>(hv_malloc(j.len ? j.len : 1));
    if (!j.p) {
        *code = 0;
        return false;
    }
    std::size_t at = 0;
    while (at < j.len) {
        std::size_t got = 0;
        if (!hv_os->read_at(f.h, static_cast<int64_t>(at), j.p + at, j.len - at, &got)) {
            *code = hv_os->last_error();
            return false;
        }
        if (got == 0) break;
        at += got;
    }
    j.len = at;
    return true;
}

int64_t size_of(const char *path) {
    hv_handle_closer f{hv_os->open_read(path)};
    int64_t size = -1;
    if (f.h == HV_NO_HANDLE || !hv_os->file_size(f.h, &size)) return -1;
    return size;
}

// Writes every range's old bytes back and flushes; the journal then goes.
bool apply_journal(const char *path, const hv_heap_bytes &j) {
    hv_handle_closer f{hv_os->open_existing_rw(path)};
    if (f.h == HV_NO_HANDLE) return false;
    uint64_t n = get_u64(j.p + 32);
    const uint8_t *at = j.p + kHeaderBytes;
    for (uint64_t i = 0; i < n; i++) {
        int64_t offset = static_cast<int64_t>(get_u64(at)), len = static_cast<int64_t>(get_u64(at + 8)), done = 0;
        if (!write_all_at(f.h, offset, at + kRangeHeadBytes, len, &done)) return false;
        at += kRangeHeadBytes + len;
    }
    return hv_os->flush(f.h);
}

}  // namespace

hv_recovery hv_journal_recover(const char *path, bool rw, char *notice, std::size_t cap) {
    char real[kPathRoom], jpath[kPathRoom];
    hv_path_info there{}, file{};
    if (!hv_os->resolve_link(path, real, sizeof real) || !hv_journal_path(real, jpath, sizeof jpath))
        return hv_recovery::none;
    // A journal is written under a temporary name and renamed into place, so
    // a temporary one is never needed: a save killed while writing it had
    // not touched the file yet.
    if (rw) hv_os->remove_temps_beside(jpath);
    if (!hv_os->path_info(jpath, &there) || there.kind == HV_PATH_MISSING) return hv_recovery::none;
    hv_heap_bytes j;
    unsigned long code = 0;
    if (!read_journal(jpath, j, &code)) {
        format_message(notice, cap, "journal left alone: %s cannot be read (win error %lu)", jpath, code);
        return hv_recovery::left_alone;
    }
    if (!hv_os->path_info(real, &file)) file = hv_path_info{};
    const char *fault = journal_fault(j, file, size_of(real));
    if (fault) {
        format_message(notice, cap, "journal left alone: %s is not valid for this file (%s)", jpath, fault);
        return hv_recovery::left_alone;
    }
    if (!rw) {
        hv_err("%s has the journal of an interrupted save: %s - a read-write open rolls it back", path, jpath);
        return hv_recovery::refused;
    }
    if (!apply_journal(real, j)) {
        hv_err("cannot roll back the interrupted save of %s from %s (win error %lu)", path, jpath,
               hv_os->last_error());
        return hv_recovery::failed;
    }
    if (!hv_os->remove_file(jpath)) {
        // It holds what the file holds now: rolling it back again is harmless.
        format_message(notice, cap,
                       "rolled back an interrupted save of %s from %s: the file is as it was before that save "
                       "(the journal could not be removed: win error %lu)",
                       path, jpath, hv_os->last_error());
        return hv_recovery::rolled_back;
    }
    format_message(notice, cap,
                   "rolled back an interrupted save of %s from %s: the file is as it was before that save", path,
                   jpath);
    hv_os->sync_folder_of(jpath);
    return hv_recovery::rolled_back;
}
