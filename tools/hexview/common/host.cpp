// What both hosts share: offsets, staging an edit, system error texts.
#include "common/host.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "quillmar_hexview.h"

int64_t parse_offset(std::string_view text, const char *what) {
    std::string t(text);
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t = t.substr(2);
        base = 16;
    }
    auto invalid = [&] { return host_error(std::string("invalid ") + what + ": " + std::string(text)); };
    if (t.empty() || t[0] == '-' || t[0] == '+' || t[0] == ' ') throw invalid();
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(t.c_str(), &end, base);
    if (end != t.data() + t.size() || errno == ERANGE || v > static_cast<unsigned long long>(INT64_MAX)) throw invalid();
    return static_cast<int64_t>(v);
}

namespace {

// The next code point of `text` from `i` (moved past it), or -1 when the
// bytes there are not well-formed UTF-8.
long next_code_point(std::string_view text, size_t &i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    int extra = b0 < 0x80 ? 0 : (b0 & 0xe0) == 0xc0 ? 1 : (b0 & 0xf0) == 0xe0 ? 2 : (b0 & 0xf8) == 0xf0 ? 3 : -1;
    if (extra < 0 || i + extra >= text.size()) return -1;
    long cp = extra == 0 ? b0 : b0 & (0x3f >> extra);
    for (int k = 1; k <= extra; k++) {
        if ((byte(i + k) & 0xc0) != 0x80) return -1;
        cp = (cp << 6) | (byte(i + k) & 0x3f);
    }
    static const long smallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
    i += extra + 1;
    return cp;
}

}  // namespace

std::string utf16le_hex(std::string_view utf8) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    auto unit = [&](long u) {
        for (long b : {u & 0xff, u >> 8}) {
            if (!hex.empty()) hex += ' ';
            hex += digits[b >> 4];
            hex += digits[b & 0xf];
        }
    };
    for (size_t i = 0; i < utf8.size();) {
        long cp = next_code_point(utf8, i);
        if (cp < 0) throw host_error("the text is not valid UTF-8");
        if (cp < 0x10000) {
            unit(cp);
        } else {
            unit(0xd800 + ((cp - 0x10000) >> 10));
            unit(0xdc00 + ((cp - 0x10000) & 0x3ff));
        }
    }
    return hex;
}

int stage_edit(const edit_record &e) {
    switch (e.kind) {
    case edit_record::write: return hx_write(e.hex.c_str(), e.offset);
    case edit_record::insert: return hx_insert(e.hex.c_str(), e.offset);
    case edit_record::erase: return hx_delete(e.offset, e.length);
    }
    return -1;
}

std::string system_message(int code) { return std::system_category().message(code); }
