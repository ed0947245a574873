#include "core/logical.h"

#include <algorithm>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "platform/os.h"

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

// Each edit splices the list: the file's bytes and the edits' bytes are never
// copied, so an edit costs by the number of pieces, whatever the file's size.
struct piece_list {
    hv_piece *p;
    int64_t n;
    int64_t total;  // the content length L
};

// One piece for the file; each edit adds at most two.
int64_t pieces_needed(int64_t edits) { return 1 + 2 * edits; }

// Gives pieces [from, n) their logical offsets.
void renumber(piece_list &pl, int64_t from) {
    int64_t at = from > 0 ? pl.p[from - 1].at + pl.p[from - 1].len : 0;
    for (int64_t i = from; i < pl.n; i++) {
        pl.p[i].at = at;
        at += pl.p[i].len;
    }
}

// Makes a piece boundary at pos (0 <= pos <= total); returns the index of the
// first piece that starts at pos (n when pos is the end).
int64_t split_at(piece_list &pl, int64_t pos) {
    int64_t i = hv_find_piece(pl.p, pl.n, pos);
    if (i == pl.n || pl.p[i].at == pos) return i;
    int64_t head = pos - pl.p[i].at;
    std::memmove(&pl.p[i + 2], &pl.p[i + 1], sizeof(hv_piece) * static_cast<std::size_t>(pl.n - i - 1));
    hv_piece &left = pl.p[i];
    pl.p[i + 1] = hv_piece{left.source, left.from + head, pos, left.len - head};
    left.len = head;
    pl.n++;
    return i + 1;
}

// Replaces pieces [from, to) by `with` (nothing when with.len is 0).
void splice(piece_list &pl, int64_t from, int64_t to, hv_piece with) {
    int64_t add = with.len > 0 ? 1 : 0;
    std::memmove(&pl.p[from + add], &pl.p[to], sizeof(hv_piece) * static_cast<std::size_t>(pl.n - to));
    if (add) pl.p[from] = with;
    pl.n += add - (to - from);
    renumber(pl, from);
}

void apply_edit(piece_list &pl, int32_t index, const hv_edit &e) {
    int64_t L = pl.total;
    switch (e.kind) {
    case HV_EDIT_WRITE: {
        if (!e.bytes || e.offset > L) return;
        int64_t n = std::min(e.len, L - e.offset);
        if (n <= 0) return;
        int64_t i = split_at(pl, e.offset);
        int64_t j = split_at(pl, e.offset + n);
        splice(pl, i, j, hv_piece{index, 0, e.offset, n});
        return;
    }
    case HV_EDIT_INSERT: {
        if (!e.bytes || e.len <= 0) return;
        int64_t p = std::min(e.offset, L);
        int64_t i = split_at(pl, p);
        splice(pl, i, i, hv_piece{index, 0, p, e.len});
        pl.total += e.len;
        return;
    }
    case HV_EDIT_DELETE: {
        int64_t p = std::min(e.offset, L);
        int64_t n = std::min(e.len, L - p);
        if (n <= 0) return;
        int64_t i = split_at(pl, p);
        int64_t j = split_at(pl, p + n);
        pl.total -= n;
        splice(pl, i, j, hv_piece{0, 0, p, 0});
        return;
    }
    default:
        return;
    }
}

// The list a rebuild starts from: the cached pieces when they hold a first
// part of the edits (the list only grows until it is cleared), else the file.
// Returns the first edit still to apply.
int64_t start_list(piece_list &pl) {
    if (S.logical && !S.spare && S.logical_edits <= S.n_edits) {
        std::memcpy(pl.p, S.logical, sizeof(hv_piece) * static_cast<std::size_t>(S.n_pieces));
        pl.n = S.n_pieces;
        pl.total = S.logical_len;
        return S.logical_edits;
    }
    pl.n = 0;
    pl.total = S.file_size;
    if (S.file_size > 0) pl.p[pl.n++] = hv_piece{HV_FROM_FILE, 0, 0, S.file_size};
    return 0;
}

// The pieces become one piece over the spare copy.
void point_at_spare(uint8_t *spare, int64_t len, bool mapped, char *path) {
    S.spare = spare;
    S.spare_len = len;
    S.spare_mapped = mapped ? 1 : 0;
    S.spare_path = path;
    S.n_pieces = 0;
    if (len > 0) S.logical[S.n_pieces++] = hv_piece{HV_FROM_SPARE, 0, 0, len};
}

void drop_spare() {
    if (S.spare_mapped)
        hv_os->unmap(S.spare, S.spare_len);
    else
        hv_free(S.spare);
    if (S.spare_path) hv_os->remove_file(S.spare_path);
    hv_free(S.spare_path);
    S.spare = nullptr;
    S.spare_len = 0;
    S.spare_mapped = 0;
    S.spare_path = nullptr;
}

}  // namespace

int64_t hv_find_piece(const hv_piece *pieces, int64_t n, int64_t pos) {
    int64_t lo = 0, hi = n;
    while (lo < hi) {
        int64_t mid = lo + (hi - lo) / 2;
        if (pieces[mid].at + pieces[mid].len <= pos)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

bool hv_logical_uses_file() {
    for (int64_t i = 0; i < S.n_pieces; i++)
        if (S.logical[i].source == HV_FROM_FILE) return true;
    return false;
}

bool hv_content_unavailable() { return S.is_open && S.file_size > 0 && !S.view; }

void hv_logical_drop() {
    hv_free(S.logical);
    S.logical = nullptr;
    S.n_pieces = 0;
    S.logical_len = 0;
    S.logical_edits = 0;
    if (S.spare) drop_spare();
}

int hv_materialize() {
    if (S.logical && !S.logical_stale) return 0;
    if (hv_content_unavailable()) {
        // Only after an in-place save failed and released the view: the bytes
        // on disk are no longer ours to read, and a cache, if any, is kept.
        hv_err("%s", HV_CONTENT_UNAVAILABLE);
        return -1;
    }
    std::size_t cap = static_cast<std::size_t>(pieces_needed(S.n_edits));
    piece_list pl{static_cast<hv_piece *>(hv_malloc(sizeof(hv_piece) * cap)), 0, 0};
    if (!pl.p) {
        hv_logical_drop();
        hv_err("out of memory materializing logical file");
        return -1;
    }
    for (int64_t i = start_list(pl); i < S.n_edits; i++) apply_edit(pl, static_cast<int32_t>(i), S.edits[i]);
    hv_logical_drop();
    S.logical = pl.p;
    S.n_pieces = pl.n;
    S.logical_len = pl.total;
    S.logical_edits = S.n_edits;
    S.logical_stale = 0;
    return 0;
}

const uint8_t *hv_piece_bytes(const hv_piece &p) {
    const uint8_t *base = nullptr;
    if (p.source == HV_FROM_FILE)
        base = S.view;
    else if (p.source == HV_FROM_SPARE)
        base = S.spare;
    else if (p.source >= 0 && p.source < S.n_edits)
        base = S.edits[p.source].bytes;
    return base ? base + p.from : nullptr;
}

int64_t hv_piece_at(int64_t pos) { return hv_find_piece(S.logical, S.n_pieces, pos); }

int64_t hv_logical_read(int64_t pos, uint8_t *dst, int64_t n) {
    int64_t done = 0;
    for (int64_t i = hv_piece_at(pos); i < S.n_pieces && done < n; i++) {
        const hv_piece &p = S.logical[i];
        int64_t skip = pos + done - p.at;
        int64_t take = std::min(p.len - skip, n - done);
        const uint8_t *src = hv_piece_bytes(p);
        if (src)
            std::memcpy(dst + done, src + skip, static_cast<std::size_t>(take));
        else
            std::memset(dst + done, 0, static_cast<std::size_t>(take));
        done += take;
    }
    return done;
}

void hv_logical_adopt_spare(uint8_t *mapping, int64_t len, char *path) {
    if (S.spare) drop_spare();
    point_at_spare(mapping, len, true, path);
}
