// The subcommands of hexview. They reach the engine only through its public
// hx_ functions, like any other host.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
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

int hex_nibble(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// The rows to show: all of the file from the offset, or exactly `rows`.
int64_t rows_to_show(const dump_options &o, int64_t size) {
    if (o.rows >= 0) return o.rows;
    if (o.offset >= size) return 0;
    return (size - o.offset + kRowBytes - 1) / kRowBytes;
}

// One row as a person reads it: offset, hex with a gap after 8 bytes, text.
void append_hex_row(std::string &out, const style &st, int64_t pos, const unsigned char *b, int n, int digits) {
    out += st.dim(hex_offset(pos, digits));
    out += "  ";
    static const char digits_lc[] = "0123456789abcdef";
    for (int k = 0; k < kRowBytes; k++) {
        if (k == 8) out += ' ';
        if (k < n) {
            out += digits_lc[b[k] >> 4];
            out += digits_lc[b[k] & 0xf];
            out += ' ';
        } else {
            out += "   ";
        }
    }
    out += " |";
    for (int k = 0; k < n; k++) out += is_printable(b[k]) ? static_cast<char>(b[k]) : '.';
    out += "|\n";
}

// Streams the rows of the file from the library's raw pages.
void dump_hex(const dump_options &o, int64_t size, int64_t rows) {
    style st = output_style();
    int digits = offset_digits(size);
    std::string out;
    for (int64_t done = 0; done < rows;) {
        int64_t pos = o.offset + done * kRowBytes;
        if (pos >= size) break;
        int n_rows = static_cast<int>(std::min<int64_t>(kPageRows, rows - done));
        std::string page = hx_page(pos, n_rows, "raw");
        if (page.empty()) fail_with_library_error("");
        out.clear();
        size_t at = 0;
        for (int r = 0; r < n_rows; r++, done++) {
            int64_t row_pos = pos + r * kRowBytes;
            if (row_pos >= size) {
                done = rows;
                break;
            }
            at = page.find("\"bytes_hex\":\"", at);
            if (at == std::string::npos) throw cli_error("unexpected page text");
            at += 13;
            unsigned char b[kRowBytes];
            for (int k = 0; k < kRowBytes; k++)
                b[k] = static_cast<unsigned char>(hex_nibble(page[at + 2 * k]) * 16 + hex_nibble(page[at + 2 * k + 1]));
            int n = static_cast<int>(std::min<int64_t>(kRowBytes, size - row_pos));
            if (o.raw) {
                out += st.dim(hex_offset(row_pos, digits));
                out += "  ";
                out.append(page, at, static_cast<size_t>(2 * n));
                out += '\n';
            } else {
                append_hex_row(out, st, row_pos, b, n, digits);
            }
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
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
        for (const json_object &row : parse_json_list(page)) {
            int64_t row_pos = parse_offset(row.at("off"), "offset");
            if (row_pos >= size) break;
            out += st.dim(hex_offset(row_pos, digits)) + "  " + row.at("text") + "\n";
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
    if (hx_search(o.mode.c_str(), o.pattern.c_str(), o.start) != 0) fail_with_library_error("search");
    int count = hx_search_count();
    int stored = std::min(count, 10000);
    style st = output_style();
    if (o.json) std::printf("{\"count\":%d,\"hits\":[", count);
    else std::printf("%s%s\n", st.bold(std::to_string(count) + (count == 1 ? " hit" : " hits")).c_str(),
                     count > stored ? " (the first 10000 are listed)" : "");
    for (int i = 0; i < stored; i++) {
        std::string off = hx_search_field(i, "offset");
        if (o.json) {
            std::printf("%s{\"offset\":\"%s\"", i ? ", " : "", off.c_str());
            if (o.context)
                std::printf(",\"context_hex\":\"%s\",\"context_ascii\":\"%s\"", hx_search_field(i, "context_hex"),
                            hx_search_field(i, "context_ascii"));
            std::printf("}");
            continue;
        }
        std::printf("%s", st.cyan(off).c_str());
        if (o.context) {
            std::string text = parse_json_object("{\"t\":\"" + std::string(hx_search_field(i, "context_ascii")) + "\"}")["t"];
            std::printf("  %s  |%s|", hx_search_field(i, "context_hex"), text.c_str());
        }
        std::printf("\n");
    }
    if (o.json) std::printf("]}\n");
    hx_close();
    return 0;
}

int run_info(const std::string &file, bool json) {
    open_or_fail(file);
    std::string text = hx_info_json();
    if (text.empty()) fail_with_library_error("");
    hx_close();
    if (json) {
        std::printf("%s\n", text.c_str());
        return 0;
    }
    json_object info = parse_json_object(text);
    style st = output_style();
    int64_t size = std::stoll(info["size"]);
    double h = std::stod(info["entropy_avg"]);
    std::printf("%-9s %s\n", "file", info["name"].c_str());
    std::printf("%-9s %s (%lld bytes)\n", "size", human_size(size).c_str(), static_cast<long long>(size));
    std::printf("%-9s %s\n", "entropy", (info["entropy_avg"] + " bits/byte  " + st.cyan(bar(h, 8.0, 32))).c_str());
    return 0;
}

int run_entropy(const std::string &file, bool json) {
    open_or_fail(file);
    std::string text = hx_entropy_json();
    if (text.empty()) fail_with_library_error("");
    hx_close();
    if (json) {
        std::printf("%s\n", text.c_str());
        return 0;
    }
    json_object e = parse_json_object(text);
    style st = output_style();
    int64_t sampled = std::stoll(e["sampled_bytes"]);
    std::printf("sampled %s (%lld bytes) in eight blocks from the start\n", human_size(sampled).c_str(),
                static_cast<long long>(sampled));
    for (const char *k : {"entropy_min", "entropy_avg", "entropy_max"}) {
        double h = std::stod(e[k]);
        std::printf("%-4s %7.4f  %s\n", k + 8, h, st.cyan(bar(h, 8.0, 40)).c_str());
    }
    std::vector<int64_t> buckets = parse_json_int_array(e["buckets"]);
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
    if (hx_compare(other.c_str()) != 0) fail_with_library_error("compare");
    int runs = hx_compare_count();
    bool capped = runs >= 10000;
    bool differ = runs > 0 || size != other_size;
    style st = output_style();
    if (json) {
        std::printf("{\"size\":%lld,\"other_size\":%lld,\"runs\":[", static_cast<long long>(size),
                    static_cast<long long>(other_size));
        for (int i = 0; i < runs; i++)
            std::printf("%s{\"offset\":\"%s\",\"this_hex\":\"%s\",\"other_hex\":\"%s\"}", i ? ", " : "",
                        hx_compare_field(i, "offset"), hx_compare_field(i, "this_hex"),
                        hx_compare_field(i, "other_hex"));
        std::printf("],\"capped\":%s,\"equal\":%s}\n", capped ? "true" : "false", differ ? "false" : "true");
        hx_close();
        return differ ? 1 : 0;
    }
    for (int i = 0; i < runs; i++) {
        std::printf("%s  %s %s\n%*s  %s %s\n", st.cyan(hx_compare_field(i, "offset")).c_str(), st.red("-").c_str(),
                    hx_compare_field(i, "this_hex"), 18, "", st.green("+").c_str(), hx_compare_field(i, "other_hex"));
    }
    if (size != other_size)
        std::printf("sizes differ: %s is %lld bytes, %s is %lld bytes\n", file.c_str(), static_cast<long long>(size),
                    other.c_str(), static_cast<long long>(other_size));
    if (capped) std::printf("the first 10000 differing runs are shown; more differences may follow\n");
    if (!differ) std::printf("files are equal\n");
    else std::printf("%d differing run%s\n", runs, runs == 1 ? "" : "s");
    hx_close();
    return differ ? 1 : 0;
}
