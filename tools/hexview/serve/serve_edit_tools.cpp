// hexview serve: the edit tools that stage more than a typed byte: paste,
// fill and find-and-replace. Each checks its whole request first and stages
// one undo step, or nothing. Called under the engine lock.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "quillmar_hexview.h"
#include "serve/serve.h"

namespace {

constexpr int64_t kMaxFill = 16 << 20;  // bytes a fill covers at most
constexpr int kWildcard = -1;

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ':'; }

// Bytes as people paste them: pairs of hex digits, with spaces, tabs, line
// ends, commas or colons between them; "??" (any byte) where `wildcards`.
// Throws http_error 400 naming `what` and the fault.
std::vector<int> parse_hex_items(std::string_view text, const std::string &what, bool wildcards) {
    std::vector<int> items;
    for (size_t i = 0; i < text.size();) {
        if (is_separator(text[i])) {
            i++;
            continue;
        }
        if (wildcards && text.substr(i, 2) == "??") {
            items.push_back(kWildcard);
            i += 2;
            continue;
        }
        int high = digit_value(text[i]);
        bool paired = i + 1 < text.size() && !is_separator(text[i + 1]);
        int low = paired ? digit_value(text[i + 1]) : -1;
        if (high < 0 || (paired && low < 0))
            throw http_error(400, what + ": not hex: '" + std::string(1, high < 0 ? text[i] : text[i + 1]) +
                                      "' (use 0-9 a-f" + (wildcards ? ", ?? for any byte" : "") +
                                      ", spaces between bytes)");
        if (!paired) throw http_error(400, what + ": an odd number of hex digits (each byte takes two)");
        items.push_back(high << 4 | low);
        i += 2;
    }
    return items;
}

std::string hex_of(const std::vector<int> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (int b : bytes) hex += {digits[b >> 4], digits[b & 0xf]};
    return hex;
}

// Plain bytes, at least one.
std::string plain_hex(const nlohmann::json &f, const char *key, const std::string &what) {
    std::vector<int> bytes = parse_hex_items(field_string(f, key), what, false);
    if (bytes.empty()) throw http_error(400, what + ": no bytes");
    return hex_of(bytes);
}

// The size of the edited content, exact: a page makes the engine build it.
int64_t exact_size() {
    if (std::string(hx_page(0, 1, "raw")).empty()) throw http_error(500, hx_last_error());
    return hx_file_size();
}

std::string hex_offset(int64_t offset) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(offset));
    return text;
}

// "16,0x400": offsets in ascending order, as many as the hit list keeps at most.
std::vector<int64_t> parse_offsets(const std::string &list) {
    std::vector<int64_t> offsets;
    for (size_t at = 0; at <= list.size();) {
        size_t comma = std::min(list.find(',', at), list.size());
        offsets.push_back(parse_offset(list.substr(at, comma - at), "offset"));
        if (offsets.size() > HX_MAX_STORED_HITS)
            throw http_error(400, "at most " + std::to_string(HX_MAX_STORED_HITS) + " offsets at once");
        at = comma + 1;
    }
    std::sort(offsets.begin(), offsets.end());
    return offsets;
}

// Each hit must still hold what was searched for, or the replacement would
// land on other bytes.
void check_hits(const std::vector<int64_t> &offsets, const std::vector<int> &find) {
    auto length = static_cast<int64_t>(find.size());
    for (size_t i = 0; i < offsets.size(); i++) {
        if (i > 0 && offsets[i] < offsets[i - 1] + length)
            throw http_error(400, "the hits at " + hex_offset(offsets[i - 1]) + " and " + hex_offset(offsets[i]) + " overlap");
        std::vector<uint8_t> now = serve_read_bytes(offsets[i], length);
        bool same = static_cast<int64_t>(now.size()) == length;
        for (size_t k = 0; same && k < now.size(); k++) same = find[k] == kWildcard || find[k] == now[k];
        if (!same)
            throw http_error(409, "the bytes at " + hex_offset(offsets[i]) +
                                      " are no longer those searched for: nothing was replaced (search again)");
    }
}

}  // namespace

std::string serve_fill(const serve_session &s, const http_request &req) {
    nlohmann::json f = parse_body(req.body, "offset,length,hex");
    int64_t offset = field_offset(f, "offset"), length = field_offset(f, "length");
    std::string pattern = plain_hex(f, "hex", "the fill pattern");
    if (length < 1) throw http_error(400, "a fill covers 1 byte or more");
    if (length > kMaxFill)
        throw http_error(413, "a fill covers 16 MiB at most; this one has " + std::to_string(length) + " bytes");
    int64_t size = exact_size();
    if (offset >= size || length > size - offset)
        throw http_error(400, "the fill runs past the end of the content (" + std::to_string(size) + " bytes)");
    std::string hex;
    hex.reserve(static_cast<size_t>(2 * length));
    while (static_cast<int64_t>(hex.size()) < 2 * length) hex += pattern;
    hex.resize(static_cast<size_t>(2 * length));
    return serve_stage_step(s, {{edit_record::write, offset, std::move(hex), 0}}, "the fill");
}

std::string serve_delete(const serve_session &s, const http_request &req) {
    nlohmann::json f = parse_body(req.body, "offset,length");
    int64_t offset = field_offset(f, "offset"), length = field_offset(f, "length");
    if (length < 1) throw http_error(400, "a delete removes 1 byte or more");
    // The engine stages a delete past the end as an edit that removes nothing
    // (or less than it says), and counts its whole length off the size until
    // the content is built: refused, so the listed edits are what happens.
    int64_t size = exact_size();
    if (offset >= size || length > size - offset)
        throw http_error(400, "the delete runs past the end of the content (" + std::to_string(size) + " bytes)");
    return serve_stage_step(s, {{edit_record::erase, offset, "", length}}, "the delete");
}

std::string serve_paste(const serve_session &s, const http_request &req) {
    nlohmann::json f = parse_body(req.body, "offset,hex,insert");
    int64_t offset = field_offset(f, "offset");
    std::string hex = plain_hex(f, "hex", "the pasted hex");
    int64_t size = exact_size();
    if (offset > size)
        throw http_error(400, "offset " + hex_offset(offset) + " is past the end of the content (" +
                                  std::to_string(size) + " bytes)");
    if (field_bool(f, "insert", false) || offset == size)
        return serve_stage_step(s, {{edit_record::insert, offset, hex, 0}}, "the paste");
    // An overwrite never lengthens the content in the engine: the bytes that
    // run past its end are appended, in the same undo step.
    size_t fit = static_cast<size_t>(2 * std::min<int64_t>(size - offset, static_cast<int64_t>(hex.size() / 2)));
    std::vector<edit_record> edits{{edit_record::write, offset, hex.substr(0, fit), 0}};
    if (fit < hex.size()) edits.push_back({edit_record::insert, size, hex.substr(fit), 0});
    return serve_stage_step(s, edits, "the paste");
}

std::string serve_replace(const serve_session &s, const http_request &req) {
    nlohmann::json f = parse_body(req.body, "offsets,find,hex");
    std::vector<int> find = parse_hex_items(field_string(f, "find"), "the pattern searched for", true);
    if (find.empty() || find.size() > HX_MAX_PATTERN_BYTES)
        throw http_error(400, "the pattern searched for has 1 to " + std::to_string(HX_MAX_PATTERN_BYTES) + " bytes");
    std::string hex = hex_of(parse_hex_items(field_string(f, "hex"), "the replacement", false));
    std::vector<int64_t> offsets = parse_offsets(field_string(f, "offsets"));
    check_hits(offsets, find);
    // A replacement of the pattern's length overwrites it; any other is a
    // delete and an insert, staged from the last hit back so that each
    // offset still counts in the content the edits before it leave.
    auto length = static_cast<int64_t>(find.size());
    std::vector<edit_record> edits;
    if (static_cast<int64_t>(hex.size() / 2) == length) {
        for (int64_t at : offsets) edits.push_back({edit_record::write, at, hex, 0});
    } else {
        for (auto at = offsets.rbegin(); at != offsets.rend(); ++at) {
            edits.push_back({edit_record::erase, *at, "", length});
            if (!hex.empty()) edits.push_back({edit_record::insert, *at, hex, 0});
        }
    }
    std::string what = offsets.size() == 1 ? "replacing the hit"
                                            : "replacing all " + std::to_string(offsets.size()) + " hits";
    return serve_stage_step(s, edits, what);
}
