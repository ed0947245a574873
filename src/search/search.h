// Pattern search over the file as on disk, and the tables that keep the
// compiled pattern and the hits until the next search (closing or opening a
// file leaves them in place).
#pragma once

#include <cstdint>

#include "quillmar_hexview.h"

constexpr int64_t HV_MAX_PATTERN = HX_MAX_PATTERN_BYTES;  // pattern bytes
constexpr int64_t HV_MAX_MATCHES = HX_MAX_STORED_HITS;  // stored hit offsets

extern uint8_t s_search_pat[HV_MAX_PATTERN];   // byte values; 0x00 at a wildcard
extern uint8_t s_search_mask[HV_MAX_PATTERN];  // 0xFF: must equal, 0x00: any byte
extern int64_t s_search_patlen;
extern int64_t s_match_cursor;              // index of the hit hv_search_next returns next
extern int64_t s_n_matches;                 // every hit of the last search
extern int64_t s_matches[HV_MAX_MATCHES];   // the first 10000 hits, ascending
extern int64_t s_last_match;                // the last hit, also when it was not stored

// Compiles the pattern in mode "hex", "ascii" or "utf16" and records every
// hit at or after start (negative means 0). 0 when the search ran, whatever it
// found; -1 with a message otherwise.
int hv_search(const char *mode, const char *pattern, int64_t start);
