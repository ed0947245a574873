// The one record that describes the open file, and the edit record.
#pragma once

#include <cstdint>

#include "platform/os.h"
#include "quillmar_hexview.h"

enum hv_edit_kind : int32_t {
    HV_EDIT_WRITE = 0,
    HV_EDIT_INSERT = 1,
    HV_EDIT_DELETE = 2,
};

// One staged edit. `offset` counts in the content that the earlier edits leave.
struct hv_edit {
    int32_t kind;
    int64_t offset;
    uint8_t *bytes;  // owned copy of the bytes to write or insert; null for a delete
    int64_t len;     // bytes in `bytes`, or the number of bytes to delete
};

// Where the bytes of a piece of the content live.
enum hv_piece_source : int32_t {
    HV_FROM_FILE = -1,   // the mapped file (S.view)
    HV_FROM_SPARE = -2,  // the whole-content copy (S.spare); any value >= 0 is an edit's index
};

// A span of the logical content: `len` bytes that begin `from` bytes into
// their source and at logical offset `at`. A piece names its source rather
// than holding a pointer, so a view that is mapped again elsewhere leaves the
// list valid.
struct hv_piece {
    int32_t source;
    int64_t from;
    int64_t at;
    int64_t len;
};

struct hv_state {
    int32_t is_open;
    int32_t is_rw;
    char *name;            // heap copy of the path the file was opened by
    char *real_path;       // that path with its links followed, at the open
    hv_path_info identity; // the file the open found there: saves check it is still there
    uint8_t *view;         // mapping of the whole file; null when empty or released
    int64_t file_size;     // size on disk when opened
    hv_piece *logical;     // cached content with the edits applied, as pieces in order
    int64_t n_pieces;
    int64_t logical_len;
    int32_t logical_stale; // an edit was staged after the last materialization
    int64_t logical_edits; // the edits the cached pieces hold: the first this many
    // A whole copy of the content, kept only while the file's own bytes are
    // gone (a save released or emptied them): heap bytes, or a mapping of the
    // save's finished temporary file, whose name is kept where it could not
    // be removed while mapped.
    uint8_t *spare;
    int64_t spare_len;
    int32_t spare_mapped;
    char *spare_path;
    // The whole copy of the content that a rewrite of the open file in place
    // made beside it, while its mapping is the spare; a failed rewrite leaves
    // the file there (its name then in the message), a later whole save
    // removes it.
    char *rescue_path;
    // The journal that restores the file from rescue_path after a rewrite in
    // place failed part-way; a later whole save of the file removes both.
    char *rescue_journal;
    hv_edit *edits;
    int64_t n_edits;
    int64_t cap_edits;
    int64_t held_bytes;  // copies the staged writes and inserts hold; at most HV_MAX_STAGED_BYTES
};

extern hv_state S;

// At most this many edits are staged at a time.
constexpr int64_t HV_MAX_EDITS = HX_MAX_EDITS;

// At most this many bytes are held by the staged edits at a time: the piece
// list, a page and an in-place save's journal read them from there, so the
// cap bounds what any of them builds from the edits.
constexpr int64_t HV_MAX_STAGED_BYTES = HX_MAX_STAGED_BYTES;

// True when a file is open; otherwise false with the message "no file open".
bool hv_require_open();
