// The pattern scan: every non-overlapping hit of a pattern with wildcard bytes
// in a block of bytes, leftmost first, the next candidate right after a hit.
#pragma once

#include <cstdint>

struct hv_scan_hits {
    int64_t *stored;  // the first `room` hit offsets go here, ascending
    int64_t room;
    int64_t count;    // every hit, also those beyond `room`
    int64_t last;     // offset of the last hit, -1 when there is none
};

// Asked before each stretch of a few MiB of candidates, with the first
// candidate of the stretch (every byte before it is scanned) and the hits so
// far, whether the scan goes on; when it answers false the scan ends early and
// its hits are incomplete.
struct hv_scan_watch {
    bool (*go_on)(void *context, int64_t next, const hv_scan_hits &hits);
    void *context;
};

// Scans data[0..size) from `start` (negative counts as 0) for the pattern of
// `len` >= 1 bytes (mask 0xFF: the byte must equal pat, 0x00: any byte).
// Candidates run from start to size - len; no byte at or past size is read.
// Linear in size for a pattern without wildcards; allocates nothing.
void hv_scan(const uint8_t *data, int64_t size, int64_t start, const uint8_t *pat, const uint8_t *mask, int64_t len,
             hv_scan_hits &hits, const hv_scan_watch *watch = nullptr);
