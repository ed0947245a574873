#include "view/page.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/json.h"
#include "core/logical.h"
#include "core/open.h"
#include "core/state.h"
#include "core/thread_buffers.h"
#include "platform/guard.h"
#include "platform/stream.h"

namespace {

constexpr int kBytesPerRow = 16;

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
    uint64_t end;     // one past the page's last position
    bool sequential;  // one of a run of pages, each where the last one ended
    int32_t rows;
    int64_t cur;             // piece under the cursor
    const uint8_t *cur_bytes;  // its first byte; null when its source is gone
    uint64_t cur_from;       // its first position
    uint64_t cur_to;         // one past its last position that holds content
};

// Where the calling thread's last page ended, and how many pages in a row
// started where the one before ended. A run of them is a reader going
// through the file (a hash, a listing of strings), which the system's own
// read-ahead serves best; two or three are a grid that scrolls.
thread_local uint64_t t_last_end = UINT64_MAX;
thread_local int t_run = 0;
constexpr int kStreamRun = 4;

int32_t clamp_rows(int32_t rows) {
    if (rows <= 0) return 64;
    if (rows > 1000) return 1000;
    return rows;
}

// Common preparation of both page kinds; false (with the buffer emptied or the
// message recorded) when there is nothing to render.
bool prepare(int64_t offset, int32_t rows, page_source &src) {
    if (!hv_require_open()) return false;
    src.rows = clamp_rows(rows);
    src.start = offset < 0 ? 0 : static_cast<uint64_t>(offset);
    src.end = src.start + static_cast<uint64_t>(src.rows) * kBytesPerRow;
    t_run = src.start == t_last_end ? t_run + 1 : 0;
    t_last_end = src.end;
    src.sequential = t_run >= kStreamRun;
    if (S.n_edits != 0 && S.logical_stale == 1 && hv_materialize() != 0) return false;
    if (hv_check_shrank()) return false;
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
    if (i < 0 || q < src.cur_from) i = hv_find_piece(src.pieces, src.n_pieces, static_cast<int64_t>(q));
    while (static_cast<uint64_t>(src.pieces[i].at + src.pieces[i].len) <= q) i++;
    const hv_piece &p = src.pieces[i];
    src.cur = i;
    src.cur_bytes = hv_piece_bytes(p);
    src.cur_from = static_cast<uint64_t>(p.at);
    uint64_t to = static_cast<uint64_t>(p.at + p.len);
    src.cur_to = to < src.limit ? to : src.limit;
    // A page at a random place reads a few KiB of the file here: only those
    // are read in.
    if (p.source == HV_FROM_FILE && src.cur_bytes && !src.sequential) {
        uint64_t last = src.cur_to < src.end ? src.cur_to : src.end;
        if (last > q) hv_stream_pick(src.cur_bytes + (q - src.cur_from), static_cast<int64_t>(last - q));
    }
}

uint8_t byte_at(page_source &src, uint64_t q) {
    seek(src, q);
    return src.cur_bytes ? src.cur_bytes[q - src.cur_from] : 0;
}

// Row positions are unsigned so a start near 2^63 - 1 runs on without overflow.
uint64_t row_position(const page_source &src, int32_t r) {
    return src.start + static_cast<uint64_t>(r) * kBytesPerRow;
}

template <std::size_t N>
char *put(char *w, const char (&text)[N]) {
    std::memcpy(w, text, N - 1);
    return w + N - 1;
}


#if defined(__SSE2__) && defined(__x86_64__)
// Sixteen values from 0 to 15 as lowercase hex digits.
inline __m128i hex_digits(__m128i nibbles) {
    __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
    return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
}

// The high and the low nibble of each byte, in that order, for the first
// (or, with high_half, the last) eight bytes.
inline __m128i nibbles_of(__m128i bytes, bool high_half) {
    __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), _mm_set1_epi8(0x0f));
    __m128i low = _mm_and_si128(bytes, _mm_set1_epi8(0x0f));
    return high_half ? _mm_unpackhi_epi8(high, low) : _mm_unpacklo_epi8(high, low);
}

char *put_offset(char *w, uint64_t p) {
    w = put(w, "0x");
    __m128i be = _mm_cvtsi64_si128(static_cast<long long>(__builtin_bswap64(p)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(w), hex_digits(nibbles_of(be, false)));
    return w + 16;
}

char *put_raw_hex(char *w, const uint8_t v[kBytesPerRow]) {
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(v));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(w), hex_digits(nibbles_of(b, false)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(w + 16), hex_digits(nibbles_of(b, true)));
    return w + 32;
}
#else
char *put_offset(char *w, uint64_t p) {
    w = put(w, "0x");
    uint8_t be[8];
    for (int k = 0; k < 8; k++) be[k] = static_cast<uint8_t>(p >> (56 - 8 * k));
    return hv_put_hex(w, be, sizeof be);
}

char *put_raw_hex(char *w, const uint8_t v[kBytesPerRow]) { return hv_put_hex(w, v, kBytesPerRow); }
#endif

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
int row_values_slow(page_source &src, uint64_t p, uint8_t v[kBytesPerRow]) {
    int content = 0;
    for (int k = 0; k < kBytesPerRow; k++) {
        uint64_t q = p + k;
        bool inside = q >= p && q < src.limit;  // q >= p: no wrap past 2^64
        v[k] = inside ? byte_at(src, q) : 0;
        content += inside;
    }
    return content;
}

constexpr std::size_t kPrefetchAhead = 1024;

inline int row_values(page_source &src, uint64_t p, uint8_t v[kBytesPerRow]) {
    // Nearly every row lies whole inside the piece under the cursor. Rows are
    // formatted far slower than memory streams, so the bytes of later rows
    // are asked for ahead (a prefetch never faults, even past the piece).
    if (p >= src.cur_from && p < src.cur_to && src.cur_to - p >= kBytesPerRow && src.cur_bytes) {
        const uint8_t *at = src.cur_bytes + (p - src.cur_from);
        __builtin_prefetch(at + kPrefetchAhead);
        std::memcpy(v, at, kBytesPerRow);
        return kBytesPerRow;
    }
    if (p < src.limit) {
        seek(src, p);
        if (src.cur_to - p >= kBytesPerRow && src.cur_bytes) {
            std::memcpy(v, src.cur_bytes + (p - src.cur_from), kBytesPerRow);
            return kBytesPerRow;
        }
    }
    return row_values_slow(src, p, v);
}

// "xx xx xx xx xx xx xx xx  xx xx xx xx xx xx xx xx": 48 characters.
char *put_spaced_hex(char *w, const uint8_t v[kBytesPerRow]) {
#pragma GCC unroll 16
    for (int k = 0; k < kBytesPerRow; k++) {
        char *at = hv_put_hex(w + 3 * k + (k >= 8 ? 1 : 0), v + k, 1);
        at[0] = ' ';
        at[1] = ' ';  // the next pair overwrites it, but for the middle gap
    }
    return w + 48;
}

#if defined(__SSE2__)
// Sixteen content bytes with no quote or backslash among them show as one
// character each: the byte when printable, else "." (or nothing in the text
// rows, which are then the bytes themselves only when all are printable).
// Returns false when the row needs the per-byte path.
inline bool put_plain_column(char *w, const uint8_t v[kBytesPerRow], bool text_row) {
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(v));
    // Signed compares: bytes from 0x80 up are negative, so not above 0x1f.
    __m128i printable = _mm_and_si128(_mm_cmpgt_epi8(b, _mm_set1_epi8(0x1f)), _mm_cmplt_epi8(b, _mm_set1_epi8(0x7f)));
    __m128i escaped = _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8('"')), _mm_cmpeq_epi8(b, _mm_set1_epi8('\\')));
    if (_mm_movemask_epi8(escaped) != 0) return false;
    if (text_row && _mm_movemask_epi8(printable) != 0xffff) return false;
    __m128i shown = _mm_or_si128(_mm_and_si128(printable, b), _mm_andnot_si128(printable, _mm_set1_epi8('.')));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(w), shown);
    return true;
}
#else
bool put_plain_column(char *, const uint8_t *, bool) { return false; }
#endif

std::size_t format_hex_row(page_source &src, uint64_t p, bool raw, char *row) {
    uint8_t v[kBytesPerRow];
    int content = row_values(src, p, v);
    char *w = put(row, "{\"off\":\"");
    w = put_offset(w, p);
    if (raw) {
        w = put(w, "\",\"bytes_hex\":\"");
        w = put_raw_hex(w, v);
        w = put(w, "\"}");
        return static_cast<std::size_t>(w - row);
    }
    w = put(w, "\",\"hex\":\"");
    w = put_spaced_hex(w, v);
    w = put(w, "\",\"ascii\":\"");
    if (content == kBytesPerRow && put_plain_column(w, v, false)) {
        w += kBytesPerRow;
    } else {
        for (int k = 0; k < content; k++) {
            std::memcpy(w, kText.shown[v[k]], 2);
            w += kText.column_len[v[k]];
        }
        for (int k = content; k < kBytesPerRow; k++) *w++ = '.';
    }
    w = put(w, "\"}");
    return static_cast<std::size_t>(w - row);
}

std::size_t format_text_row(page_source &src, uint64_t p, char *row) {
    uint8_t v[kBytesPerRow];
    int content = row_values(src, p, v);
    char *w = put(row, "{\"off\":\"");
    w = put_offset(w, p);
    w = put(w, "\",\"text\":\"");
    if (content == kBytesPerRow && put_plain_column(w, v, true)) {
        w += kBytesPerRow;
    } else {
        for (int k = 0; k < content; k++) {
            std::memcpy(w, kText.shown[v[k]], 2);
            w += kText.text_len[v[k]];
        }
    }
    w = put(w, "\"}");
    return static_cast<std::size_t>(w - row);
}

// A row is at most 130 characters; the stores of a row may reach a few bytes
// past its end.
constexpr std::size_t kRowMax = 160;

// Formats a row straight into the list's buffer, or through a scratch row
// where the buffer's end is near.
template <class Format>
void add_row(hv_list &list, Format format) {
    if (char *at = hv_list_place(list, kRowMax)) {
        hv_list_placed(list, format(at));
        return;
    }
    char row[kRowMax];
    hv_list_add(list, row, format(row));
}

// The list, or "" with the message when the file shrank under the rows: rows
// read after that would show zeros for the bytes that went away.
const char *end_page(hv_list &list, char *out) {
    if (!hv_check_shrank()) return hv_list_end(list);
    out[0] = '\0';
    return out;
}

}  // namespace

const char *hv_page(int64_t offset, int32_t rows, const char *mode) {
    char *out = hv_thread_buffer(HV_BUF_PAGE);
    if (!out) return "";
    out[0] = '\0';
    page_source src{};
    if (!prepare(offset, rows, src)) return out;
    bool raw = mode && std::strcmp(mode, "raw") == 0;
    hv_list list = hv_list_begin(out, hv_thread_buffer_size(HV_BUF_PAGE));
    {
        hv_protected_read guard;
        for (int32_t r = 0; r < src.rows; r++) {
            add_row(list, [&](char *row) { return format_hex_row(src, row_position(src, r), raw, row); });
        }
    }
    return end_page(list, out);
}

const char *hv_ascii_only(int64_t offset, int32_t rows) {
    char *out = hv_thread_buffer(HV_BUF_ASCII);
    if (!out) return "";
    out[0] = '\0';
    page_source src{};
    if (!prepare(offset, rows, src)) return out;
    hv_list list = hv_list_begin(out, hv_thread_buffer_size(HV_BUF_ASCII));
    {
        hv_protected_read guard;
        for (int32_t r = 0; r < src.rows; r++) {
            add_row(list, [&](char *row) { return format_text_row(src, row_position(src, r), row); });
        }
    }
    return end_page(list, out);
}
