// The JSON escaper and the list framing against their rules, and every text
// result of the engine, whatever bytes the file holds and whatever its path:
// always terminated within the buffer, never a split escape, always valid
// JSON (a whole value, or a string body for the field results).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/json.h"
#include "fuzz_support.h"
#include "json_check.h"
#include "quillmar_hexview.h"

namespace {

void check_escaper(input_reader &in) {
    uint64_t cap = static_cast<uint64_t>(in.flag() ? in.range(7, 40) : in.range(7, 2000));
    std::string src = in.take(static_cast<size_t>(in.range(0, 2400)));
    std::vector<char> dst(cap + 16, '#');
    hv_json_escape(dst.data(), cap, reinterpret_cast<const uint8_t *>(src.data()), src.size());
    for (size_t i = cap; i < dst.size(); i++) FUZZ_CHECK(dst[i] == '#');  // nothing past the capacity
    FUZZ_CHECK(std::memchr(dst.data(), '\0', cap) != nullptr);
    std::string got(dst.data());
    FUZZ_EQ(got, reference_json_escape(src, cap));
    FUZZ_CHECK(json_checker("\"" + got + "\"").valid());
}

void check_list(input_reader &in) {
    bool big = in.flag();
    size_t cap = big ? 1048576 : static_cast<size_t>(in.range(4, 300));
    std::vector<char> buf(cap + 16, 'Z');
    hv_list list = hv_list_begin(buf.data(), cap);
    int n = in.pick(16);
    std::string expected = "[";
    for (int i = 0; i < n; i++) {
        size_t len = static_cast<size_t>(in.range(0, 60)) * (big ? 4096 : 1);
        std::string element = "{\"k\":\"" + std::string(len, static_cast<char>('a' + i)) + "\"}";
        hv_list_add(list, element.data(), element.size());
        expected += (i ? ", " : "") + element;
    }
    expected += "]";
    std::string got = hv_list_end(list);
    for (size_t i = cap - 1; i < buf.size(); i++) FUZZ_CHECK(buf[i] == 'Z');  // the last byte is never written
    FUZZ_EQ(got, expected.size() <= cap - 2 ? expected : std::string());
}

// A file whose path is made of the input's bytes (any but '/' and NUL), in
// folders nested deep enough that the path nears the system's limit.
struct named_file {
    std::string path;
    std::vector<std::string> folders;  // made here, innermost last
    ~named_file() {
        ::unlink(path.c_str());
        for (auto it = folders.rbegin(); it != folders.rend(); ++it) ::rmdir(it->c_str());
    }
};

std::string name_from(input_reader &in, size_t max) {
    std::string name = "n" + in.take(static_cast<size_t>(in.range(0, static_cast<int64_t>(max))));
    for (char &c : name)
        if (c == '/' || c == '\0') c = '_';
    return name;
}

void make_file(input_reader &in, named_file &f, const std::string &content) {
    std::string at = fuzz_dir();
    int depth = in.flag() ? in.pick(17) : 0;
    for (int i = 0; i < depth && at.size() < 3800; i++) {
        std::string folder = at + "/" + name_from(in, 230);
        if (folder.size() > 3800 || ::mkdir(folder.c_str(), 0700) != 0) break;
        f.folders.push_back(folder);
        at = folder;
    }
    f.path = at + "/" + name_from(in, std::min<size_t>(200, 4000 - at.size()));
    fuzz_write_file(f.path, content);
}

void check_value(const char *text) {
    if (!json_checker(text).valid()) fuzz_fail("valid JSON", __FILE__, __LINE__, text);
}

// A field result is a JSON string body: valid once put in quotes.
void check_field(const char *text, size_t cap) {
    FUZZ_CHECK(std::strlen(text) < cap);
    check_value(("\"" + std::string(text) + "\"").c_str());
}

void check_pages(input_reader &in) {
    int64_t off = in.flag() ? in.range(-40, 5000) : static_cast<int64_t>(in.u64());
    int32_t rows = static_cast<int32_t>(in.flag() ? in.range(-2, 40) : in.range(-2, 1100));
    check_value(hx_page(off, rows, nullptr));
    check_value(hx_page(off, rows, "raw"));
    check_value(hx_ascii_only(off, rows));
}

void check_search(input_reader &in, const std::string &content) {
    static const char *modes[] = {"ascii", "hex", "utf16"};
    const char *mode = modes[in.pick(3)];
    std::string pattern;
    if (mode[0] == 'h') {
        pattern = in.flag() ? "??" : "";
        size_t at = content.empty() ? 0 : static_cast<size_t>(in.below(static_cast<int64_t>(content.size()), 3));
        std::string from = content.substr(at, static_cast<size_t>(in.range(1, 8)));
        pattern += lower_hex(reinterpret_cast<const uint8_t *>(from.data()), from.size());
        if (pattern.empty()) pattern = "00";
    } else {
        pattern = in.take(static_cast<size_t>(in.range(1, 4)));
        pattern = pattern.substr(0, pattern.find('\0'));
    }
    if (hx_search(mode, pattern.c_str(), in.range(-2, 100)) != 0) return;
    int stored = std::min(hx_search_count(), 10000);
    for (int i = 0; i < stored && i < 64; i++) {
        check_field(hx_search_field(i, "offset"), 512);
        std::string hex = hx_search_field(i, "context_hex");
        FUZZ_CHECK(hex.size() <= 504 && hex.find_first_not_of("0123456789abcdef") == std::string::npos);
        check_field(hx_search_field(i, "context_ascii"), 512);
    }
}

void stage_edits(input_reader &in) {
    int n = in.pick(6);
    for (int i = 0; i < n; i++) {
        std::string b = in.take(static_cast<size_t>(in.range(1, 100)));
        std::string hex = lower_hex(reinterpret_cast<const uint8_t *>(b.data()), b.size());
        int64_t off = in.range(0, 5000);
        switch (in.pick(3)) {
        case 0: hx_write(hex.c_str(), off); break;
        case 1: hx_insert(hex.c_str(), off); break;
        default: hx_delete(off, in.flag() ? INT64_MAX : in.range(0, 200)); break;
        }
    }
}

void check_compare(input_reader &in) {
    std::string other = fuzz_path("json-other.bin");
    fuzz_write_file(other, fuzz_content(in, 4096));
    FUZZ_EQ(hx_compare(other.c_str()), 0);
    int runs = hx_compare_count();
    for (int i = 0; i < runs && i < 64; i++) {
        check_field(hx_compare_field(i, "offset"), 1024);
        check_field(hx_compare_field(i, "this_hex"), 1024);
        check_field(hx_compare_field(i, "other_hex"), 1024);
    }
}

void check_engine_texts(input_reader &in) {
    std::string content = fuzz_content(in, 16384);
    named_file f;
    make_file(in, f, content);
    FUZZ_EQ(hx_open_rw(f.path.c_str()), 0);
    check_pages(in);
    check_value(hx_info_json());
    check_value(hx_entropy_json());
    check_value(hx_staged_json());
    check_search(in, content);
    check_compare(in);
    stage_edits(in);
    check_value(hx_staged_json());
    check_value(hx_info_json());
    check_pages(in);
    hx_close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input_reader in(data, size);
    switch (in.pick(3)) {
    case 0: check_escaper(in); break;
    case 1: check_list(in); break;
    default: check_engine_texts(in); break;
    }
    return 0;
}
