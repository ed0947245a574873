#include "core/logical.h"

#include <algorithm>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "core/state.h"

int64_t hv_logical_size() {
    if (!S.is_open) return -1;
    if (S.logical && !S.logical_stale) return S.logical_len;
    // Up to 1000 lengths of up to 2^63 - 1 each: sum them without wrapping.
    __int128 total = S.file_size;
    for (int64_t i = 0; i < S.n_edits; i++) {
        const hv_edit &e = S.edits[i];
        if (e.kind == HV_EDIT_INSERT) total += e.len;
        if (e.kind == HV_EDIT_DELETE) total -= e.len;
    }
    if (total < 0) return 0;
    if (total > INT64_MAX) return INT64_MAX;
    return static_cast<int64_t>(total);
}

namespace {

// The content is kept as a list of pieces (spans of the mapped file and of edit
// bytes) so each edit only splices the list; the bytes are copied once at the
// end, instead of moving the tail of a buffer for every insert and delete.
struct piece {
    const uint8_t *src;
    int64_t len;
};

struct piece_list {
    piece *p;
    int64_t n;
    int64_t cap;
    int64_t total;  // the content length L
};

// Makes a piece boundary at pos (0 <= pos <= total); returns the index of the
// first piece that starts at pos (n when pos is the end).
int64_t split_at(piece_list &pl, int64_t pos) {
    int64_t start = 0;
    for (int64_t i = 0; i < pl.n; i++) {
        if (pos == start) return i;
        if (pos < start + pl.p[i].len) {
            int64_t head = pos - start;
            std::memmove(&pl.p[i + 2], &pl.p[i + 1], sizeof(piece) * (pl.n - i - 1));
            pl.p[i + 1] = piece{pl.p[i].src + head, pl.p[i].len - head};
            pl.p[i].len = head;
            pl.n++;
            return i + 1;
        }
        start += pl.p[i].len;
    }
    return pl.n;
}

// Replaces pieces [from, to) by `with` (nothing when with.len is 0).
void splice(piece_list &pl, int64_t from, int64_t to, piece with) {
    int64_t add = with.len > 0 ? 1 : 0;
    std::memmove(&pl.p[from + add], &pl.p[to], sizeof(piece) * (pl.n - to));
    if (add) pl.p[from] = with;
    pl.n += add - (to - from);
}

void apply_edit(piece_list &pl, const hv_edit &e) {
    int64_t L = pl.total;
    switch (e.kind) {
    case HV_EDIT_WRITE: {
        if (!e.bytes || e.offset > L) return;
        int64_t n = std::min(e.len, L - e.offset);
        if (n <= 0) return;
        int64_t i = split_at(pl, e.offset);
        int64_t j = split_at(pl, e.offset + n);
        splice(pl, i, j, piece{e.bytes, n});
        return;
    }
    case HV_EDIT_INSERT: {
        if (!e.bytes || e.len <= 0) return;
        int64_t i = split_at(pl, std::min(e.offset, L));
        splice(pl, i, i, piece{e.bytes, e.len});
        pl.total += e.len;
        return;
    }
    case HV_EDIT_DELETE: {
        int64_t p = std::min(e.offset, L);
        int64_t n = std::min(e.len, L - p);
        if (n <= 0) return;
        int64_t i = split_at(pl, p);
        int64_t j = split_at(pl, p + n);
        splice(pl, i, j, piece{nullptr, 0});
        pl.total -= n;
        return;
    }
    default:
        return;
    }
}

int fail_materialize() {
    hv_err("out of memory materializing logical file");
    return -1;
}

}  // namespace

bool hv_content_unavailable() { return S.is_open && S.file_size > 0 && !S.view; }

int hv_materialize() {
    if (S.logical && !S.logical_stale) return 0;
    if (hv_content_unavailable()) {
        // Only after an in-place save failed and released the view: the bytes
        // on disk are no longer ours to read, and a cache, if any, is kept.
        hv_err("%s", HV_CONTENT_UNAVAILABLE);
        return -1;
    }
    hv_free(S.logical);
    S.logical = nullptr;
    S.logical_len = 0;
    // One piece for the file; each edit adds at most two pieces, and a split
    // may add one more before the splice.
    int64_t cap = 3 + 3 * S.n_edits;
    piece_list pl{static_cast<piece *>(hv_malloc(sizeof(piece) * cap)), 0, cap, S.file_size};
    if (!pl.p) return fail_materialize();
    if (S.file_size > 0) pl.p[pl.n++] = piece{S.view, S.file_size};
    for (int64_t i = 0; i < S.n_edits; i++) apply_edit(pl, S.edits[i]);

    uint8_t *buf = static_cast<uint8_t *>(hv_malloc(static_cast<std::size_t>(std::max<int64_t>(pl.total, 1))));
    if (!buf) {
        hv_free(pl.p);
        return fail_materialize();
    }
    uint8_t *w = buf;
    for (int64_t i = 0; i < pl.n; i++) {
        std::memcpy(w, pl.p[i].src, static_cast<std::size_t>(pl.p[i].len));
        w += pl.p[i].len;
    }
    hv_free(pl.p);
    S.logical = buf;
    S.logical_len = pl.total;
    S.logical_stale = 0;
    return 0;
}
