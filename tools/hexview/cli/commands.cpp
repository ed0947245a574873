// The subcommands of hexview. They reach the engine only through its public
// hx_ functions, like any other host.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "quillmar_hexview.h"

namespace {

constexpr int kPageRows = 1000;
constexpr int64_t kRowBytes = 16;

std::string hex_offset(int64_t off, int digits = 8) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*" PRIx64, digits, static_cast<uint64_t>(off));
    return buf;
}

int offset_digits(int64_t size) { return size > 0xffffffffll ? 16 : 8; }

bool is_printable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }


// The rows to show: all of the file from the offset, or exactly `rows`.
int64_t rows_to_show(const dump_options &o, int64_t size) {
    if (o.rows >= 0) return o.rows;
    if (o.offset >= size) return 0;
    return (size - o.offset + kRowBytes - 1) / kRowBytes;
}

// Value of a lowercase hex digit, by table.
struct nibble_table {
    uint8_t v[256];
    constexpr nibble_table() : v() {
        for (int c = '0'; c <= '9'; c++) v[c] = static_cast<uint8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; c++) v[c] = static_cast<uint8_t>(c - 'a' + 10);
    }
};
constexpr nibble_table kNibble;

// Writes the row position as at least `digits` hex digits, coloured if asked.
char *put_row_offset(char *w, const style &st, int64_t pos, int digits) {
    if (st.on) w = static_cast<char *>(std::memcpy(w, "\x1b[2m", 4)) + 4;
    w += std::snprintf(w, 24, "%0*" PRIx64, digits, static_cast<uint64_t>(pos));
    if (st.on) w = static_cast<char *>(std::memcpy(w, "\x1b[0m", 4)) + 4;
    *w++ = ' ';
    *w++ = ' ';
    return w;
}

// One row as a person reads it: offset, hex with a gap after 8 bytes, text.
// `hex` points at the row's 32 hex digits in the library's raw page.
char *put_hex_row(char *w, const char *hex, int n) {
    for (int k = 0; k < kRowBytes; k++) {
        if (k == 8) *w++ = ' ';
        if (k < n) {
            *w++ = hex[2 * k];
            *w++ = hex[2 * k + 1];
        } else {
            *w++ = ' ';
            *w++ = ' ';
        }
        *w++ = ' ';
    }
    *w++ = ' ';
    *w++ = '|';
    for (int k = 0; k < n; k++) {
        auto c = static_cast<unsigned char>(kNibble.v[static_cast<unsigned char>(hex[2 * k])] << 4 |
                                            kNibble.v[static_cast<unsigned char>(hex[2 * k + 1])]);
        *w++ = is_printable(c) ? static_cast<char>(c) : '.';
    }
    *w++ = '|';
    *w++ = '\n';
    return w;
}

// Streams the rows of the file from the library's raw pages, one page of
// 1000 rows at a time, so memory stays constant whatever the file size.
void dump_hex(const dump_options &o, int64_t size, int64_t rows) {
    style st = output_style();
    int digits = offset_digits(size);
    std::vector<char> out(kPageRows * 128);
    for (int64_t done = 0; done < rows;) {
        int64_t pos = o.offset + done * kRowBytes;
        if (pos >= size) break;
        int n_rows = static_cast<int>(std::min<int64_t>(kPageRows, rows - done));
        const char *page = hx_page(pos, n_rows, "raw");
        if (!*page) fail_with_library_error("");
        char *w = out.data();
        const char *at = page;
        for (int r = 0; r < n_rows; r++, done++) {
            int64_t row_pos = pos + r * kRowBytes;
            if (row_pos >= size) {
                done = rows;
                break;
            }
            at = std::strstr(at, "\"bytes_hex\":\"");
            if (!at) throw host_error("unexpected page text");
            at += 13;
            int n = static_cast<int>(std::min<int64_t>(kRowBytes, size - row_pos));
            w = put_row_offset(w, st, row_pos, digits);
            if (o.raw) {
                w = static_cast<char *>(std::memcpy(w, at, static_cast<size_t>(2 * n))) + 2 * n;
                *w++ = '\n';
            } else {
                w = put_hex_row(w, at, n);
            }
        }
        std::fwrite(out.data(), 1, static_cast<size_t>(w - out.data()), stdout);
    }
}

void dump_text(const dump_options &o, int64_t size, int64_t rows) {
    style st = output_style();
    int digits = offset_digits(size);
    for (int64_t done = 0; done < rows;) {
        int64_t pos = o.offset + done * kRowBytes;
        if (pos >= size) break;
        int n_rows = static_cast<int>(std::min<int64_t>(kPageRows, rows - done));
        std::string page = hx_ascii_only(pos, n_rows);
        if (page.empty()) fail_with_library_error("");
        std::string out;
        for (const nlohmann::json &row : read_library_json(page)) {
            int64_t row_pos = parse_offset(row.at("off").get<std::string>(), "offset");
            if (row_pos >= size) break;
            out += st.dim(hex_offset(row_pos, digits)) + "  " + row.at("text").get<std::string>() + "\n";
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        done += n_rows;
    }
}

// The library's JSON as it is, one page per line.
void dump_json(const dump_options &o, int64_t rows) {
    for (int64_t done = 0; done < rows;) {
        int n_rows = static_cast<int>(std::min<int64_t>(kPageRows, rows - done));
        int64_t pos = o.offset + done * kRowBytes;
        const char *page = o.text ? hx_ascii_only(pos, n_rows) : hx_page(pos, n_rows, o.raw ? "raw" : nullptr);
        if (!*page) fail_with_library_error("");
        std::printf("%s\n", page);
        done += n_rows;
    }
}

}  // namespace

int run_dump(const dump_options &o) {
    open_or_fail(o.file);
    int64_t size = hx_file_size();
    int64_t rows = rows_to_show(o, size);
    if (o.json)
        dump_json(o, rows);
    else if (o.text)
        dump_text(o, size, rows);
    else
        dump_hex(o, size, rows);
    hx_close();
    return 0;
}

int run_search(const search_options &o) {
    open_or_fail(o.file);
    // UTF-16LE is encoded here from the text as given, non-ASCII included.
    bool utf16 = o.mode == "utf16";
    std::string pattern = utf16 ? utf16le_hex(o.pattern) : o.pattern;
    const char *mode = utf16 ? "hex" : o.mode.c_str();
    run_long_call("search", o.json, [&] { return hx_search(mode, pattern.c_str(), o.start); });
    int count = hx_search_count();
    int stored = std::min(count, HX_MAX_STORED_HITS);
    style st = output_style();
    if (o.json) std::printf("{\"count\":%d,\"hits\":[", count);
    else std::printf("%s%s\n", st.bold(std::to_string(count) + (count == 1 ? " hit" : " hits")).c_str(),
                     count > stored ? (" (the first " + std::to_string(stored) + " are listed)").c_str() : "");
    for (int i = 0; i < stored; i++) {
        // Each field call reuses one buffer of the library: copy before the next.
        std::string off = hx_search_field(i, "offset");
        std::string hex = o.context ? hx_search_field(i, "context_hex") : "";
        std::string ascii = o.context ? hx_search_field(i, "context_ascii") : "";
        if (o.json) {
            std::printf("%s{\"offset\":\"%s\"", i ? ", " : "", off.c_str());
            if (o.context) std::printf(",\"context_hex\":\"%s\",\"context_ascii\":\"%s\"", hex.c_str(), ascii.c_str());
            std::printf("}");
            continue;
        }
        std::printf("%s", st.cyan(off).c_str());
        if (o.context) {
            std::string text = read_library_json("\"" + ascii + "\"").get<std::string>();
            std::printf("  %s  |%s|", hex.c_str(), text.c_str());
        }
        std::printf("\n");
    }
    if (o.json) std::printf("]}\n");
    hx_close();
    return 0;
}

// A report of the file as the library writes it; printed as it is with --json.
static std::string fetch_report(const std::string &file, const char *(*report)(), bool json) {
    open_or_fail(file);
    std::string text = report();
    if (text.empty()) fail_with_library_error("");
    hx_close();
    if (json) std::printf("%s\n", text.c_str());
    return text;
}

int run_info(const std::string &file, bool json) {
    std::string text = fetch_report(file, hx_info_json, json);
    if (json) return 0;
    nlohmann::json info = read_library_json(text);
    style st = output_style();
    int64_t size = info.at("size").get<int64_t>();
    double h = info.at("entropy_avg").get<double>();
    std::printf("%-9s %s\n", "file", file.c_str());
    std::printf("%-9s %s (%lld bytes)\n", "size", human_size(size).c_str(), static_cast<long long>(size));
    std::printf("%-9s %.4f bits/byte  %s\n", "entropy", h, st.cyan(bar(h, 8.0, 32)).c_str());
    return 0;
}

int run_entropy(const std::string &file, bool json) {
    std::string text = fetch_report(file, hx_entropy_json, json);
    if (json) return 0;
    nlohmann::json e = read_library_json(text);
    style st = output_style();
    int64_t sampled = e.at("sampled_bytes").get<int64_t>();
    std::printf("sampled %s (%lld bytes) in eight blocks from the start\n", human_size(sampled).c_str(),
                static_cast<long long>(sampled));
    for (const char *k : {"entropy_min", "entropy_avg", "entropy_max"}) {
        double h = e.at(k).get<double>();
        std::printf("%-4s %7.4f  %s\n", k + 8, h, st.cyan(bar(h, 8.0, 40)).c_str());
    }
    auto buckets = e.at("buckets").get<std::vector<int64_t>>();
    int64_t top = buckets.empty() ? 0 : *std::max_element(buckets.begin(), buckets.end());
    std::printf("count of the byte values 0x00, 0x10, ... 0xf0:\n");
    for (size_t k = 0; k < buckets.size(); k++)
        std::printf("  0x%02zx %10lld  %s\n", k * 16, static_cast<long long>(buckets[k]),
                    st.green(bar(static_cast<double>(buckets[k]), static_cast<double>(top), 30)).c_str());
    return 0;
}

int run_compare(const std::string &file, const std::string &other, bool json) {
    // The engine reads past the end of the shorter file as 0x00 bytes, so the
    // sizes are compared here as well.
    open_or_fail(other);
    int64_t other_size = hx_file_size();
    open_or_fail(file);
    int64_t size = hx_file_size();
    run_long_call("compare", json, [&] { return hx_compare(other.c_str()); });
    int runs = hx_compare_count();
    bool capped = runs >= HX_MAX_RUNS;
    bool differ = runs > 0 || size != other_size;
    style st = output_style();
    // Each field call reuses one buffer of the library: copy before the next.
    auto field = [](int i, const char *name) { return std::string(hx_compare_field(i, name)); };
    if (json) {
        std::printf("{\"size\":%lld,\"other_size\":%lld,\"runs\":[", static_cast<long long>(size),
                    static_cast<long long>(other_size));
        for (int i = 0; i < runs; i++)
            std::printf("%s{\"offset\":\"%s\",\"this_hex\":\"%s\",\"other_hex\":\"%s\"}", i ? ", " : "",
                        field(i, "offset").c_str(), field(i, "this_hex").c_str(), field(i, "other_hex").c_str());
        std::printf("],\"capped\":%s,\"equal\":%s}\n", capped ? "true" : "false", differ ? "false" : "true");
        hx_close();
        return differ ? 1 : 0;
    }
    for (int i = 0; i < runs; i++) {
        std::printf("%s  %s %s\n%*s  %s %s\n", st.cyan(field(i, "offset")).c_str(), st.red("-").c_str(),
                    field(i, "this_hex").c_str(), 18, "", st.green("+").c_str(), field(i, "other_hex").c_str());
    }
    if (size != other_size)
        std::printf("sizes differ: %s is %lld bytes, %s is %lld bytes\n", file.c_str(), static_cast<long long>(size),
                    other.c_str(), static_cast<long long>(other_size));
    if (capped) std::printf("the first %d differing runs are shown; more differences may follow\n", HX_MAX_RUNS);
    if (!differ) std::printf("files are equal\n");
    else std::printf("%d differing run%s\n", runs, runs == 1 ? "" : "s");
    hx_close();
    return differ ? 1 : 0;
}
