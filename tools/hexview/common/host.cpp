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

int stage_edit(const edit_record &e) {
    switch (e.kind) {
    case edit_record::write: return hx_write(e.hex.c_str(), e.offset);
    case edit_record::insert: return hx_insert(e.hex.c_str(), e.offset);
    case edit_record::erase: return hx_delete(e.offset, e.length);
    }
    return -1;
}

std::string system_message(int code) { return std::system_category().message(code); }
