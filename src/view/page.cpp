#include "view/page.h"

#include <cstring>

#include "core/error.h"
#include "core/json.h"
#include "core/logical.h"
#include "core/state.h"
#include "core/thread_buffers.h"

namespace {

constexpr int kBytesPerRow = 16;
constexpr char kHexDigits[] = "0123456789abcdef";

// What a page reads: the pieces of the content (the cached list, or the
// mapped file as one piece), and a cursor on the piece that holds the row
// being rendered. Rows move forward only, so a page costs one search for its
// first piece, then its own rows and the pieces they cross.
struct page_source {
    const hv_piece *pieces;
    int64_t n_pieces;
    hv_piece whole;   // the mapped file, when no cache is kept
    uint64_t limit;   // positions below this hold content bytes
    uint64_t start;
    int32_t rows;
    int64_t cur;             // piece under the cursor
    const uint8_t *cur_bytes;  // its first byte; null when its source is gone
    uint64_t cur_from;       // its first position
    uint64_t cur_to;         // one past its last position that holds content
};

int32_t clamp_rows(int32_t rows) {
    if (rows <= 0) return 64;
    if (rows > 1000) return 1000;
    return rows;
}

// Common preparation of both page kinds; false (with the buffer emptied or the
// message recorded) when there is nothing to render.
bool prepare(int64_t offset, int32_t rows, page_source &src) {
    if (!S.is_open) {
        hv_err("no file open");
        return false;
    }
    src.rows = clamp_rows(rows);
    src.start = offset < 0 ? 0 : static_cast<uint64_t>(offset);
    if (S.n_edits != 0 && S.logical_stale == 1 && hv_materialize() != 0) return false;
    uint64_t have = 0;
    if (S.logical) {
        src.pieces = S.logical;
        src.n_pieces = S.n_pieces;
        have = static_cast<uint64_t>(S.logical_len);
    } else if (S.view) {
        src.whole = hv_piece{HV_FROM_FILE, 0, 0, S.file_size};
        src.pieces = &src.whole;
        src.n_pieces = 1;
        have = static_cast<uint64_t>(S.file_size);
    } else {
        src.n_pieces = 0;  // an empty file, or a view released by a failed save
    }
    uint64_t end = static_cast<uint64_t>(hv_logical_size());
    // Never read past the source that exists, whatever the size says.
    src.limit = end < have ? end : have;
    src.cur = -1;
    src.cur_from = src.cur_to = 0;
    return true;
}

// Moves the cursor onto the piece that holds position q (< limit).
void seek(page_source &src, uint64_t q) {
    if (q >= src.cur_from && q < src.cur_to) return;
    int64_t i = src.cur;
    if (i < 0 || q < src.cur_from) {
        int64_t lo = 0, hi = src.n_pieces;  // the first piece that ends after q
        while (lo < hi) {
            int64_t mid = lo + (hi - lo) / 2;
            if (static_cast<uint64_t>(src.pieces[mid].at + src.pieces[mid].len) <= q)
                lo = mid + 1;
            else
                hi = mid;
        }
        i = lo;
    }
    while (static_cast<uint64_t>(src.pieces[i].at + src.pieces[i].len) <= q) i++;
    const hv_piece &p = src.pieces[i];
    src.cur = i;
    src.cur_bytes = hv_piece_bytes(p);
    src.cur_from = static_cast<uint64_t>(p.at);
    uint64_t to = static_cast<uint64_t>(p.at + p.len);
    src.cur_to = to < src.limit ? to : src.limit;
}

uint8_t byte_at(page_source &src, uint64_t q) {
    seek(src, q);
    return src.cur_bytes ? src.cur_bytes[q - src.cur_from] : 0;
}

// Row positions are unsigned so a start near 2^63 - 1 runs on without overflow.
uint64_t row_position(const page_source &src, int32_t r) {
    return src.start + static_cast<uint64_t>(r) * kBytesPerRow;
}

// Two lowercase hex digits for every byte value, so a byte costs one 2-byte copy.
struct hex_pair_table {
    char pair[256][2];
    constexpr hex_pair_table() : pair() {
        for (int v = 0; v < 256; v++) {
            pair[v][0] = kHexDigits[v >> 4];
            pair[v][1] = kHexDigits[v & 0xf];
        }
    }
};
constexpr hex_pair_table kHexPairs;

template <std::size_t N>
char *put(char *w, const char (&text)[N]) {
    std::memcpy(w, text, N - 1);
    return w + N - 1;
}

char *put_hex_byte(char *w, uint8_t v) {
    std::memcpy(w, kHexPairs.pair[v], 2);
    return w + 2;
}

char *put_offset(char *w, uint64_t p) {
    *w++ = '0';
    *w++ = 'x';
    for (int shift = 56; shift >= 0; shift -= 8) w = put_hex_byte(w, static_cast<uint8_t>(p >> shift));
    return w;
}

// How each byte value shows in a text column, escaped for JSON: a printable
// byte as itself (a quote or backslash with a backslash before it), any other
// byte as "." in the hex-and-text column and as nothing in the text rows.
// Writing two bytes and advancing by the length keeps the loop free of
// branches that random data would mispredict.
struct text_table {
    char shown[256][2];
    uint8_t column_len[256];  // "ascii" column: 1 or 2
    uint8_t text_len[256];    // text rows: 0, 1 or 2
    constexpr text_table() : shown(), column_len(), text_len() {
        for (int v = 0; v < 256; v++) {
            bool printable = v >= 0x20 && v <= 0x7e;
            bool escaped = v == '"' || v == '\\';
            shown[v][0] = escaped ? '\\' : printable ? static_cast<char>(v) : '.';
            shown[v][1] = escaped ? static_cast<char>(v) : 0;
            column_len[v] = escaped ? 2 : 1;
            text_len[v] = escaped ? 2 : printable ? 1 : 0;
        }
    }
};
constexpr text_table kText;

// The 16 values of the row at p; past-the-end positions read as 0. Returns the
// number of content bytes, which always come first.
int row_values(page_source &src, uint64_t p, uint8_t v[kBytesPerRow]) {
    if (p < src.limit) seek(src, p);
    if (src.cur_bytes && p >= src.cur_from && p < src.cur_to && src.cur_to - p >= kBytesPerRow) {
        std::memcpy(v, src.cur_bytes + (p - src.cur_from), kBytesPerRow);
        return kBytesPerRow;
    }
    int content = 0;
    for (int k = 0; k < kBytesPerRow; k++) {
        uint64_t q = p + k;
        bool inside = q >= p && q < src.limit;  // q >= p: no wrap past 2^64
        v[k] = inside ? byte_at(src, q) : 0;
        content += inside;
    }
    return content;
}

std::size_t format_hex_row(page_source &src, uint64_t p, bool raw, char *row) {
    uint8_t v[kBytesPerRow];
    int content = row_values(src, p, v);
    char *w = put(row, "{\"off\":\"");
    w = put_offset(w, p);
    if (raw) {
        w = put(w, "\",\"bytes_hex\":\"");
        for (int k = 0; k < kBytesPerRow; k++) w = put_hex_byte(w, v[k]);
        w = put(w, "\"}");
        return static_cast<std::size_t>(w - row);
    }
    w = put(w, "\",\"hex\":\"");
    for (int k = 0; k < kBytesPerRow; k++) {
        if (k > 0) *w++ = ' ';
        if (k == 8) *w++ = ' ';
        w = put_hex_byte(w, v[k]);
    }
    w = put(w, "\",\"ascii\":\"");
    for (int k = 0; k < content; k++) {
        std::memcpy(w, kText.shown[v[k]], 2);
        w += kText.column_len[v[k]];
    }
    for (int k = content; k < kBytesPerRow; k++) *w++ = '.';
    w = put(w, "\"}");
    return static_cast<std::size_t>(w - row);
}

std::size_t format_text_row(page_source &src, uint64_t p, char *row) {
    uint8_t v[kBytesPerRow];
    int content = row_values(src, p, v);
    char *w = put(row, "{\"off\":\"");
    w = put_offset(w, p);
    w = put(w, "\",\"text\":\"");
    for (int k = 0; k < content; k++) {
        std::memcpy(w, kText.shown[v[k]], 2);
        w += kText.text_len[v[k]];
    }
    w = put(w, "\"}");
    return static_cast<std::size_t>(w - row);
}

// A row is at most 130 characters.
constexpr std::size_t kRowMax = 160;

}  // namespace

const char *hv_page(int64_t offset, int32_t rows, const char *mode) {
    char *out = hv_thread_buffer(HV_BUF_PAGE);
    if (!out) return "";
    out[0] = '\0';
    page_source src{};
    if (!prepare(offset, rows, src)) return out;
    bool raw = mode && std::strcmp(mode, "raw") == 0;
    hv_list list = hv_list_begin(out, hv_thread_buffer_size(HV_BUF_PAGE));
    char row[kRowMax];
    for (int32_t r = 0; r < src.rows; r++) {
        std::size_t n = format_hex_row(src, row_position(src, r), raw, row);
        hv_list_add(list, row, n);
    }
    return hv_list_end(list);
}

const char *hv_ascii_only(int64_t offset, int32_t rows) {
    char *out = hv_thread_buffer(HV_BUF_ASCII);
    if (!out) return "";
    out[0] = '\0';
    page_source src{};
    if (!prepare(offset, rows, src)) return out;
    hv_list list = hv_list_begin(out, hv_thread_buffer_size(HV_BUF_ASCII));
    char row[kRowMax];
    for (int32_t r = 0; r < src.rows; r++) {
        std::size_t n = format_text_row(src, row_position(src, r), row);
        hv_list_add(list, row, n);
    }
    return hv_list_end(list);
}
