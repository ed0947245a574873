// The hex byte-string parser against a plain reference parser.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "search/parse_hex.h"

namespace {

struct parsed {
    bool ok = false;
    std::vector<uint8_t> values, mask;
};

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Items are two hex digits or "??", separated (or not) by tab, space, comma, colon.
parsed reference(const std::string &t) {
    parsed r;
    for (size_t i = 0; i < t.size();) {
        char c = t[i];
        if (c == '\t' || c == ' ' || c == ',' || c == ':') {
            i++;
        } else if (c == '?' && i + 1 < t.size() && t[i + 1] == '?') {
            r.values.push_back(0);
            r.mask.push_back(0);
            i += 2;
        } else if (digit(c) >= 0 && i + 1 < t.size() && digit(t[i + 1]) >= 0) {
            r.values.push_back(static_cast<uint8_t>(digit(c) * 16 + digit(t[i + 1])));
            r.mask.push_back(0xff);
            i += 2;
        } else {
            return parsed{};
        }
    }
    r.ok = !r.values.empty();
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));  // the parser sees a NUL-terminated text
    parsed want = reference(text);

    int64_t count = -7;
    uint8_t *values = nullptr, *mask = nullptr;
    int r = hv_parse_hex(text.c_str(), &count, &values, &mask);
    if ((r == 0) != want.ok) std::abort();
    if (r == 0) {
        if (count != static_cast<int64_t>(want.values.size())) std::abort();
        if (std::memcmp(values, want.values.data(), want.values.size()) != 0) std::abort();
        if (std::memcmp(mask, want.mask.data(), want.mask.size()) != 0) std::abort();
        hv_free(values);
        hv_free(mask);
    } else if (count != -7 || values || mask) {
        std::abort();  // outputs untouched on failure
    }

    uint8_t *plain = nullptr;
    int64_t plain_count = 0;
    bool has_wildcard = want.ok && std::memchr(want.mask.data(), 0, want.mask.size()) != nullptr;
    int rp = hv_parse_hex_plain(text.c_str(), &plain, &plain_count);
    if ((rp == 0) != (want.ok && !has_wildcard)) std::abort();
    if (rp == 0) {
        if (std::memcmp(plain, want.values.data(), want.values.size()) != 0) std::abort();
        hv_free(plain);
    }
    return 0;
}
