#include "platform/stream.h"

#include <algorithm>

namespace {

// Bytes brought in ahead of the reader, and the step in which the hints move:
// small enough that one hint costs the reader no noticeable pause.
constexpr int64_t kAhead = 16 << 20;
constexpr int64_t kStep = 4 << 20;

int64_t round_down(int64_t n, int64_t unit) { return n / unit * unit; }

}  // namespace

hv_stream hv_stream_begin(const uint8_t *base, int64_t size, int64_t from) {
    int64_t start = round_down(std::clamp<int64_t>(from, 0, size), hv_stream_page());
    hv_stream s{base, size, start, start};
    hv_stream_at(s, start);
    return s;
}

void hv_stream_at(hv_stream &s, int64_t pos) {
    if (!s.base) return;
    pos = std::clamp<int64_t>(pos, 0, s.size);
    // A reader that jumps (over a hole) brings in nothing of what it skipped.
    if (pos > s.ahead) s.ahead = round_down(pos, hv_stream_page());
    int64_t want = std::min(s.size, pos + kAhead);
    while (s.ahead < want) {
        int64_t n = std::min(kStep, s.size - s.ahead);
        hv_stream_prefetch(s.base + s.ahead, n);
        s.ahead += n;
    }
    // One step stays behind the reader: a pattern that starts just before
    // `pos` may still be looked at.
    int64_t drop = round_down(std::max<int64_t>(0, pos - kStep), kStep);
    if (drop > s.behind) {
        hv_stream_release(s.base + s.behind, drop - s.behind);
        s.behind = drop;
    }
}

void hv_stream_end(hv_stream &s) {
    if (!s.base || s.ahead <= s.behind) return;
    hv_stream_release(s.base + s.behind, s.ahead - s.behind);
    s.behind = s.ahead;
}
