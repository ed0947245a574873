// Shared helpers of the hexview command: errors, sizes, colour, JSON reading.
#include <nlohmann/json.hpp>

#include <algorithm>
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
    throw host_error(what.empty() ? msg : what + ": " + msg);
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

// The library copies a path's bytes into its JSON as they are, and they need
// not be UTF-8; the command reads only ASCII fields (it knows the paths), so
// other bytes are masked for the parser, which accepts only UTF-8.
nlohmann::json read_library_json(const std::string &text) {
    std::string ascii = text;
    for (char &c : ascii)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    try {
        return nlohmann::json::parse(ascii);
    } catch (const nlohmann::json::exception &e) {
        throw host_error(std::string("unexpected text from the library: ") + e.what());
    }
}

// An open that succeeds may leave a notice (an interrupted save rolled back,
// a journal left alone): it goes to stderr, the output stays clean.
static void print_open_notice() {
    const char *notice = hx_last_error();
    if (notice[0]) std::fprintf(stderr, "hexview: %s\n", notice);
}

void open_or_fail(const std::string &path) {
    if (hx_open(path.c_str()) != 0) fail_with_library_error("");
    print_open_notice();
}

void open_rw_existing_or_fail(const std::string &path) {
    // The library creates a missing file on a read-write open; a command
    // that edits must not make one by surprise.
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw host_error("no such file: " + path);
    if (hx_open_rw(path.c_str()) != 0) fail_with_library_error("");
    print_open_notice();
}
