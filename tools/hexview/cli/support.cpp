// Shared helpers of the hexview command: errors, numbers, colour, JSON reading.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "cli/cli.h"
#include "quillmar_hexview.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

void fail_with_library_error(const std::string &what) {
    std::string msg = hx_last_error();
    throw cli_error(what.empty() ? msg : what + ": " + msg);
}

int64_t parse_offset(const std::string &text, const char *what) {
    std::string t = text;
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t = t.substr(2);
        base = 16;
    }
    if (t.empty() || t[0] == '-' || t[0] == '+' || t[0] == ' ')
        throw cli_error(std::string("invalid ") + what + ": " + text);
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(t.c_str(), &end, base);
    if (*end != '\0' || errno == ERANGE || v > static_cast<unsigned long long>(INT64_MAX))
        throw cli_error(std::string("invalid ") + what + ": " + text);
    return static_cast<int64_t>(v);
}

std::string human_size(int64_t bytes) {
    static const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024.0 && u < 6) {
        v /= 1024.0;
        u++;
    }
    char buf[64];
    if (u == 0)
        std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(bytes));
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

#ifdef _WIN32
// A console shows the escapes once asked to process them (Windows 10 and
// later); a file or a pipe is no console, and an older console refuses.
static bool stdout_shows_colour() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
#else
static bool stdout_shows_colour() { return isatty(STDOUT_FILENO) != 0; }
#endif

style output_style() {
    const char *no_color = std::getenv("NO_COLOR");
    return style{!(no_color && *no_color) && stdout_shows_colour()};
}

std::string bar(double value, double max, int width) {
    if (max <= 0) return std::string(static_cast<size_t>(width), ' ');
    int cells = static_cast<int>(std::lround(value / max * width));
    cells = std::max(0, std::min(width, cells));
    std::string s;
    for (int i = 0; i < width; i++) s += i < cells ? "#" : ".";
    return s;
}

namespace {

// Reads a JSON string starting at the opening quote; leaves pos after it.
std::string read_string(const std::string &t, size_t &pos) {
    std::string v;
    pos++;  // opening quote
    while (pos < t.size() && t[pos] != '"') {
        char c = t[pos++];
        if (c != '\\' || pos >= t.size()) {
            v += c;
            continue;
        }
        char e = t[pos++];
        if (e == 'u' && pos + 4 <= t.size()) {
            v += static_cast<char>(std::strtol(t.substr(pos, 4).c_str(), nullptr, 16));
            pos += 4;
        } else if (e == 'n') {
            v += '\n';
        } else if (e == 't') {
            v += '\t';
        } else {
            v += e;
        }
    }
    pos++;  // closing quote
    return v;
}

// Reads a number, array or other bare value as its text.
std::string read_bare(const std::string &t, size_t &pos) {
    size_t start = pos;
    int depth = 0;
    while (pos < t.size()) {
        char c = t[pos];
        if (c == '[') depth++;
        if (c == ']') depth--;
        if (depth == 0 && (c == ',' || c == '}')) break;
        pos++;
    }
    return t.substr(start, pos - start);
}

json_object read_object(const std::string &t, size_t &pos) {
    json_object obj;
    while (pos < t.size() && t[pos] != '{') pos++;
    pos++;
    while (pos < t.size() && t[pos] != '}') {
        if (t[pos] != '"') {
            pos++;
            continue;
        }
        std::string key = read_string(t, pos);
        pos++;  // colon
        obj[key] = t[pos] == '"' ? read_string(t, pos) : read_bare(t, pos);
    }
    pos++;
    return obj;
}

}  // namespace

json_object parse_json_object(const std::string &text) {
    size_t pos = 0;
    return read_object(text, pos);
}

std::vector<json_object> parse_json_list(const std::string &text) {
    std::vector<json_object> list;
    size_t pos = 0;
    for (;;) {
        size_t next = text.find('{', pos);
        if (next == std::string::npos) return list;
        pos = next;
        list.push_back(read_object(text, pos));
    }
}

std::vector<int64_t> parse_json_int_array(const std::string &text) {
    std::vector<int64_t> v;
    const char *p = text.c_str();
    while (*p) {
        if (*p >= '0' && *p <= '9') {
            char *end = nullptr;
            v.push_back(std::strtoll(p, &end, 10));
            p = end;
        } else {
            p++;
        }
    }
    return v;
}

void open_or_fail(const std::string &path) {
    if (hx_open(path.c_str()) != 0) fail_with_library_error("");
}

void open_rw_existing_or_fail(const std::string &path) {
    // The library creates a missing file on a read-write open; a command
    // that edits must not make one by surprise.
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw cli_error("no such file: " + path);
    if (hx_open_rw(path.c_str()) != 0) fail_with_library_error("");
}
