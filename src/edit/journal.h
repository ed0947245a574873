// The rollback journal of a save that patches the open file in place, and the
// recovery that rolls an interrupted patch back.
//
// "<file>.hexview-journal", beside the file, little-endian:
//   0  8 bytes  magic "HXJRNL01"
//   8  u64      the file's size (the same before and after the patch)
//  16  u64      the file's volume, 24 u64 its file id (its identity)
//  32  u64      the number of ranges n
//  40  n ranges: u64 offset, u64 length, then `length` old bytes
//  end u64      FNV-1a 64 of every byte before it
// The journal is complete and flushed before the file is touched, and removed
// only after the patched file is flushed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

constexpr const char *HV_JOURNAL_SUFFIX = ".hexview-journal";

// "<path>.hexview-journal" into out; false when it does not fit in cap bytes.
bool hv_journal_path(const char *path, char *out, std::size_t cap);

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
    not_possible,  // nothing was touched: the folder takes no journal, or the
                   // file is not as it was opened; another way must save
};

hv_patch_result hv_patch_file(const hv_patch_plan &plan);

// What an open found beside the file.
enum class hv_recovery {
    none,         // no journal
    rolled_back,  // a valid journal was rolled back and removed (notice set)
    left_alone,   // a journal that is not valid for the file (notice set)
    refused,      // read-only open of a file with a valid journal (message set)
    failed,       // the roll-back failed (message set)
};

// Looks for the journal of `path` before an open. A read-write open rolls a
// valid one back; a read-only one refuses. `notice` gets the text for the
// host (room for cap bytes); refusals and failures record their message.
hv_recovery hv_journal_recover(const char *path, bool rw, char *notice, std::size_t cap);
