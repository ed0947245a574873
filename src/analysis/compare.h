// Byte-wise comparison of the open file, as on disk, with a compare file,
// recorded as runs of differing bytes in a process-wide table.
#pragma once

#include <cstdint>

#include "quillmar_hexview.h"

// One run of consecutive differing offsets.
struct hv_diff {
    int64_t offset;       // of the first byte, the same in both files
    int64_t len;          // 1 to 64
    uint8_t *this_bytes;  // the open file's bytes (0x00 past its end)
    uint8_t *other_bytes; // the compare file's bytes (0x00 past its end)
};

constexpr int64_t HV_MAX_DIFFS = HX_MAX_RUNS;
constexpr int64_t HV_MAX_RUN = HX_RUN_BYTES;

// The runs of the last compare in ascending offset. Only the next compare
// changes them; closing or opening a file leaves them.
extern hv_diff s_diffs[HV_MAX_DIFFS];
extern int64_t s_n_diffs;

// Compares the open file with the file at `path`. 0 on success, with or
// without differences; -1 with a message on failure, when no run is stored
// (except with no file open, when the runs of the last compare stay).
int hv_compare(const char *path);

// The number of runs stored; -1 with "no file open" when no file is open.
int hv_compare_count(void);

// "offset", "this_hex" or "other_hex" of run `index` as text in the calling
// thread's 1024-byte buffer; "" on failure.
const char *hv_compare_field(int index, const char *field);
