// The journal of a save that writes a file in place, and the recovery that
// puts an interrupted one right at the next open.
//
// Two kinds, one name per file. A patch journal keeps the old and the new
// bytes of the ranges an overwrite-only save changes (and a hash of the new
// ones), so an open rolls back only ranges whose every byte is the save's old
// or new one: a file changed since the save stopped is left alone. A restore journal
// names a whole copy of the new content, with its size and hash, that a
// rewrite in place wrote first: an open finishes the rewrite from it.
//
// "<file>.hexview-journal" beside the file, or, where its folder takes no new
// file, "<volume>-<file id>.hexview-journal" in the user's state folder.
// Little-endian u64 fields:
//   0  magic "HXJRNL02"; 8 kind (1 patch, 2 restore); 16 the file's size
//      (patch: before and after; restore: the content's); 24 volume; 32 file
//      id; 40 n (patch: ranges; restore: bytes of the copy's name)
//  48  patch: n ranges: offset, length, the content hash of the new bytes,
//      then `length` old bytes and `length` new bytes;
//      restore: the content's hash, the old content's size and hash, then
//      the copy's name (in the journal's folder)
// end  FNV-1a 64 of every byte before it
// "HXJRNL01" journals (no kind, no hashes: offset 8 size, 16 volume, 24 file
// id, 32 n, 40 ranges of offset, length and old bytes) are still rolled back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

constexpr const char *HV_JOURNAL_SUFFIX = ".hexview-journal";
constexpr std::size_t HV_JOURNAL_PATH_ROOM = 4096;

// Where the journal of a file lives, and what the files made with it (its
// temporary, a rewrite's copy) are named after.
struct hv_journal_place {
    char journal[HV_JOURNAL_PATH_ROOM];
    char base[HV_JOURNAL_PATH_ROOM];
    bool per_user;
};

// Beside the file `real`; false when the names do not fit.
bool hv_journal_beside(const char *real, hv_journal_place &out);
// In the user's state folder, keyed by the file's identity; made with
// `create`. False when there is no such folder (last_error says why).
bool hv_journal_per_user(const hv_path_info &file, bool create, hv_journal_place &out);
// The place that takes a new file: beside `real` when its folder lets one be
// made (and the journal's name there is free or ours), else the user's state
// folder; for a file with several names the state folder only, so every
// name finds it. `h` gets a new file of `kind` there (path in `temp`).
// HV_FS_NOT_ALLOWED when neither takes one.
hv_fs_result hv_journal_place_for(const char *real, const hv_path_info &file, hv_temp_kind kind,
                                  hv_journal_place &place, hv_handle *h, char *temp, std::size_t cap);
// A journal of `real` that is provably ours, in either place: its path into
// `out`. (A file under the name that is not ours is left alone and never in
// the way: ours goes elsewhere.)
bool hv_journal_exists(const char *real, const hv_path_info &file, char *out, std::size_t cap);

// `len` new bytes at `offset`.
struct hv_patch_range {
    int64_t offset;
    int64_t len;
    const uint8_t *bytes;
};

struct hv_patch_plan {
    const char *real;        // the file, links followed
    const char *shown;       // its name in messages
    hv_path_info identity;   // what `real` is
    int64_t file_size;       // its size, kept by the patch
    const uint8_t *view;     // the file's mapping, where the old bytes are read
    const hv_patch_range *ranges;
    int64_t n_ranges;
    // Lets go of the file's mapping, for systems that refuse to open a mapped
    // file for writing (Windows keeps the share mode of the handle it was
    // mapped through); the open is then tried once more.
    void (*release_view)();
};

enum class hv_patch_result {
    patched,       // the file holds the new bytes, flushed; no journal left
    failed,        // a message is recorded; the file is as it was (or, when
                   // even the roll-back failed, the journal stays for recovery)
    not_possible,  // nothing was touched: the file is not as it was opened;
                   // another way must save
};

// Called with the file's save lock held.
hv_patch_result hv_patch_file(const hv_patch_plan &plan);

// Records the refusal of a save that would write `shown` in place with no
// way back: "cannot save <shown> in place: no journal can be made beside it
// nor in <state folder> (win error <code>) - the edits are kept; save to
// another file".
void hv_fail_no_journal_place(const char *shown, unsigned long code);

// Writes a restore journal at place.journal (replacing one there), flushed,
// and its folder flushed: from then on the copy `copy_path` (in that folder)
// is what an open restores `file` from. `kept` gets a handle on the journal,
// for hv_retire_journal. False with a message.
struct hv_rewrite_record {
    int64_t size;       // of the new content
    uint64_t hash;      // of the new content (the copy)
    int64_t old_size;   // of the file before the rewrite
    uint64_t old_hash;  // of its content
};
bool hv_write_restore_journal(const hv_journal_place &place, const hv_path_info &file, const hv_rewrite_record &r,
                              const char *copy_path, hv_handle_closer &kept);

// A journal that is done with (its work finished or undone): it is emptied
// through `journal` (a handle on it as written), so that no copy of it under
// another name can be applied later, and its name goes. False when the name
// cannot be removed (the journal is then empty, which an open removes).
bool hv_retire_journal(hv_handle_closer &journal, const char *jpath);

// What an open found.
enum class hv_recovery {
    none,         // no journal (notice may tell of something else)
    rolled_back,  // a patch journal was rolled back and removed (notice set)
    restored,     // a rewrite was finished from its copy (notice set)
    left_alone,   // a journal that is not valid, not ours or stale (notice set)
    refused,      // read-only open of a file with a hot journal (message set)
    busy,         // another process is saving the file (message set)
    failed,       // the roll-back or restore failed (message set)
};

// Looks for a journal of `path` before an open, under the file's save lock.
// A read-write open rolls a hot one back (or finishes its rewrite) and
// removes the abandoned temporaries of the file; a read-only one refuses.
hv_recovery hv_journal_recover(const char *path, bool rw, char *notice, std::size_t cap);

// hx_open and hx_open_rw: releases what is open, recovers an interrupted save
// of `path`, then opens and maps it, with what recovery found as the notice.
int hv_open_recovering(const char *path, int32_t rw);
