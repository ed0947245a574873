#include "search/two_way.h"

#include <algorithm>
#include <cstring>

namespace {

// Start of the maximal suffix of needle under the byte order (or its reverse)
// and that suffix's period.
struct max_suffix {
    int64_t start;
    int64_t period;
};

max_suffix maximal_suffix(const uint8_t *x, int64_t m, bool reversed) {
    int64_t ms = -1;  // the suffix starts at ms + 1
    int64_t j = 0;
    int64_t k = 1;
    int64_t p = 1;
    while (j + k < m) {
        uint8_t a = x[j + k];
        uint8_t b = x[ms + k];
        bool smaller = reversed ? a > b : a < b;
        if (smaller) {
            j += k;
            k = 1;
            p = j - ms;
        } else if (a == b) {
            if (k != p) {
                k++;
            } else {
                j += p;
                k = 1;
            }
        } else {
            ms = j++;
            k = p = 1;
        }
    }
    return {ms + 1, p};
}

}  // namespace

hv_two_way hv_two_way_make(const uint8_t *needle, int64_t len) {
    max_suffix fwd = maximal_suffix(needle, len, false);
    max_suffix rev = maximal_suffix(needle, len, true);
    max_suffix crit = fwd.start >= rev.start ? fwd : rev;  // the critical factorization
    hv_two_way tw{needle, len, crit.start, crit.period, false};
    // split + period <= len always holds, so the comparison stays in the needle.
    if (std::memcmp(needle, needle + crit.period, static_cast<std::size_t>(crit.start)) == 0) {
        tw.periodic = true;
    } else {
        tw.period = std::max(crit.start, len - crit.start) + 1;
    }
    return tw;
}

namespace {

// The first i in [from, to) with x[i] != y[i], or `to`; eight bytes at a time.
int64_t first_mismatch(const uint8_t *x, const uint8_t *y, int64_t from, int64_t to) {
    int64_t i = from;
    for (; i + 8 <= to; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, x + i, 8);
        std::memcpy(&b, y + i, 8);
        if (a != b) break;
    }
    while (i < to && x[i] == y[i]) i++;
    return i;
}

// Whether x and y agree on [from, to). Only agreement matters on the left
// part: a mismatch anywhere there shifts by the period.
bool agree(const uint8_t *x, const uint8_t *y, int64_t from, int64_t to) {
    return from >= to || std::memcmp(x + from, y + from, static_cast<std::size_t>(to - from)) == 0;
}

int64_t find_periodic(const hv_two_way &tw, const uint8_t *hay, int64_t hay_len, int64_t j) {
    const int64_t m = tw.len;
    int64_t memory = 0;  // needle[0..memory) is known to match at j
    while (j <= hay_len - m) {
        int64_t i = first_mismatch(tw.needle, hay + j, std::max(tw.split, memory), m);
        if (i < m) {
            j += i - tw.split + 1;
            memory = 0;
            continue;
        }
        if (agree(tw.needle, hay + j, memory, tw.split)) return j;
        j += tw.period;
        memory = m - tw.period;
    }
    return -1;
}

int64_t find_aperiodic(const hv_two_way &tw, const uint8_t *hay, int64_t hay_len, int64_t j) {
    const int64_t m = tw.len;
    while (j <= hay_len - m) {
        int64_t i = first_mismatch(tw.needle, hay + j, tw.split, m);
        if (i < m) {
            j += i - tw.split + 1;
            continue;
        }
        if (agree(tw.needle, hay + j, 0, tw.split)) return j;
        j += tw.period;
    }
    return -1;
}

}  // namespace

int64_t hv_two_way_find(const hv_two_way &tw, const uint8_t *hay, int64_t hay_len, int64_t from) {
    if (from < 0) from = 0;
    if (from > hay_len - tw.len) return -1;
    if (tw.len == 1) {
        const void *hit = std::memchr(hay + from, tw.needle[0], static_cast<std::size_t>(hay_len - from));
        return hit ? static_cast<const uint8_t *>(hit) - hay : -1;
    }
    return tw.periodic ? find_periodic(tw, hay, hay_len, from) : find_aperiodic(tw, hay, hay_len, from);
}
