// tools/hexview/cli: the hexview command line, its subcommands dump, search,
// info, entropy, compare, edit and demo. This header holds what they share;
// what the command shares with `hexview serve` is in common/host.h.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/host.h"

// Throws host_error with the library's last error text, prefixed by what failed.
[[noreturn]] void fail_with_library_error(const std::string &what);

// Runs a long engine call (search, compare, save) on a worker thread. On a
// terminal, unless `quiet` (--json), a progress line on stderr once it lasts
// over half a second; Ctrl-C cancels the call and ends the command with
// status 130. Throws host_error "<what>: <message>" when the call fails.
void run_long_call(const std::string &what, bool quiet, const std::function<int()> &call);

// "1.5 MiB" style sizes.
std::string human_size(int64_t bytes);

// Terminal colour, only when stdout is a terminal (a console that takes ANSI
// escapes on Windows) and NO_COLOR is unset or empty.
struct style {
    bool on;
    std::string dim(const std::string &s) const { return wrap("2", s); }
    std::string bold(const std::string &s) const { return wrap("1", s); }
    std::string red(const std::string &s) const { return wrap("31", s); }
    std::string green(const std::string &s) const { return wrap("32", s); }
    std::string cyan(const std::string &s) const { return wrap("36", s); }
    std::string wrap(const char *code, const std::string &s) const {
        return on ? "\x1b[" + std::string(code) + "m" + s + "\x1b[0m" : s;
    }
};
style output_style();

// A horizontal bar of `width` cells for value in [0, max].
std::string bar(double value, double max, int width);

// The library's JSON text, read; host_error if it is not JSON.
nlohmann::json read_library_json(const std::string &text);

// Opens a file read-only through the library, or throws.
void open_or_fail(const std::string &path);
void open_rw_existing_or_fail(const std::string &path);

struct dump_options {
    std::string file;
    int64_t offset = 0;
    int64_t rows = -1;  // -1: the whole file
    bool raw = false;
    bool text = false;
    bool json = false;
};
int run_dump(const dump_options &o);

struct search_options {
    std::string file;
    std::string mode;
    std::string pattern;
    int64_t start = 0;
    bool context = false;
    bool json = false;
};
int run_search(const search_options &o);

int run_info(const std::string &file, bool json);
int run_entropy(const std::string &file, bool json);
int run_compare(const std::string &file, const std::string &other, bool json);

struct edit_options {
    std::string file;
    std::vector<edit_record> steps;
    bool save = false;
    std::string save_path;  // empty: in place
    bool dry_run = false;
    bool json = false;
};
int run_edit(const edit_options &o);

int run_demo();
