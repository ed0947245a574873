// The JSON escaper and list framing, and every text result of the engine,
// whatever bytes the file holds: always terminated within the buffer, never a
// split escape, always valid JSON.
#include <string>
#include <vector>

#include "core/json.h"
#include "fuzz_support.h"
#include "json_check.h"
#include "quillmar_hexview.h"

namespace {

// Undoes the escaper's forms; the result must be a prefix of the source.
std::string unescape(const char *s) {
    std::string out;
    for (; *s; s++) {
        if (*s != '\\') {
            out += *s;
            continue;
        }
        s++;
        if (*s == 'u') {
            out += static_cast<char>(std::strtol(std::string(s + 1, 4).c_str(), nullptr, 16));
            s += 4;
        } else {
            out += *s;
        }
    }
    return out;
}

void check_escaper(input_reader &in) {
    uint64_t cap = static_cast<uint64_t>(in.range(7, 300));
    std::string src = in.take(in.range(0, 400));
    std::vector<char> dst(cap + 16, '#');
    hv_json_escape(dst.data(), cap, reinterpret_cast<const uint8_t *>(src.data()), src.size());
    size_t len = std::strlen(dst.data());
    FUZZ_CHECK(len < cap);
    for (size_t i = cap; i < dst.size(); i++) FUZZ_CHECK(dst[i] == '#');
    FUZZ_CHECK(json_checker("\"" + std::string(dst.data()) + "\"").valid());
    std::string back = unescape(dst.data());
    FUZZ_CHECK(src.substr(0, back.size()) == back);
}

void check_list(input_reader &in) {
    size_t cap = static_cast<size_t>(in.range(4, 200));
    std::vector<char> buf(cap, 'Z');
    hv_list list = hv_list_begin(buf.data(), cap);
    int n = static_cast<int>(in.range(0, 12));
    std::string expected = "[";
    for (int i = 0; i < n; i++) {
        std::string element = "{\"k\":\"" + std::string(static_cast<size_t>(in.range(0, 40)), 'v') + "\"}";
        hv_list_add(list, element.data(), element.size());
        expected += (i ? ", " : "") + element;
    }
    expected += "]";
    std::string got = hv_list_end(list);
    FUZZ_CHECK(buf[cap - 1] == 'Z');
    if (expected.size() <= cap - 2) FUZZ_CHECK(got == expected);
    else FUZZ_CHECK(got.empty());
}

void check_valid(const char *text) { FUZZ_CHECK(json_checker(text).valid()); }

void check_engine_texts(input_reader &in) {
    std::string path = fuzz_path("json.bin");
    fuzz_write_file(path, in.take(in.range(0, 600)));
    if (hx_open_rw(path.c_str()) != 0) return;
    int64_t off = in.range(-40, 700);
    int32_t rows = static_cast<int32_t>(in.range(-2, 50));
    check_valid(hx_page(off, rows, nullptr));
    check_valid(hx_page(off, rows, "raw"));
    check_valid(hx_ascii_only(off, rows));
    check_valid(hx_info_json());
    check_valid(hx_entropy_json());
    std::string pattern = in.take(in.range(1, 3));
    if (hx_search("ascii", pattern.c_str(), 0) == 0 && hx_search_count() > 0) {
        std::string ctx = hx_search_field(0, "context_ascii");
        check_valid(("\"" + ctx + "\"").c_str());
    }
    std::string hex = "de ad";
    hx_insert(hex.c_str(), in.range(0, 700));
    hx_delete(in.range(0, 700), in.range(0, 100));
    check_valid(hx_staged_json());
    check_valid(hx_page(0, rows, nullptr));
    hx_close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input_reader in(data, size);
    switch (in.byte() % 3) {
    case 0: check_escaper(in); break;
    case 1: check_list(in); break;
    default: check_engine_texts(in); break;
    }
    return 0;
}
