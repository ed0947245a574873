#include "core/parse_hex.h"

#include "core/alloc.h"
#include "core/error.h"

namespace {

constexpr int64_t kFirstCapacity = 1024;

bool is_separator(char c) { return c == '\t' || c == ' ' || c == ',' || c == ':'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct parse_arrays {
    uint8_t *values = nullptr;
    uint8_t *mask = nullptr;
    int64_t count = 0;
    int64_t cap = 0;
};

void release(parse_arrays &a) {
    hv_free(a.values);
    hv_free(a.mask);
    a.values = a.mask = nullptr;
}

// Grows both arrays to twice their capacity; a growth that succeeds for one
// array is kept in it, so the release frees the right block.
bool grow(parse_arrays &a) {
    std::size_t n = static_cast<std::size_t>(a.cap) * 2;
    uint8_t *v = static_cast<uint8_t *>(hv_realloc(a.values, n));
    if (!v) return false;
    a.values = v;
    uint8_t *m = static_cast<uint8_t *>(hv_realloc(a.mask, n));
    if (!m) return false;
    a.mask = m;
    a.cap *= 2;
    return true;
}

bool store(parse_arrays &a, uint8_t value, uint8_t mask) {
    if (a.count == a.cap && !grow(a)) return false;
    a.values[a.count] = value;
    a.mask[a.count] = mask;
    a.count++;
    return true;
}

// Reads the items of text into a; false when the text is not a hex byte-string.
bool parse_items(const char *text, parse_arrays &a) {
    const char *p = text;
    while (*p) {
        if (is_separator(*p)) {
            p++;
        } else if (*p == '?') {
            if (p[1] != '?' || !store(a, 0x00, 0x00)) return false;
            p += 2;
        } else {
            int hi = hex_value(*p);
            int lo = hi < 0 ? -1 : hex_value(p[1]);
            if (lo < 0 || !store(a, static_cast<uint8_t>(hi * 16 + lo), 0xff)) return false;
            p += 2;
        }
    }
    return a.count > 0;
}

}  // namespace

int hv_parse_hex(const char *text, int64_t *count, uint8_t **values, uint8_t **mask) {
    parse_arrays a;
    a.values = static_cast<uint8_t *>(hv_malloc(kFirstCapacity));
    a.mask = static_cast<uint8_t *>(hv_malloc(kFirstCapacity));
    a.cap = kFirstCapacity;
    if (!a.values || !a.mask || !parse_items(text, a)) {
        release(a);
        return -1;
    }
    *count = a.count;
    *values = a.values;
    *mask = a.mask;
    return 0;
}

int hv_parse_hex_plain(const char *text, uint8_t **values, int64_t *count) {
    uint8_t *v = nullptr;
    uint8_t *m = nullptr;
    if (hv_parse_hex(text, count, &v, &m) != 0) {
        hv_err("invalid hex bytes: %s", text);
        return -1;
    }
    for (int64_t i = 0; i < *count; i++) {
        if (m[i] != 0xff) {
            hv_free(v);
            hv_free(m);
            hv_err("wildcards not allowed in patch bytes");
            return -1;
        }
    }
    hv_free(m);
    *values = v;
    return 0;
}
