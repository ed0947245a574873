#include "search/scan.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "search/two_way.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define HV_SCAN_SSE2 1
#endif

namespace {

// The pattern as the scan sees it: two anchor bytes that a vectorised filter
// tests at every candidate, and the longest literal run for the Two-Way path.
struct plan {
    const uint8_t *pat;
    const uint8_t *mask;
    int64_t len;
    int64_t n_literal;
    int64_t anchor1;
    int64_t anchor2;
    bool anchors_cover;  // the anchors are all the literal bytes: a candidate is a hit
    int64_t run_start;
    int64_t run_len;
};

// How common a byte value is in typical files, so the anchors are rare ones.
int commonness(uint8_t b) {
    if (b == 0x00) return 6;
    if (b == ' ' || b == 0xff) return 5;
    if (b >= 'a' && b <= 'z') return 4;
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || b == '\n' || b == '\r' || b == '\t') return 3;
    if (b < 0x80) return 2;
    return 1;
}

bool literal(const plan &pl, int64_t i) { return pl.mask[i] == 0xff; }

int64_t distance(int64_t a, int64_t b) { return a > b ? a - b : b - a; }

// The literal position with the rarest byte other than `skip`, and when
// `differ` is set, with a byte unlike `avoid`; ties go to the position
// farthest from `from`. -1 when there is none.
int64_t rarest(const plan &pl, int64_t skip, bool differ, uint8_t avoid, int64_t from) {
    int64_t best = -1;
    for (int64_t i = 0; i < pl.len; i++) {
        if (!literal(pl, i) || i == skip || (differ && pl.pat[i] == avoid)) continue;
        if (best < 0) {
            best = i;
            continue;
        }
        int ci = commonness(pl.pat[i]);
        int cb = commonness(pl.pat[best]);
        if (ci < cb || (ci == cb && distance(i, from) > distance(best, from))) best = i;
    }
    return best;
}

void choose_anchors(plan &pl) {
    pl.anchor1 = rarest(pl, -1, false, 0, 0);
    pl.anchor2 = rarest(pl, pl.anchor1, true, pl.pat[pl.anchor1], pl.anchor1);
    if (pl.anchor2 < 0) pl.anchor2 = rarest(pl, pl.anchor1, false, 0, pl.anchor1);
    if (pl.anchor2 < 0) pl.anchor2 = pl.anchor1;
    pl.anchors_cover = pl.n_literal <= 2;
}

void find_longest_run(plan &pl) {
    pl.run_start = pl.run_len = 0;
    for (int64_t i = 0; i < pl.len;) {
        if (!literal(pl, i)) {
            i++;
            continue;
        }
        int64_t j = i;
        while (j < pl.len && literal(pl, j)) j++;
        if (j - i > pl.run_len) {
            pl.run_start = i;
            pl.run_len = j - i;
        }
        i = j;
    }
}

plan make_plan(const uint8_t *pat, const uint8_t *mask, int64_t len) {
    plan pl{pat, mask, len, 0, 0, 0, false, 0, 0};
    for (int64_t i = 0; i < len; i++) pl.n_literal += literal(pl, i);
    if (pl.n_literal > 0) {
        choose_anchors(pl);
        find_longest_run(pl);
    }
    return pl;
}

void add_hit(hv_scan_hits &hits, int64_t p) {
    if (hits.count < hits.room) hits.stored[hits.count] = p;
    hits.count++;
    hits.last = p;
}

// What verification costs the filter path, and where the last candidate failed.
struct verify_cost {
    int64_t work = 0;       // bytes looked at by candidates that failed
    int64_t mismatch = -1;  // pattern position of the last failure
};

// Index of the first differing byte in a word of differences.
int64_t first_byte(uint64_t diff) {
    int bit = std::endian::native == std::endian::little ? std::countr_zero(diff) : std::countl_zero(diff);
    return bit / 8;
}

// Whether every literal byte of the pattern matches at `at`, eight bytes at a
// time. A failure is added to `cost`.
bool matches_at(const plan &pl, const uint8_t *at, verify_cost &cost) {
    int64_t i = 0;
    for (; i + 8 <= pl.len; i += 8) {
        uint64_t d, p, m;
        std::memcpy(&d, at + i, 8);
        std::memcpy(&p, pl.pat + i, 8);
        std::memcpy(&m, pl.mask + i, 8);
        if (uint64_t diff = (d ^ p) & m) {
            cost.work += i + 8;
            cost.mismatch = i + first_byte(diff);
            return false;
        }
    }
    for (; i < pl.len; i++) {
        if ((at[i] ^ pl.pat[i]) & pl.mask[i]) {
            cost.work += i + 1;
            cost.mismatch = i;
            return false;
        }
    }
    return true;
}

constexpr int64_t kBlock = 64;

// Bit k set when candidate base + k has both anchor bytes, for 64 candidates.
uint64_t block_mask(const plan &pl, const uint8_t *data, int64_t base) {
    const uint8_t *p1 = data + base + pl.anchor1;
    const uint8_t *p2 = data + base + pl.anchor2;
#ifdef HV_SCAN_SSE2
    const __m128i v1 = _mm_set1_epi8(static_cast<char>(pl.pat[pl.anchor1]));
    const __m128i v2 = _mm_set1_epi8(static_cast<char>(pl.pat[pl.anchor2]));
    auto both = [&](int k) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p1 + 16 * k));
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p2 + 16 * k));
        return _mm_and_si128(_mm_cmpeq_epi8(x, v1), _mm_cmpeq_epi8(y, v2));
    };
    auto bits = [](__m128i v, int k) {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(v))) << (16 * k);
    };
    const __m128i b0 = both(0), b1 = both(1), b2 = both(2), b3 = both(3);
    // Most blocks have no candidate: one test decides that.
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(b0, b1), _mm_or_si128(b2, b3))) == 0) return 0;
    return bits(b0, 0) | bits(b1, 1) | bits(b2, 2) | bits(b3, 3);
#else
    uint64_t m = 0;
    for (int k = 0; k < kBlock; k++)
        m |= static_cast<uint64_t>(p1[k] == pl.pat[pl.anchor1] && p2[k] == pl.pat[pl.anchor2]) << k;
    return m;
#endif
}

// As block_mask, for the last n (< 64) candidates.
uint64_t tail_mask(const plan &pl, const uint8_t *data, int64_t base, int64_t n) {
    uint64_t m = 0;
    for (int64_t k = 0; k < n; k++) {
        bool hit = data[base + k + pl.anchor1] == pl.pat[pl.anchor1] && data[base + k + pl.anchor2] == pl.pat[pl.anchor2];
        m |= static_cast<uint64_t>(hit) << k;
    }
    return m;
}

// Verification the filter may spend before the Two-Way path takes over: a few
// bytes per byte scanned, plus room for a few long candidates.
bool over_budget(int64_t work, int64_t scanned, int64_t len) { return work > 4 * scanned + 16 * len + 1024; }

// How far the Two-Way path runs before the filter gets another chance.
constexpr int64_t kSlowStretch = 1 << 20;

// Candidates scanned between two questions whether to stop.
constexpr int64_t kStopStretch = 4 << 20;

// Checks the `span` candidates of one block (bit k: offset base + k) from
// left to right and returns the next candidate still allowed.
int64_t take_candidates(const plan &pl, const uint8_t *data, int64_t base, int64_t span, uint64_t m, int64_t next,
                        hv_scan_hits &hits, verify_cost &cost) {
    if (pl.len == 1 && hits.count >= hits.room) {
        // Every candidate of a one-byte pattern is a hit, and none is stored any more.
        if (m) {
            hits.count += std::popcount(m);
            hits.last = base + 63 - std::countl_zero(m);
        }
        return base + span;
    }
    while (m) {
        int64_t c = base + std::countr_zero(m);
        m &= m - 1;
        if (c < next) continue;  // inside the previous hit
        if (pl.anchors_cover || matches_at(pl, data + c, cost)) {
            add_hit(hits, c);
            next = c + pl.len;
        }
    }
    return next;
}

// On periodic data both anchors may agree with every period while a byte
// between them does not: the position where candidates fail becomes the
// second anchor. False when there is no such position.
bool re_anchor(plan &pl, int64_t mismatch) {
    if (mismatch < 0 || mismatch == pl.anchor1 || mismatch == pl.anchor2) return false;
    pl.anchor2 = mismatch;
    return true;
}

// The filter path from candidate `next` on. Returns the next candidate still
// allowed: past `last` when the scan is done, else where the Two-Way path
// takes over because verification is costing too much even after one change
// of anchor.
int64_t scan_filtered(plan &pl, const uint8_t *data, int64_t next, int64_t last, hv_scan_hits &hits) {
    int64_t begin = next;
    int64_t base = next;
    verify_cost cost;
    bool re_anchored = false;
    for (;;) {
        base = std::max(base, next);
        uint64_t m = 0;
        while (base + kBlock - 1 <= last && (m = block_mask(pl, data, base)) == 0) base += kBlock;
        if (base > last) return base;
        int64_t span = std::min(kBlock, last - base + 1);
        if (span < kBlock) m = tail_mask(pl, data, base, span);
        next = take_candidates(pl, data, base, span, m, next, hits, cost);
        base += span;
        if (!over_budget(cost.work, base - begin, pl.len)) continue;
        if (re_anchored || !re_anchor(pl, cost.mismatch)) return std::max(base, next);
        re_anchored = true;
        begin = base;
        cost = verify_cost{};
    }
}

// The Two-Way path over the candidates next..until: finds the longest literal
// run, then checks the rest of the pattern around it. Returns the next
// candidate still allowed.
int64_t scan_two_way(const plan &pl, const hv_two_way &tw, const uint8_t *data, int64_t next, int64_t until,
                     hv_scan_hits &hits) {
    const int64_t hay_len = until + pl.run_start + pl.run_len;  // the run of candidate `until` ends here
    const bool whole = pl.run_len == pl.len;
    verify_cost ignored;
    while (next <= until) {
        int64_t h = hv_two_way_find(tw, data, hay_len, next + pl.run_start);
        if (h < 0) return until + 1;
        int64_t c = h - pl.run_start;
        if (whole || matches_at(pl, data + c, ignored)) {
            add_hit(hits, c);
            next = c + pl.len;
        } else {
            next = c + 1;
        }
    }
    return next;
}

// A pattern of wildcards only hits at first, first + len, ... : no byte is read.
void scan_wildcards(int64_t first, int64_t last, int64_t len, hv_scan_hits &hits) {
    int64_t n = (last - first) / len + 1;
    for (int64_t k = 0; k < n && k < hits.room; k++) hits.stored[k] = first + k * len;
    hits.count = n;
    hits.last = first + (n - 1) * len;
}

}  // namespace

void hv_scan(const uint8_t *data, int64_t size, int64_t start, const uint8_t *pat, const uint8_t *mask, int64_t len,
             hv_scan_hits &hits, const hv_scan_watch *watch) {
    hits.count = 0;
    hits.last = -1;
    const int64_t first = start < 0 ? 0 : start;
    const int64_t last = size - len;  // the greatest offset where the whole pattern fits
    if (len < 1 || first > last) return;
    plan pl = make_plan(pat, mask, len);
    if (pl.n_literal == 0) {
        scan_wildcards(first, last, len, hits);
        return;
    }
    const hv_two_way tw = hv_two_way_make(pat + pl.run_start, pl.run_len);
    int64_t next = first;
    while (next <= last) {
        if (watch && !watch->go_on(watch->context, next, hits)) return;
        // The candidates up to `until` only, so `stop` is asked again soon.
        int64_t until = std::min(last, next + kStopStretch);
        next = scan_filtered(pl, data, next, until, hits);
        if (next > until) continue;
        next = scan_two_way(pl, tw, data, next, std::min(until, next + kSlowStretch), hits);
    }
}
