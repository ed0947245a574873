// The one record that describes the open file, and the edit record.
#pragma once

#include <cstdint>

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

struct hv_state {
    int32_t is_open;
    int32_t is_rw;
    char *name;            // heap copy of the path the file was opened by
    uint8_t *view;         // mapping of the whole file; null when empty or released
    int64_t file_size;     // size on disk when opened
    uint8_t *logical;      // cached content with the edits applied
    int64_t logical_len;
    int32_t logical_stale; // an edit was staged after the last materialization
    hv_edit *edits;
    int64_t n_edits;
    int64_t cap_edits;
};

extern hv_state S;

// At most this many edits are staged at a time.
constexpr int64_t HV_MAX_EDITS = 1000;
