// A save that only overwrites bytes of the open file (same size, every byte
// at its old offset) patches the changed ranges in place behind a rollback
// journal (journal.h), so it costs by the edits. Any other save writes the
// content to a new file beside the target, flushes it, checks its size and
// only then renames it over the target, so a failure at any step before the
// rename leaves the target as it was and the open file mapped; holes of a
// sparse source stay holes. Only where a rename would change what the target
// is (a link with other names, a device), or the folder lets no file be added
// or renamed, is the target rewritten in place: a regular file only after a
// whole copy of the new content and a journal naming it are on disk, so an
// open after a crash finishes the rewrite (journal.h). Every save of an
// existing file holds its save lock (save_lock.h) throughout.
#include "edit/save.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "core/logical.h"
#include "core/long_call.h"
#include "core/open.h"
#include "core/state.h"
#include "edit/content_hash.h"
#include "edit/file_reads.h"
#include "edit/journal.h"
#include "edit/save_lock.h"
#include "platform/guard.h"
#include "platform/os.h"

namespace {

constexpr std::size_t kChunk = 1048576;  // bytes per write call at most
constexpr std::size_t kPathRoom = 4096;

enum class outcome { saved, failed, fall_back };

// The save running now, for its progress and cancel; null outside hv_save.
hv_long_call *running_save = nullptr;
int64_t bytes_written = 0;
// A cancel stops the save only while its target is untouched: through a
// temporary file, not while the target itself is rewritten.
bool cancel_allowed = false;
// While a rewrite's copy is written: the hash of every byte it gets.
hv_content_hash *copy_hash = nullptr;

// Counts n more bytes written; false when the save is to stop here.
bool written(uint64_t n) {
    bytes_written += static_cast<int64_t>(n);
    if (!running_save) return true;
    running_save->advance(bytes_written);
    return !(cancel_allowed && running_save->cancelled());
}

struct save_target {
    const char *shown;      // the path messages name: the host's, or the open file's
    char real[kPathRoom];   // that path with symbolic links followed
    hv_path_info info;      // what `real` names now
    bool is_open_file;      // the target is the open file itself
};

int fail_cannot_open(const char *shown, unsigned long code) {
    hv_err("cannot open for write: %s (win error %lu)", shown, code);
    return -1;
}

// A rename keeps what the target is only for a plain file with one name (or
// no file yet); it would cut a hard link off and cannot replace a device.
bool rename_keeps_the_target(const hv_path_info &info) {
    return info.kind == HV_PATH_MISSING || (info.kind == HV_PATH_REGULAR && info.links <= 1);
}

int fail_moved(const char *shown) {
    hv_err("the file at %s is no longer the one that was opened - the edits are kept; save to another file", shown);
    return -1;
}

// The open file is saved where the open found it: its name must still lead
// there (a link re-pointed, or a file renamed over it, would send the
// content elsewhere).
int check_the_open_file() {
    char now[kPathRoom];
    hv_path_info by_name{}, by_real{};
    if (!hv_os->resolve_link(S.name, now, sizeof now) || !hv_os->path_info(now, &by_name) ||
        !hv_os->path_info(S.real_path, &by_real))
        return fail_cannot_open(S.name, hv_os->last_error());
    if (!hv_same_file(by_name, S.identity) || !hv_same_file(by_real, S.identity)) return fail_moved(S.name);
    return 0;
}

// Resolves and examines a save-as target: one that is the open file under
// another name (a link, another spelling) is an in-place save. -1 with a
// message when it cannot be examined, or is a link to nothing.
int describe_target(save_target &t, const char *path) {
    t.shown = path;
    if (!hv_os->resolve_link(path, t.real, sizeof t.real) || !hv_os->path_info(t.real, &t.info))
        return fail_cannot_open(path, hv_os->last_error());
    t.is_open_file = hv_same_file(t.info, S.identity);
    // A link to nothing would make a file where its owner chose.
    if (t.info.kind == HV_PATH_MISSING && std::strcmp(path, t.real) != 0) {
        hv_err("cannot save to %s: it is a symbolic link to %s, which does not exist", path, t.real);
        return -1;
    }
    return 0;
}

// The open file, where the open found it.
int describe_the_open_file(save_target &t) {
    if (check_the_open_file() != 0) return -1;
    t.shown = S.name;
    std::snprintf(t.real, sizeof t.real, "%s", S.real_path);
    if (!hv_os->path_info(t.real, &t.info)) return fail_cannot_open(S.name, hv_os->last_error());
    t.is_open_file = true;
    return 0;
}

// The save lock of an existing target; 0 when taken (or there is no file
// yet), -1 with a message.
int lock_target(hv_save_lock &lock, const save_target &t) {
    if (t.info.kind != HV_PATH_REGULAR) return 0;
    switch (lock.take(t.real, &t.info, HV_LOCK_WAIT_MS)) {
    case hv_lock_state::locked:
        return 0;
    case hv_lock_state::held:
        hv_err("another process is saving %s - save again when that save has ended", t.shown);
        return -1;
    case hv_lock_state::not_the_file:
        return fail_moved(t.shown);
    default:
        return fail_cannot_open(t.shown, hv_os->last_error());
    }
}

// A write straight from the mapped file fails, rather than faults, when the
// file shrank under it: a read of the chunk's last byte (which lies in the
// lost part if any of the chunk does) lets the guard notice.
void notice_lost_pages(const uint8_t *chunk, std::size_t n) {
    hv_protected_read guard;
    volatile uint8_t last = chunk[n - 1];
    (void)last;
}

// Writes n bytes in calls of at most 1 MiB. A call that reports no progress
// counts as a failure, so a stuck device cannot hang the save.
bool write_all(hv_handle h, const uint8_t *at, uint64_t n) {
    while (n > 0) {
        std::size_t ask = n < kChunk ? static_cast<std::size_t>(n) : kChunk;
        std::size_t done = 0;
        if (!hv_os->write(h, at, ask, &done) || done == 0 || done > ask) {
            notice_lost_pages(at, ask);
            return false;
        }
        if (copy_hash) copy_hash->add(at, done);
        at += done;
        n -= done;
        if (!written(done)) return false;
    }
    return true;
}

// Gathers the pieces into writes of 1 MiB, so many small edits cost few
// calls; the buffer is the save's only memory. Without it, every piece is
// written where it lies.
struct write_buffer {
    uint8_t *bytes;
    std::size_t used;
    ~write_buffer() { hv_free(bytes); }
};

bool put_bytes(hv_handle h, write_buffer &buf, const uint8_t *at, uint64_t n) {
    if (!buf.bytes) return write_all(h, at, n);
    while (n > 0) {
        if (hv_guard_lost(HV_GUARD_VIEW)) return false;  // the rest would be zeros
        std::size_t take = std::min<uint64_t>(n, kChunk - buf.used);
        std::memcpy(buf.bytes + buf.used, at, take);
        buf.used += take;
        at += take;
        n -= take;
        if (buf.used == kChunk) {
            if (!write_all(h, buf.bytes, kChunk)) return false;
            buf.used = 0;
        }
    }
    return true;
}

bool flush_buffer(hv_handle h, write_buffer &buf) {
    bool ok = !buf.bytes || write_all(h, buf.bytes, buf.used);
    buf.used = 0;
    return ok;
}

// Where the holes of the open file are, so the target gets holes there too
// instead of zeros: an open handle on the file, or none (all data).
struct hole_map {
    hv_handle_closer file;
    bool skipped = false;  // the target's position moved past a hole
    bool ends_in_hole = false;
};

// The open file as it was opened (its size unchanged), or none.
void open_hole_map(hole_map &holes) {
    if (S.view) holes.file.h = hv_open_again();
}

// A piece of the open file: its data runs are written, its holes skipped.
bool put_file_piece(hv_handle h, write_buffer &buf, hole_map &holes, const hv_piece &p) {
    int64_t pos = p.from, end = p.from + p.len;
    while (pos < end) {
        int64_t data_at = pos, data_end = end;
        if (!hv_os->next_data(holes.file.h, pos, S.file_size, &data_at, &data_end)) {
            data_at = pos;
            data_end = end;
        }
        data_at = std::min(std::max(data_at, pos), end);
        data_end = std::min(std::max(data_end, data_at), end);
        if (data_at > pos) {  // a hole
            if (!flush_buffer(h, buf) || !hv_os->skip(h, data_at - pos)) return false;
            if (copy_hash) copy_hash->add_zeros(static_cast<uint64_t>(data_at - pos));
            holes.skipped = true;
            holes.ends_in_hole = true;
        }
        if (data_end > data_at) {
            if (!put_bytes(h, buf, S.view + data_at, static_cast<uint64_t>(data_end - data_at))) return false;
            holes.ends_in_hole = false;
        }
        pos = data_end > data_at ? data_end : std::max(data_at, pos + 1);
    }
    return true;
}

// Streams the cached pieces of the content, in order. The reads of the mapped
// file are protected: a file that shrinks under them ends the stream. With
// `keep_holes`, holes of the open file are skipped rather than written.
bool write_content(hv_handle h, bool keep_holes) {
    write_buffer buf{static_cast<uint8_t *>(hv_malloc(kChunk)), 0};
    hole_map holes;
    if (keep_holes && buf.bytes) open_hole_map(holes);
    if (holes.file.h != HV_NO_HANDLE) hv_os->make_sparse(h);
    // Nothing the stream reads changes meanwhile: staging, opens and closes
    // are refused while a save runs, and pages only read the built content.
    hv_unlocked unlocked;
    hv_protected_read guard;
    for (int64_t i = 0; i < S.n_pieces; i++) {
        const hv_piece &p = S.logical[i];
        if (p.source == HV_FROM_FILE && holes.file.h != HV_NO_HANDLE) {
            if (!put_file_piece(h, buf, holes, p)) return false;
            continue;
        }
        const uint8_t *bytes = hv_piece_bytes(p);
        if (!bytes || !put_bytes(h, buf, bytes, static_cast<uint64_t>(p.len))) return false;
        if (p.len > 0) holes.ends_in_hole = false;
    }
    if (hv_guard_lost(HV_GUARD_VIEW) || !flush_buffer(h, buf)) return false;
    if (holes.skipped) {
        // The holes were read from the file as it is now: it must still be as opened.
        int64_t size = -1;
        if (!hv_os->file_size(holes.file.h, &size) || size != S.file_size) return false;
    }
    return !holes.ends_in_hole || hv_os->set_size(h, S.logical_len);
}

// Writes and flushes, then closes h. A failed flush (a full disk often shows
// only there) fails the save too.
// Writes and flushes through h, which stays open. A failed flush (a full
// disk often shows only there) fails the save too.
bool write_and_flush(hv_handle h, const char *shown, bool keep_holes) {
    bool ok = write_content(h, keep_holes) && hv_os->flush(h);
    if (ok || hv_check_shrank()) return ok;
    if (cancel_allowed && running_save && running_save->cancelled())
        running_save->fail_cancelled();
    else
        hv_err("WriteFile failed: %s", shown);
    return ok;
}

bool write_and_close(hv_handle h, const char *shown, bool keep_holes) {
    bool ok = write_and_flush(h, shown, keep_holes);
    hv_os->close(h);
    return ok;
}

// The size of the file as read back through a fresh open; -1 when unreadable.
int64_t size_on_disk(const char *path) {
    hv_handle h = hv_os->open_read(path);
    if (h == HV_NO_HANDLE) return -1;
    int64_t size = -1;
    if (!hv_os->file_size(h, &size)) size = -1;
    hv_os->close(h);
    return size;
}

// The size of the file of h, as the check of a file still open.
bool size_is_the_content(hv_handle h) {
    int64_t got = -1;
    if (hv_os->file_size(h, &got) && got == S.logical_len) return true;
    hv_err("save size mismatch: expected %lld got %lld", static_cast<long long>(S.logical_len),
           static_cast<long long>(got));
    return false;
}

bool size_matches(const char *path) {
    int64_t got = size_on_disk(path);
    if (got == S.logical_len) return true;
    hv_err("save size mismatch: expected %lld got %lld", static_cast<long long>(S.logical_len),
           static_cast<long long>(got));
    return false;
}

// Maps the finished temporary file, which holds exactly the content, and makes
// it the content's source. Its name goes at once where the system allows it
// (the mapping stays), else when the content is dropped.
bool adopt_temp(const char *temp, bool keep_name = false) {
    hv_handle h = hv_os->open_read(temp);
    if (h == HV_NO_HANDLE) return false;
    int64_t size = -1;
    uint8_t *view = nullptr;
    bool mapped = hv_os->file_size(h, &size) && size == S.logical_len && size > 0 &&
                  hv_os->map(h, size, false, &view) == HV_MAP_OK;
    hv_os->close(h);
    if (!mapped) return false;
    char *keep = keep_name || hv_os->remove_file(temp) ? nullptr : hv_strdup(temp);
    hv_logical_adopt_spare(view, size, keep);
    return true;
}

// After a rename that failed without our view: the view comes back from the
// file, which the failed rename left as it was. Failing that, the temporary
// file holds the content from now on; true when it is kept for that.
bool recover_content(const char *temp) {
    if (hv_remap_view() || !hv_logical_uses_file()) return false;
    if (adopt_temp(temp)) return true;
    // Nothing left to read it from: no stale pieces are shown, and with the
    // edits still staged, pages and saves say the content is unavailable.
    hv_logical_drop();
    S.logical_stale = 1;
    return false;
}

// Renames temp over the target. Some systems (Windows) refuse to replace a
// file that is mapped: then our view of the open file goes for the rename.
// The content is safe meanwhile: the temporary file holds all of it.
// On failure *code is the system's code for it and *temp_kept tells whether
// the temporary file now backs the content.
hv_fs_result replace_target(const char *temp, hv_handle_closer &temp_file, const save_target &t, unsigned long *code,
                            bool *temp_kept) {
    hv_fs_result replaced = hv_os->replace_file(temp, t.real);
    if (replaced != HV_FS_OK && t.is_open_file && S.view) {
        hv_os->unmap(S.view, S.file_size);
        S.view = nullptr;
        replaced = hv_os->replace_file(temp, t.real);
        if (replaced != HV_FS_OK) {
            *code = hv_os->last_error();
            temp_file.close();  // to be opened again by its name
            *temp_kept = recover_content(temp);
            return replaced;
        }
    }
    if (replaced != HV_FS_OK) *code = hv_os->last_error();
    return replaced;
}

// Writes the whole content to a new file beside the target, flushed and its
// size checked; `temp` gets its name, and `h` its handle, kept open (so no
// open takes the file for one a killed save left) until it is renamed. The
// file is removed on any failure. fall_back when the folder takes no new
// file or, `with_attributes`, the file cannot take the target's permission
// bits.
outcome write_beside(const save_target &t, bool with_attributes, char *temp, std::size_t cap, hv_handle_closer &kept) {
    hv_handle &h = kept.h;
    hv_fs_result made = hv_os->create_temp_beside(t.real, HV_TEMP_SAVE, &h, temp, cap);
    if (made == HV_FS_NOT_ALLOWED) return outcome::fall_back;
    if (made != HV_FS_OK) {
        fail_cannot_open(t.shown, hv_os->last_error());
        return outcome::failed;
    }
    // Attributes before the flush, so they reach the disk with the content.
    const hv_path_info *like = t.info.kind == HV_PATH_REGULAR ? &t.info : nullptr;
    if (with_attributes && !hv_os->apply_attributes(h, like)) {
        kept.close();
        hv_os->remove_file(temp);
        return outcome::fall_back;
    }
    cancel_allowed = true;
    bool complete = write_and_flush(h, t.shown, true);
    cancel_allowed = false;
    if (complete && size_is_the_content(h)) return outcome::saved;
    kept.close();
    hv_os->remove_file(temp);
    return outcome::failed;
}

// Content to a new file beside the target, then renamed over it. The temp file
// is removed on every failure; the target is touched only by the rename. The
// target's save lock goes for the rename (Windows replaces no file that a
// handle holds open; on POSIX the lock stays with the replaced file anyway),
// and is taken again before the target is rewritten in place instead.
outcome save_through_temp(const save_target &t, hv_save_lock &lock) {
    char temp[kPathRoom];
    hv_handle_closer temp_file;
    outcome written_beside = write_beside(t, true, temp, sizeof temp, temp_file);
    if (written_beside != outcome::saved) return written_beside;
    unsigned long code = 0;
    bool temp_kept = false;
    lock.release();
    hv_fs_result replaced = replace_target(temp, temp_file, t, &code, &temp_kept);
    temp_file.close();
    if (replaced != HV_FS_OK) {
        if (!temp_kept) hv_os->remove_file(temp);
        if (replaced == HV_FS_NOT_ALLOWED) return lock_target(lock, t) == 0 ? outcome::fall_back : outcome::failed;
        fail_cannot_open(t.shown, code);
        return outcome::failed;
    }
    // The content is on the disk and the name replaced: a folder that cannot
    // be synced leaves only the rename's durability open, not the save.
    hv_os->sync_folder_of(t.real);
    return outcome::saved;
}

void release_view() {
    if (!S.view) return;
    hv_os->unmap(S.view, S.file_size);
    S.view = nullptr;
}

// ---- Rewriting a target in place ---------------------------------------

// The way back of a rewrite: a whole copy of the new content and the
// journal that names it, both on disk (and flushed, their folder too)
// before the target is emptied.
struct rescue {
    hv_journal_place place;
    char copy[kPathRoom];
    hv_handle_closer journal;  // the journal as written
};

// A journal of the target that is not the one our own failed rewrite left.
bool journal_in_the_way(const save_target &t) {
    char jpath[kPathRoom];
    if (!hv_journal_exists(t.real, t.info, jpath, sizeof jpath)) return false;
    if (t.is_open_file && S.rescue_journal && std::strcmp(jpath, S.rescue_journal) == 0) return false;
    if (t.is_open_file)
        hv_err("a journal of an earlier save is in the way: %s - remove it to save in place", jpath);
    else
        hv_err("a journal of an earlier save of %s is in the way: %s - open %s read-write to finish or undo that save "
               "first",
               t.shown, jpath, t.shown);
    return true;
}

// What the target holds before the rewrite: an open after a crash finishes
// the rewrite only over that, or over a beginning of the new content.
bool hash_the_target(const save_target &t, hv_rewrite_record &record) {
    // Shared with every opener: our own view of it may still be mapped.
    hv_handle_closer h{hv_os->open_nofollow(t.real)};
    hv_path_info now{};
    if (h.h == HV_NO_HANDLE || !hv_os->handle_info(h.h, &now) || !hv_os->file_size(h.h, &record.old_size)) {
        fail_cannot_open(t.shown, hv_os->last_error());
        return false;
    }
    if (!hv_same_file(now, t.info)) {
        fail_moved(t.shown);
        return false;
    }
    hv_heap_bytes buf(kChunk);
    if (!buf.p) {
        hv_err("out of memory");
        return false;
    }
    if (hv_hash_file(h.h, record.old_size, buf.p, buf.len, &record.old_hash)) return true;
    hv_err("cannot read %s (win error %lu)", t.shown, hv_os->last_error());
    return false;
}

// The copy, beside the target or in the user's state folder, with the
// hash of every byte written; then its journal.
outcome write_rescue(const save_target &t, rescue &r) {
    if (journal_in_the_way(t)) return outcome::failed;
    hv_handle h = HV_NO_HANDLE;
    hv_fs_result made = hv_journal_place_for(t.real, t.info, HV_TEMP_COPY, r.place, &h, r.copy, sizeof r.copy);
    if (made != HV_FS_OK) {
        if (made == HV_FS_NOT_ALLOWED)
            hv_fail_no_journal_place(t.shown, hv_os->last_error());
        else
            fail_cannot_open(t.shown, hv_os->last_error());
        return outcome::failed;
    }
    hv_content_hash hash;
    copy_hash = &hash;
    cancel_allowed = true;
    bool complete = write_and_close(h, t.shown, true);
    cancel_allowed = false;
    copy_hash = nullptr;
    hv_rewrite_record record{S.logical_len, hash.value(), 0, 0};
    if (!complete || !size_matches(r.copy) || !hash_the_target(t, record) ||
        !hv_write_restore_journal(r.place, t.info, record, r.copy, r.journal)) {
        hv_os->remove_file(r.copy);
        return outcome::failed;
    }
    // An earlier failed rewrite's journal is replaced by this one.
    if (t.is_open_file && S.rescue_journal && std::strcmp(S.rescue_journal, r.place.journal) != 0)
        hv_os->remove_file(S.rescue_journal);
    return outcome::saved;
}

// The rewrite is over: no journal, no copy. A journal that will not go
// keeps its copy, so it stays whole (finishing the rewrite again at the next
// open changes nothing).
void drop_rescue(rescue &r) {
    if (hv_retire_journal(r.journal, r.place.journal)) hv_os->remove_file(r.copy);
}

// Pages and the rewrite read the content from the copy from now on: the
// file's own bytes are about to go.
bool read_from_the_copy(const rescue &r) {
    char *name = hv_strdup(r.copy);
    if (!name || !adopt_temp(r.copy, true)) {
        hv_free(name);
        hv_err("cannot open for write: %s (win error %lu)", r.copy, hv_os->last_error());
        return false;
    }
    hv_free(S.rescue_path);
    S.rescue_path = name;
    return true;
}

// The failure's message, told where the whole content still is.
void name_the_copy(const char *copy) {
    char message[HV_ERR_SIZE];
    std::snprintf(message, sizeof message, "%s", hv_err_text());
    if (copy)
        hv_err("%s - the content is whole in %s", message, copy);
    else
        hv_err("%s - the content is whole only in memory: save it to another file", message);
}

// After the open file was rewritten whole: its copy is no longer needed;
// `remove` unless it is gone already or a journal still names it.
void drop_the_copy(bool remove) {
    hv_logical_drop();  // lets go of the copy's mapping, so its name can go
    S.logical_stale = 1;
    if (!S.rescue_path) return;
    if (remove) hv_os->remove_file(S.rescue_path);
    hv_free(S.rescue_path);
    S.rescue_path = nullptr;
}

// The target file, opened for writing, when it is still the one examined.
hv_handle open_target_for_rewrite(const save_target &t) {
    hv_handle h = hv_os->open_existing_rw(t.real);
    hv_path_info now{};
    if (h == HV_NO_HANDLE) return h;
    if (!hv_os->handle_info(h, &now) || !hv_same_file(now, t.info)) {
        hv_os->close(h);
        fail_moved(t.shown);
        return HV_NO_HANDLE;
    }
    return h;
}

// Empties the file and writes the content into it, flushed and its size
// checked.
bool rewrite_file(const save_target &t) {
    hv_handle h = open_target_for_rewrite(t);
    if (h == HV_NO_HANDLE) {
        if (!hv_err_text()[0]) fail_cannot_open(t.shown, hv_os->last_error());
        return false;
    }
    if (!hv_os->set_size(h, 0)) {
        unsigned long code = hv_os->last_error();
        hv_os->close(h);
        fail_cannot_open(t.shown, code);
        return false;
    }
    return write_and_close(h, t.shown, true) && size_matches(t.real);
}

// A regular file rewritten in place, behind its copy and journal: a kill at
// any moment leaves either the file as it was (before the journal is on
// disk) or a journal an open finishes the rewrite from. A failure keeps
// both and names the copy.
outcome rewrite_regular(const save_target &t) {
    rescue r;
    const bool has_content = S.logical_len > 0;
    if (has_content) {
        outcome o = write_rescue(t, r);
        if (o != outcome::saved) return o;
    }
    if (t.is_open_file && S.view) {
        if (has_content && !read_from_the_copy(r)) {
            drop_rescue(r);
            return outcome::failed;
        }
        release_view();
    }
    hv_err_clear();
    if (rewrite_file(t)) {
        if (has_content) drop_rescue(r);
        // The copy the content was read from: this rewrite's own (dealt with
        // just now, with its journal), or an earlier failed one's, which the
        // new journal replaced.
        bool earlier_copy = S.rescue_path && (!has_content || std::strcmp(S.rescue_path, r.copy) != 0);
        if (t.is_open_file && S.spare) drop_the_copy(earlier_copy);
        return outcome::saved;
    }
    if (!has_content) return outcome::failed;
    name_the_copy(r.copy);
    if (t.is_open_file) {
        hv_free(S.rescue_journal);
        S.rescue_journal = hv_strdup(r.place.journal);
    }
    return outcome::failed;
}

// A target that is no regular file (a device) can only be written over.
outcome rewrite_other(const save_target &t) {
    hv_handle h = hv_os->create_for_write(t.real);
    if (h == HV_NO_HANDLE) {
        fail_cannot_open(t.shown, hv_os->last_error());
        return outcome::failed;
    }
    return write_and_close(h, t.shown, false) && size_matches(t.real) ? outcome::saved : outcome::failed;
}

// A target that does not exist yet has nothing to lose: it is made and
// written (where the folder takes no temporary file, it will not take this
// one either, and says why).
outcome rewrite_target(const save_target &t) {
    return t.info.kind == HV_PATH_REGULAR ? rewrite_regular(t) : rewrite_other(t);
}

// True when the content keeps every byte of the file at its offset: the same
// size, and each piece of the file where it was.
bool overwrites_only() {
    if (S.logical_len != S.file_size || S.spare || (S.file_size > 0 && !S.view)) return false;
    for (int64_t i = 0; i < S.n_pieces; i++) {
        const hv_piece &p = S.logical[i];
        if (p.source == HV_FROM_SPARE || (p.source == HV_FROM_FILE && p.from != p.at)) return false;
    }
    return true;
}

// The pieces of the content that are not the file's own bytes, as ranges to
// patch; adjacent ones stay separate (they come from different edits).
outcome patch_in_place(const save_target &t) {
    // A shrink always takes the file's tail: a read of its last byte lets the
    // guard notice one before a patch that reads nothing else of the file.
    if (S.view && S.file_size > 0) notice_lost_pages(S.view, static_cast<std::size_t>(S.file_size));
    if (hv_check_shrank()) return outcome::failed;
    int64_t n = 0;
    for (int64_t i = 0; i < S.n_pieces; i++) n += S.logical[i].source >= 0 ? 1 : 0;
    if (n == 0) return size_on_disk(t.real) == S.file_size ? outcome::saved : outcome::fall_back;  // the content is the file
    auto *ranges = static_cast<hv_patch_range *>(hv_malloc(sizeof(hv_patch_range) * static_cast<std::size_t>(n)));
    if (!ranges) {
        hv_err("out of memory");
        return outcome::failed;
    }
    int64_t k = 0;
    for (int64_t i = 0; i < S.n_pieces; i++) {
        const hv_piece &p = S.logical[i];
        if (p.source >= 0) ranges[k++] = hv_patch_range{p.at, p.len, hv_piece_bytes(p)};
    }
    hv_patch_plan plan{t.real, t.shown, t.info, S.file_size, S.view, ranges, n, release_view};
    hv_patch_result r = hv_patch_file(plan);
    hv_free(ranges);
    // A view let go of for the patch comes back from the file as it is now
    // (as it was, when the patch failed); after a success the save opens it again.
    if (r != hv_patch_result::patched) hv_remap_view();
    if (r == hv_patch_result::patched) return outcome::saved;
    return r == hv_patch_result::failed ? outcome::failed : outcome::fall_back;
}

outcome write_target(const save_target &t, hv_save_lock &lock) {
    if (t.is_open_file && t.info.kind == HV_PATH_REGULAR && overwrites_only()) {
        outcome o = patch_in_place(t);
        if (o != outcome::fall_back) return o;
    }
    if (rename_keeps_the_target(t.info)) {
        outcome o = save_through_temp(t, lock);
        if (o != outcome::fall_back) return o;
    }
    return rewrite_target(t);
}

}  // namespace

namespace {

// After a save of the open file: a journal our own failed rewrite left is
// done with (the file holds a whole content now).
void forget_rescue_journal() {
    if (!S.rescue_journal) return;
    hv_os->remove_file(S.rescue_journal);
    hv_free(S.rescue_journal);
    S.rescue_journal = nullptr;
}

// The file is saved: the re-open shows it. A failure there is told as such,
// not as a failed save.
int open_again(const char *path, int32_t rw) {
    if (hv_map(path, rw) == 0) return 0;
    char why[HV_ERR_SIZE];
    std::snprintf(why, sizeof why, "%s", hv_err_text());
    hv_err("saved %s, but it could not be opened again: %s", path, why);
    return -1;
}

}  // namespace

int hv_save(const char *path) {
    if (!hv_require_open()) return -1;
    save_target t{};
    const bool save_as = path && path[0] != '\0';
    if (save_as && describe_target(t, path) != 0) return -1;
    // A save-as to the open file by another name is a save in place.
    const bool in_place = !save_as || t.is_open_file;
    if (in_place && S.n_edits == 0) return 0;
    if (hv_check_shrank()) return -1;
    if (hv_materialize() != 0) return -1;
    if (in_place) {
        if (describe_the_open_file(t) != 0) return -1;
        if (save_as) t.shown = path;
    }
    // The open routine frees S.name before it opens, so it gets a copy.
    char reopen_path[kPathRoom];
    std::snprintf(reopen_path, sizeof reopen_path, "%s", S.name);
    hv_save_lock lock;
    if (lock_target(lock, t) != 0) return -1;
    // What a killed save to this name left: no living save holds it.
    hv_os->remove_temps_beside(t.real, hv_temp_kind_bit(HV_TEMP_SAVE));
    hv_long_call call(HV_OP_SAVE, S.logical_len);
    running_save = &call;
    bytes_written = 0;
    outcome o = write_target(t, lock);
    running_save = nullptr;
    if (o != outcome::saved) return -1;
    call.finish();
    if (in_place) forget_rescue_journal();
    // The open file was saved: show it as saved (its view may be gone).
    if (in_place) return open_again(reopen_path, S.is_rw);
    hv_clear_edits();
    return 0;
}
