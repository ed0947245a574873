#include "edit/journal.h"

#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "core/open.h"
#include "edit/content_hash.h"
#include "edit/journal_format.h"
#include "platform/guard.h"

namespace {

using namespace hv_journal_format;

constexpr std::size_t kChunk = 1048576;
constexpr std::size_t kPathRoom = HV_JOURNAL_PATH_ROOM;


}  // namespace

// ---- Places ----------------------------------------------------------------

bool hv_journal_beside(const char *real, hv_journal_place &out) {
    out.per_user = false;
    int a = std::snprintf(out.journal, sizeof out.journal, "%s%s", real, HV_JOURNAL_SUFFIX);
    int b = std::snprintf(out.base, sizeof out.base, "%s", real);
    return a > 0 && b > 0 && static_cast<std::size_t>(a) < sizeof out.journal &&
           static_cast<std::size_t>(b) < sizeof out.base;
}

bool hv_journal_per_user(const hv_path_info &file, bool create, hv_journal_place &out) {
    char folder[kPathRoom];
    if (!hv_os->state_folder(create, folder, sizeof folder)) return false;
    out.per_user = true;
#ifdef _WIN32
    const char sep = '\\';
#else
    const char sep = '/';
#endif
    int a = std::snprintf(out.base, sizeof out.base, "%s%c%016llx-%016llx", folder, sep,
                          static_cast<unsigned long long>(file.volume), static_cast<unsigned long long>(file.file_id));
    int b = std::snprintf(out.journal, sizeof out.journal, "%s%s", out.base, HV_JOURNAL_SUFFIX);
    return a > 0 && b > 0 && static_cast<std::size_t>(a) < sizeof out.base &&
           static_cast<std::size_t>(b) < sizeof out.journal;
}

using hv_journal_format::folder_length;

namespace {

// A journal's name holds a file that is provably ours.
bool ours_at(const char *jpath) {
    hv_handle_closer h{hv_os->open_nofollow(jpath)};
    hv_path_info info{};
    return h.h != HV_NO_HANDLE && hv_os->handle_info(h.h, &info) && !hv_journal_format::ownership_fault(info);
}

// The folder beside the file, unless its journal's name is taken by a file
// that is not ours (another user may have put anything there: it is left
// alone, and ours goes elsewhere).
bool beside_usable(const char *real, hv_journal_place &place) {
    return hv_journal_beside(real, place) && (!hv_os->name_taken(place.journal) || ours_at(place.journal));
}

hv_fs_result make_in(const hv_journal_place &place, hv_temp_kind kind, hv_handle *h, char *temp, std::size_t cap) {
    return hv_os->create_temp_beside(kind == HV_TEMP_JOURNAL ? place.journal : place.base, kind, h, temp, cap);
}

}  // namespace

// A file with several names goes to the state folder only: keyed by the
// file's identity, it is found through every name (beside one name, an open
// through another would not see it).
hv_fs_result hv_journal_place_for(const char *real, const hv_path_info &file, hv_temp_kind kind,
                                  hv_journal_place &place, hv_handle *h, char *temp, std::size_t cap) {
    const bool per_user_only = file.links > 1;
    for (int attempt = 0; attempt < (per_user_only ? 1 : 2); attempt++) {
        bool per_user = per_user_only || attempt == 1;
        bool placed = per_user ? hv_journal_per_user(file, true, place) : beside_usable(real, place);
        if (!placed) continue;
        hv_fs_result made = make_in(place, kind, h, temp, cap);
        if (made != HV_FS_NOT_ALLOWED) return made;
    }
    return HV_FS_NOT_ALLOWED;
}

bool hv_journal_exists(const char *real, const hv_path_info &file, char *out, std::size_t cap) {
    hv_journal_place place;
    for (int per_user = 0; per_user < 2; per_user++) {
        bool placed = per_user ? hv_journal_per_user(file, false, place) : hv_journal_beside(real, place);
        if (!placed || !hv_os->name_taken(place.journal) || !ours_at(place.journal)) continue;
        std::snprintf(out, cap, "%s", place.journal);
        return true;
    }
    return false;
}

// ---- Writing ---------------------------------------------------------------

namespace {

bool write_all(hv_handle h, const uint8_t *p, std::size_t n) {
    std::size_t at = 0;
    while (at < n) {
        std::size_t ask = n - at < kChunk ? n - at : kChunk;
        std::size_t wrote = 0;
        if (!hv_os->write(h, p + at, ask, &wrote) || wrote == 0 || wrote > ask) return false;
        at += wrote;
    }
    return true;
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

bool journal_size(const hv_patch_plan &plan, std::size_t *size) {
    uint64_t total = kHeaderV2 + kChecksumBytes;
    for (int64_t i = 0; i < plan.n_ranges; i++) {
        const hv_patch_range &r = plan.ranges[i];
        total += kRangeHeadBytes + kRangeHashBytes + 2 * static_cast<uint64_t>(r.len);
    }
    if (total > SIZE_MAX) return false;
    *size = static_cast<std::size_t>(total);
    return true;
}

uint8_t *put_header(uint8_t *p, uint64_t kind, int64_t size, const hv_path_info &file, uint64_t n) {
    std::memcpy(p, kMagicV2, sizeof kMagicV2);
    put_u64(p + 8, kind);
    put_u64(p + 16, static_cast<uint64_t>(size));
    put_u64(p + 24, file.volume);
    put_u64(p + 32, file.file_id);
    put_u64(p + 40, n);
    return p + kHeaderV2;
}

// One range: its place, the hash of its new bytes, its old bytes read from
// the mapped file, its new bytes.
uint8_t *put_range(uint8_t *at, const hv_patch_range &r, const uint8_t *view) {
    std::size_t n = static_cast<std::size_t>(r.len);
    put_u64(at, static_cast<uint64_t>(r.offset));
    put_u64(at + 8, static_cast<uint64_t>(r.len));
    put_u64(at + 16, hv_content_hash::of(r.bytes, n));
    at += kRangeHeadBytes + kRangeHashBytes;
    std::memcpy(at, view + r.offset, n);
    std::memcpy(at + n, r.bytes, n);
    return at + 2 * n;
}

// The journal's bytes; false with a message when memory runs out or the file
// shrank under the read of its old bytes.
bool build_journal(const hv_patch_plan &plan, hv_heap_bytes &j) {
    if (!journal_size(plan, &j.len) || !(j.p = static_cast<uint8_t *>(hv_malloc(j.len)))) {
        hv_err("out of memory");
        return false;
    }
    uint8_t *at = put_header(j.p, kKindPatch, plan.file_size, plan.identity, static_cast<uint64_t>(plan.n_ranges));
    {
        hv_protected_read guard;
        for (int64_t i = 0; i < plan.n_ranges; i++) at = put_range(at, plan.ranges[i], plan.view);
    }
    if (hv_guard_lost(HV_GUARD_VIEW)) {
        hv_err("file shrank on disk since it was opened: %s", plan.shown);
        return false;
    }
    fnv1a sum;
    sum.add(j.p, j.len - kChecksumBytes);
    put_u64(at, sum.h);
    return true;
}

// Where the old bytes of each range sit in the journal.
const uint8_t *old_bytes_of(const hv_heap_bytes &j, int64_t index) {
    const uint8_t *at = j.p + kHeaderV2;
    for (int64_t i = 0; i < index; i++) at += kRangeHeadBytes + kRangeHashBytes + 2 * get_u64(at + 8);
    return at + kRangeHeadBytes + kRangeHashBytes;
}

// Puts `bytes` into the new file `temp` (open and locked through temp_h)
// and renames it over the journal's name, flushed before and its folder
// after, so a journal on disk is always whole. `kept` then holds the journal
// as installed (checked to be the file written), for retire_journal. False
// with *code.
bool install_journal(hv_handle_closer &temp_h, const char *temp, const char *jpath, const uint8_t *bytes,
                     std::size_t n, unsigned long *code, hv_handle_closer &kept) {
    hv_path_info written_file{}, installed{};
    bool written = write_all(temp_h.h, bytes, n) && hv_os->flush(temp_h.h) && hv_os->handle_info(temp_h.h, &written_file);
    *code = hv_os->last_error();
    temp_h.close();  // Windows renames no file that is open without delete sharing
    if (written && hv_os->replace_file(temp, jpath) == HV_FS_OK) {
        // Without its folder entry on the disk the journal could vanish in a
        // power cut; a folder that cannot be synced leaves only that case open.
        hv_os->sync_folder_of(jpath);
        kept.h = hv_os->open_nofollow(jpath);
        if (kept.h != HV_NO_HANDLE && hv_os->handle_info(kept.h, &installed) && hv_same_file(installed, written_file))
            return true;
        *code = hv_os->last_error();
        kept.close();
        return false;  // another file took its name: the file to save is not touched
    }
    if (written) *code = hv_os->last_error();
    hv_os->remove_file(temp);
    return false;
}

// The state of a patch under way: how much of each range reached the file.
struct patch_state {
    const hv_patch_plan &plan;
    const hv_heap_bytes &journal;
    const char *journal_path;
    hv_handle_closer &journal_file;  // the journal as installed
    int64_t *written;                // per range
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
    hv_format(failure, sizeof failure, "%s", what);
    if (!roll_back(h, ps)) {
        hv_err("%s - the file may be partly saved: open it read-write to roll it back from %s", failure,
               ps.journal_path);
        return hv_patch_result::failed;
    }
    // The journal holds what the file holds now: harmless if it cannot go.
    hv_retire_journal(ps.journal_file, ps.journal_path);
    hv_err("%s", failure);
    return hv_patch_result::failed;
}

hv_patch_result write_ranges(hv_handle h, const patch_state &ps) {
    for (int64_t i = 0; i < ps.plan.n_ranges; i++) {
        const hv_patch_range &r = ps.plan.ranges[i];
        bool ok = write_all_at(h, r.offset, r.bytes, r.len, &ps.written[i]);
        if (!ok) {
            char what[HV_ERR_SIZE];
            hv_format(what, sizeof what, "WriteFile failed: %s", ps.plan.shown);
            return fail_and_roll_back(h, ps, what);
        }
    }
    if (!hv_os->flush(h)) {
        char what[HV_ERR_SIZE];
        hv_format(what, sizeof what, "WriteFile failed: %s", ps.plan.shown);
        for (int64_t i = 0; i < ps.plan.n_ranges; i++) ps.written[i] = ps.plan.ranges[i].len;
        return fail_and_roll_back(h, ps, what);
    }
    return hv_patch_result::patched;
}

// The patched file is flushed: the journal's removal makes the save final. A
// journal that will not go would roll the save back at the next open, so the
// file goes back now instead, and the save fails.
hv_patch_result remove_journal(hv_handle h, const patch_state &ps) {
    if (hv_retire_journal(ps.journal_file, ps.journal_path)) return hv_patch_result::patched;
    char what[HV_ERR_SIZE];
    hv_format(what, sizeof what, "cannot remove journal: %s (win error %lu) - the file was left as it was",
                   ps.journal_path, hv_os->last_error());
    return fail_and_roll_back(h, ps, what);
}

// Makes the journal, flushed, in the first place that takes it; the file is
// not touched yet. `jpath` gets its path.
hv_patch_result make_journal(const hv_patch_plan &plan, const hv_heap_bytes &j, char *jpath, std::size_t cap,
                             hv_handle_closer &kept) {
    char temp[kPathRoom];
    hv_journal_place place;
    hv_handle_closer file;
    hv_fs_result made = hv_journal_place_for(plan.real, plan.identity, HV_TEMP_JOURNAL, place, &file.h, temp, sizeof temp);
    if (made != HV_FS_OK) {
        if (made == HV_FS_NOT_ALLOWED)
            hv_fail_no_journal_place(plan.shown, hv_os->last_error());
        else
            hv_err("cannot create journal: %s (win error %lu)", place.journal, hv_os->last_error());
        return hv_patch_result::failed;
    }
    std::snprintf(jpath, cap, "%s", place.journal);
    unsigned long code = 0;
    if (install_journal(file, temp, jpath, j.p, j.len, &code, kept)) return hv_patch_result::patched;
    hv_err("cannot write journal: %s (win error %lu)", jpath, code);
    return hv_patch_result::failed;
}

}  // namespace

hv_patch_result hv_patch_file(const hv_patch_plan &plan) {
    char jpath[kPathRoom];
    if (hv_journal_exists(plan.real, plan.identity, jpath, sizeof jpath)) {
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
    hv_path_info opened{};
    int64_t size = -1;
    if (!hv_os->handle_info(file.h, &opened) || !hv_same_file(opened, plan.identity) ||
        !hv_os->file_size(file.h, &size) || size != plan.file_size)
        return hv_patch_result::not_possible;
    hv_handle_closer journal_file;
    hv_patch_result made = make_journal(plan, journal, jpath, sizeof jpath, journal_file);
    if (made != hv_patch_result::patched) return made;
    int64_t *written = static_cast<int64_t *>(hv_malloc(sizeof(int64_t) * static_cast<std::size_t>(plan.n_ranges + 1)));
    if (!written) {
        hv_retire_journal(journal_file, jpath);
        hv_err("out of memory");
        return hv_patch_result::failed;
    }
    std::memset(written, 0, sizeof(int64_t) * static_cast<std::size_t>(plan.n_ranges + 1));
    patch_state ps{plan, journal, jpath, journal_file, written};
    hv_patch_result r = write_ranges(file.h, ps);
    if (r == hv_patch_result::patched) r = remove_journal(file.h, ps);
    hv_free(written);
    return r;
}

bool hv_retire_journal(hv_handle_closer &journal, const char *jpath) {
    // Emptied first, so that no copy of it under another name (one moved
    // aside, or a second name of it) can ever be applied, even when its own
    // name will not go. An empty journal of ours is what an open removes.
    if (journal.h != HV_NO_HANDLE) hv_os->set_size(journal.h, 0);
    journal.close();
    if (!hv_os->remove_file(jpath)) return false;
    hv_os->sync_folder_of(jpath);
    return true;
}

void hv_fail_no_journal_place(const char *shown, unsigned long code) {
    char folder[kPathRoom];
    if (!hv_os->state_folder(false, folder, sizeof folder)) std::snprintf(folder, sizeof folder, "the user's state folder");
    hv_err("cannot save %s in place: no journal can be made beside it nor in %s (win error %lu) - the edits are "
           "kept; save to another file",
           shown, folder, code);
}

bool hv_write_restore_journal(const hv_journal_place &place, const hv_path_info &file, const hv_rewrite_record &r,
                              const char *copy_path, hv_handle_closer &kept) {
    const char *name = copy_path + folder_length(copy_path);
    std::size_t name_len = std::strlen(name);
    hv_heap_bytes j;
    j.len = kHeaderV2 + kRestoreHeadBytes + name_len + kChecksumBytes;
    if (!(j.p = static_cast<uint8_t *>(hv_malloc(j.len)))) {
        hv_err("out of memory");
        return false;
    }
    uint8_t *at = put_header(j.p, kKindRestore, r.size, file, name_len);
    put_u64(at, r.hash);
    put_u64(at + 8, static_cast<uint64_t>(r.old_size));
    put_u64(at + 16, r.old_hash);
    put_u64(at + 24, static_cast<uint64_t>(file.birth));
    std::memcpy(at + kRestoreHeadBytes, name, name_len);
    fnv1a sum;
    sum.add(j.p, j.len - kChecksumBytes);
    put_u64(j.p + j.len - kChecksumBytes, sum.h);
    char temp[kPathRoom];
    hv_handle_closer h;
    if (hv_os->create_temp_beside(place.journal, HV_TEMP_JOURNAL, &h.h, temp, sizeof temp) != HV_FS_OK) {
        hv_err("cannot create journal: %s (win error %lu)", place.journal, hv_os->last_error());
        return false;
    }
    unsigned long code = 0;
    if (install_journal(h, temp, place.journal, j.p, j.len, &code, kept)) return true;
    hv_err("cannot write journal: %s (win error %lu)", place.journal, code);
    return false;
}
