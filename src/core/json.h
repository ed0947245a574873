// JSON text rules: the string escaper, bytes as hex digits and the framing of
// bounded lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Writes the JSON string-body form of src into dst (capacity cap >= 7 bytes),
// always NUL-terminated. Quote and backslash get a backslash; bytes below 0x20
// become \u00XX; everything else (0x80 and up too) passes unchanged. Stops
// while room for a whole escape is still left, so an escape is never split.
void hv_json_escape(char *dst, uint64_t cap, const uint8_t *src, uint64_t n);

// Two lowercase hex digits for every byte value, so a byte costs one 2-byte copy.
struct hv_hex_pair_table {
    char pair[256][2];
    constexpr hv_hex_pair_table() : pair() {
        constexpr char digits[] = "0123456789abcdef";
        for (int v = 0; v < 256; v++) {
            pair[v][0] = digits[v >> 4];
            pair[v][1] = digits[v & 0xf];
        }
    }
};
inline constexpr hv_hex_pair_table HV_HEX_PAIRS;

// Writes the n bytes at src as 2 * n lowercase hex digits, without a
// terminator, and returns the end of what it wrote. Inline, as the page
// renderer writes every byte of a row through it.
inline char *hv_put_hex(char *dst, const uint8_t *src, std::size_t n) {
    for (std::size_t i = 0; i < n; i++) std::memcpy(dst + 2 * i, HV_HEX_PAIRS.pair[src[i]], 2);
    return dst + 2 * n;
}

// A list "[e1, e2, ...]" built in a fixed buffer. Each piece is appended
// bounded to the room left (the last byte is never written) while the length
// counts as if nothing had been cut; once it passes the bound the text is
// dropped and the result is the empty string. A list is never cut.
struct hv_list {
    char *out;
    std::size_t cap;   // buffer size in bytes
    std::size_t len;   // length as if nothing had been cut
    bool failed;
    std::size_t count; // elements appended
};

// Starts an empty list in buf; cap is the buffer size (1 MiB for the lists).
hv_list hv_list_begin(char *buf, std::size_t cap);

// Appends one element (an object's text of n bytes) with its "[" or ", ".
void hv_list_add(hv_list &list, const char *element, std::size_t n);

// Where the next element, of at most max_n bytes, can be written straight
// into the buffer, its "[" or ", " already put; null when it might not fit,
// and the element then goes through hv_list_add. hv_list_placed ends it.
char *hv_list_place(hv_list &list, std::size_t max_n);
void hv_list_placed(hv_list &list, std::size_t n);

// Closes the list with "]" and returns the text, or "" when it overflowed.
const char *hv_list_end(hv_list &list);
