// Finding a literal byte string in linear time with constant extra space (the
// Crochemore-Perrin Two-Way algorithm). The scan falls back to it when its
// fast filter meets data that would make plain verification quadratic.
#pragma once

#include <cstdint>

struct hv_two_way {
    const uint8_t *needle;
    int64_t len;
    int64_t split;   // the right part needle[split..len) is matched first
    int64_t period;  // shift after a mismatch in the left part
    bool periodic;   // the needle repeats with `period`: remember the matched part
};

// Prepares the search for needle[0..len), len >= 1. The needle is not copied.
hv_two_way hv_two_way_make(const uint8_t *needle, int64_t len);

// The leftmost s >= from with hay[s..s+len) equal to the needle and s + len <=
// hay_len, or -1. Reads no byte at or past hay_len.
int64_t hv_two_way_find(const hv_two_way &tw, const uint8_t *hay, int64_t hay_len, int64_t from);
