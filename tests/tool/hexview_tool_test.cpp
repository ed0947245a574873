// Runs the hexview command on small files and checks its output and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tool/run_program.h"

namespace {

// A path as the system writes it: with backslashes on Windows.
std::string native_path(std::string path) {
#ifdef _WIN32
    std::replace(path.begin(), path.end(), '/', '\\');
#endif
    return path;
}

const std::vector<env_change> kNoColour = {{"NO_COLOR", "1"}};

class tool : public ::testing::Test {
protected:
    temp_dir dir;

    run_result run(const std::vector<std::string> &args, const std::vector<env_change> &env = kNoColour) {
        return run_program(HEXVIEW_TOOL_PATH, args, env, dir.path());
    }
};

TEST_F(tool, dump_shows_offset_hex_with_gap_and_text) {
    std::string f = dir.write("a.bin", std::string("ABCDEFGHIJKLMNOPqr\x01"));
    run_result r = run({"dump", f});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"
              "00000010  71 72 01                                          |qr.|\n");
}

TEST_F(tool, dump_offsets_rows_and_modes) {
    std::string f = dir.write("a.bin", iota_bytes(64, 0x30));
    EXPECT_EQ(run({"dump", f, "--offset", "0x10", "--rows", "1", "--raw"}).out, "00000010  404142434445464748494a4b4c4d4e4f\n");
    EXPECT_EQ(run({"dump", f, "--offset", "60", "--text"}).out, "0000003c  lmno\n");
    std::string json = run({"dump", f, "--rows", "1", "--json"}).out;
    EXPECT_EQ(json.rfind("[{\"off\":\"0x0000000000000000\",\"hex\":\"30 31", 0), 0u) << json;
}

// The hex and text columns agree with xxd for every byte value.
TEST_F(tool, dump_matches_xxd) {
#ifdef _WIN32
    GTEST_SKIP() << "xxd is a program of the build machine";
#endif
    bytes data = iota_bytes(256);
    for (int i = 0; i < 100; i++) data.push_back(static_cast<uint8_t>(i * 37));
    std::string f = dir.write("all.bin", data);
    run_result ours = run({"dump", f});
    ASSERT_EQ(ours.status, 0);
    run_result xxd = run_program("xxd", {"-g1", "-c16", f}, {}, dir.path());
    ASSERT_EQ(xxd.status, 0) << xxd.err;
    const std::string &theirs = xxd.out;
    // Both become "offset|hex bytes|text" lines.
    auto normalise = [](const std::string &text, const std::regex &row) {
        std::string flat;
        std::istringstream in(text);
        std::string line;
        std::smatch m;
        while (std::getline(in, line)) {
            if (!std::regex_match(line, m, row)) return std::string("unparsed: ") + line;
            std::string hex = std::regex_replace(m[2].str(), std::regex("\\s+"), "");
            flat += m[1].str() + "|" + hex + "|" + m[3].str() + "\n";
        }
        return flat;
    };
    std::string a = normalise(ours.out, std::regex("([0-9a-f]{8})  (.{49}) \\|(.*)\\|"));
    std::string b = normalise(theirs, std::regex("([0-9a-f]{8}): (.{47})  (.*)"));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.find("unparsed"), std::string::npos) << a;
}

TEST_F(tool, search_lists_count_and_hits) {
    std::string f = dir.write("s.bin", std::string("xxabcxxabcxx"));
    run_result r = run({"search", f, "--ascii", "abc"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "2 hits\n0x0000000000000002\n0x0000000000000007\n");
    r = run({"search", f, "--hex", "78 ?? 61", "--start", "3", "--context"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("1 hit\n0x0000000000000005  787861626378786162637878  |xxabcxxabcxx|"), std::string::npos) << r.out;
}

// The text is encoded as UTF-16LE by the command: non-ASCII letters and
// characters beyond U+FFFF (surrogate pairs) are found; Latin-1 bytes are not.
TEST_F(tool, utf16_search_encodes_the_text_itself) {
    std::string cafe16("c\0a\0f\0\xe9\0", 8), smile16("\x3d\xd8\x00\xde", 4);
    std::string f = dir.write("u.bin", "cafe\xe9 " + cafe16 + "..." + smile16);
    struct { const char *text; const char *out; } cases[] = {
        {"caf\xc3\xa9", "1 hit\n0x0000000000000006\n"},
        {"\xf0\x9f\x98\x80", "1 hit\n0x0000000000000011\n"},
        {"caf\xc3\xa9\xf0\x9f\x98\x80", "0 hits\n"},
    };
    for (const auto &c : cases) {
        run_result r = run({"search", f, "--utf16", c.text});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.out) << c.text;
    }
    run_result r = run({"search", f, "--utf16", "caf\xe9"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("not valid UTF-8"), std::string::npos) << r.err;
}

TEST_F(tool, info_entropy_and_json) {
    std::string f = dir.write("i.bin", iota_bytes(16));
    run_result r = run({"info", f, "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\"entropy_avg\":4.0000"), std::string::npos) << r.out;
    r = run({"info", f});
    EXPECT_NE(r.out.find("16 B (16 bytes)"), std::string::npos) << r.out;
    r = run({"entropy", f});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("avg   1.0000"), std::string::npos) << r.out;
}

struct compare_case {
    const char *name;
    std::string a, b;
    int status;
    const char *says;
};

void PrintTo(const compare_case &c, std::ostream *os) { *os << c.name; }

class tool_compare : public tool, public ::testing::WithParamInterface<compare_case> {};

TEST_P(tool_compare, exit_status_like_cmp) {
    const compare_case &c = GetParam();
    run_result r = run({"compare", dir.write("a.bin", c.a), dir.write("b.bin", c.b)});
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    cases, tool_compare,
    ::testing::Values(compare_case{"equal", "abc", "abc", 0, "files are equal"},
                      compare_case{"one_run", "AB", "AC", 1, "0x0000000000000001  - 42\n"},
                      compare_case{"trailing_zeros_only", std::string("ab"), std::string("ab\0\0", 4), 1,
                                    "sizes differ"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(tool, edit_stages_in_order_and_saves_only_when_asked) {
    std::string f = dir.write("e.bin", std::string("0123456789"));
    run_result r = run({"edit", f, "--insert", "aa@0", "--write", "bb@1", "--delete", "0x5:2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("not saved"), std::string::npos);
    EXPECT_EQ(read_file(f), to_bytes("0123456789")) << "no save without --save";
    std::string copy = dir.file("copy.bin");
    r = run({"edit", f, "--insert", "aa@0", "--write", "bb@1", "--delete", "0x5:2", "--save", copy});
    EXPECT_EQ(r.status, 0) << r.err;
    bytes expected = {0xaa, 0xbb};
    for (char c : std::string("1236789")) expected.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(read_file(copy), expected);
    r = run({"edit", f, "--write", "41@0", "--save", "--dry-run"});
    EXPECT_EQ(read_file(f), to_bytes("0123456789"));
    r = run({"edit", f, "--write", "41@0", "--save"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(f), to_bytes("A123456789"));
}

// Edits cost by the edits, not the file: a 64 GiB file takes them at once,
// and the size reported is the exact one, also when a delete runs past the end.
TEST_F(tool, edit_of_a_huge_file_and_the_exact_size_it_saves) {
#ifdef _WIN32
    // Wine maps no view of 64 GiB; 16 GiB is still past any 32-bit count.
    constexpr std::uintmax_t kHugeSize = std::uintmax_t{16} << 30;
#else
    constexpr std::uintmax_t kHugeSize = std::uintmax_t{64} << 30;
#endif
    std::string huge = dir.file("huge.bin");
    std::ofstream(huge).close();
    std::filesystem::resize_file(huge, kHugeSize);
    run_result r = run({"edit", huge, "--write", "ff@" + std::to_string(kHugeSize / 2), "--insert", "0102@0",
                        "--delete", "0x10:4"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("size would be " + std::to_string(kHugeSize - 2) + " bytes"), std::string::npos) << r.out;

    std::string f = dir.write("s.bin", std::string("01234567"));
    std::string copy = native_path(dir.file("copy.bin"));
    r = run({"edit", f, "--delete", "5:20", "--save", copy});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("saved 5 bytes to " + copy), std::string::npos) << r.out;
    EXPECT_EQ(read_file(copy), to_bytes("01234"));
}

struct failure_case {
    const char *name;
    std::vector<std::string> args;  // "FILE" stands for an existing file
    const char *message;
};

void PrintTo(const failure_case &c, std::ostream *os) { *os << c.name; }

class tool_failure : public tool, public ::testing::WithParamInterface<failure_case> {};

TEST_P(tool_failure, prints_a_message_and_exits_2) {
    std::string f = dir.write("x.bin", std::string("hello"));
    std::vector<std::string> args = GetParam().args;
    for (auto &a : args)
        if (a == "FILE") a = f;
    run_result r = run(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    cases, tool_failure,
    ::testing::Values(
        failure_case{"missing_file", {"dump", "/nonexistent/x"}, "cannot open file: /nonexistent/x"},
        failure_case{"bad_hex", {"search", "FILE", "--hex", "zz"}, "invalid hex pattern: zz"},
        failure_case{"two_patterns", {"search", "FILE", "--hex", "41", "--ascii", "a"}, "hexview"},
        failure_case{"bad_offset", {"dump", "FILE", "--offset", "12abc"}, "invalid offset: 12abc"},
        failure_case{"no_subcommand", {}, "hexview"},
        failure_case{"unknown_option", {"dump", "FILE", "--bogus"}, "--bogus"},
        failure_case{"edit_missing_file_not_created", {"edit", "/tmp/hexview-no-such-file-x", "--save"},
                     "no such file"},
        failure_case{"bad_edit_bytes", {"edit", "FILE", "--write", "4g@0"}, "invalid hex bytes: 4g"},
        failure_case{"bad_range", {"edit", "FILE", "--delete", "5"}, "expected OFFSET:LENGTH"}),
    [](const auto &info) { return std::string(info.param.name); });

// /proc/version reports 0 bytes and holds a line: dump, edit and serve
// refuse it rather than show it empty (and serve or edit, write it). Linux only.
TEST_F(tool, a_file_of_proc_is_refused_not_shown_empty) {
#ifndef __linux__
    GTEST_SKIP() << "/proc is Linux's (Wine shows it to Windows programs as a plain file)";
#endif
    if (!std::filesystem::exists("/proc/version")) GTEST_SKIP() << "no /proc here";
    for (std::vector<std::string> args : {std::vector<std::string>{"dump", "/proc/version"},
                                          {"edit", "/proc/version", "--write", "41@0", "--save"},
                                          {"serve", "/proc/version"}}) {
        run_result r = run(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find("not a regular file with a known size: /proc/version"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << args[0];
    }
}

TEST_F(tool, help_for_every_subcommand) {
    for (const char *sub : {"dump", "search", "info", "entropy", "compare", "edit", "demo"}) {
        run_result r = run({sub, "--help"});
        EXPECT_EQ(r.status, 0) << sub;
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << sub;
    }
}

TEST_F(tool, no_colour_into_a_file_even_without_no_color) {
    std::string f = dir.write("c.bin", std::string("abc"));
    run_result r = run({"search", f, "--ascii", "b"}, {{"NO_COLOR", nullptr}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1 hit\n0x0000000000000001\n");
}

#ifndef _WIN32
struct colour_case {
    const char *name;
    const char *no_color;  // null: unset
    bool coloured;
};

void PrintTo(const colour_case &c, std::ostream *os) { *os << c.name; }

class tool_colour : public tool, public ::testing::WithParamInterface<colour_case> {};

// On a terminal, colour unless NO_COLOR is set to something.
TEST_P(tool_colour, on_a_terminal) {
    std::string f = dir.write("c.bin", std::string("abc"));
    run_result r = run_program_on_terminal(HEXVIEW_TOOL_PATH, {"dump", f}, {{"NO_COLOR", GetParam().no_color}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("61 62 63"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\x1b[") != std::string::npos, GetParam().coloured) << r.out;
}

INSTANTIATE_TEST_SUITE_P(cases, tool_colour,
                         ::testing::Values(colour_case{"no_color_unset", nullptr, true},
                                           colour_case{"no_color_empty", "", true},
                                           colour_case{"no_color_set", "1", false}),
                         [](const auto &info) { return std::string(info.param.name); });
#endif

#ifndef _WIN32
// A sparse file with "ca fe" as its first and last bytes, searched for a run
// of 256 zero bytes: a pattern that can match zeros makes the search read the
// holes too (one that cannot skips them at once). Its scan must last well over
// the half second before the progress line shows: 2 GiB takes one to two
// seconds, here as under ThreadSanitizer (the search reads the file, not its
// mapping, so the sanitizer checks little of it).
class tool_long : public tool {
protected:
    std::uintmax_t size = std::uintmax_t{2} << 30;
    std::string make_big() {
        std::string big = dir.file("big.bin");
        std::ofstream(big).close();
        std::filesystem::resize_file(big, size);
        std::fstream f(big, std::ios::binary | std::ios::in | std::ios::out);
        f.write("\xca\xfe", 2);
        f.seekp(static_cast<std::streamoff>(size - 2));
        f.write("\xca\xfe", 2);
        return big;
    }
    static std::string zeros() {
        std::string hex;
        for (int i = 0; i < 256; i++) hex += "00";
        return hex;
    }
    // The hits of zeros(): from byte 2, one every 256 bytes of the zeros.
    std::string zero_hits() const { return std::to_string((size - 4) / 256); }
};

const char *kProgressMark = "- Ctrl-C stops";

TEST_F(tool_long, search_shows_its_progress_line_on_a_terminal_only) {
    std::string big = make_big();
    const std::vector<std::string> search = {"search", big, "--hex", zeros()};
    run_result on_terminal = run_program_on_terminal(HEXVIEW_TOOL_PATH, search, kNoColour);
    EXPECT_EQ(on_terminal.status, 0) << on_terminal.out;
    EXPECT_NE(on_terminal.out.find("search: "), std::string::npos) << on_terminal.out;
    EXPECT_NE(on_terminal.out.find(kProgressMark), std::string::npos) << on_terminal.out;
    EXPECT_NE(on_terminal.out.find(zero_hits() + " hits"), std::string::npos) << on_terminal.out;

    run_result piped = run(search);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.out.find(kProgressMark), std::string::npos);

    std::vector<std::string> as_json = search;
    as_json.push_back("--json");
    run_result json = run_program_on_terminal(HEXVIEW_TOOL_PATH, as_json, kNoColour);
    EXPECT_EQ(json.status, 0) << json.out;
    EXPECT_EQ(json.out.find(kProgressMark), std::string::npos) << json.out;
    EXPECT_EQ(json.out.rfind("{\"count\":" + zero_hits() + ",", 0), 0u) << json.out;
}

TEST_F(tool_long, ctrl_c_stops_a_search_with_status_130) {
    size = std::uintmax_t{16} << 30;  // Ctrl-C comes half a second in: the rest is never read
    std::string big = make_big();
    run_result r =
        run_program_on_terminal(HEXVIEW_TOOL_PATH, {"search", big, "--hex", zeros()}, kNoColour, kProgressMark);
    EXPECT_EQ(r.status, 130) << r.out;
    EXPECT_NE(r.out.find("hexview: search: cancelled: search stopped before its end"), std::string::npos) << r.out;
}

// A save skips the holes of a sparse file: this one is 2 GiB of written
// bytes, which a save copies for well over the half second before Ctrl-C.
TEST_F(tool_long, ctrl_c_during_a_save_in_place_leaves_the_target_as_it_was) {
    std::string big = make_big();
    {
        std::fstream f(big, std::ios::binary | std::ios::in | std::ios::out);
        const std::string block(8 << 20, '\x5a');
        f.seekp(2);
        for (std::uintmax_t at = 2; at + block.size() <= size - 2; at += block.size()) f.write(block.data(), block.size());
    }
    run_result r = run_program_on_terminal(HEXVIEW_TOOL_PATH, {"edit", big, "--insert", "0102@0", "--save"},
                                           kNoColour, kProgressMark);
    EXPECT_EQ(r.status, 130) << r.out;
    EXPECT_NE(r.out.find("cancelled: save stopped before its end"), std::string::npos) << r.out;
    EXPECT_EQ(std::filesystem::file_size(big), size);
    std::ifstream f(big, std::ios::binary);
    char head[2] = {}, tail[2] = {};
    f.read(head, 2);
    f.seekg(static_cast<std::streamoff>(size - 2));
    f.read(tail, 2);
    EXPECT_EQ(std::string(head, 2), "\xca\xfe");
    EXPECT_EQ(std::string(tail, 2), "\xca\xfe");
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"big.bin"}) << "no temporary file is left";
}
#endif

// A journal beside the file that is not its own is left alone: every command
// tells so on stderr and keeps its output clean, and a save in place stops.
TEST_F(tool, a_journal_left_alone_is_told_on_stderr) {
    std::string f = dir.write("j.bin", std::string("hello"));
    dir.write("j.bin.hexview-journal", std::string("garbage"));
    // The journal is named as the library resolved the file's path.
    const std::string notice = "j.bin.hexview-journal is not valid for this file (truncated)\n";
    run_result r = run({"dump", f});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("hexview: journal left alone: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(notice), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("journal"), std::string::npos) << r.out;
    r = run({"edit", f, "--write", "41@0", "--save"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find(notice), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("a journal of an earlier save is in the way: "), std::string::npos) << r.err;
    EXPECT_EQ(read_file(f), to_bytes("hello"));
}

#ifndef _WIN32
// Under a file-size limit a save's write fails with its message, rather than
// the process dying of SIGXFSZ; the file stays as it was.
TEST_F(tool, a_save_over_the_file_size_limit_fails_with_a_message) {
    bytes content = iota_bytes(1 << 20);
    std::string f = dir.write("big.bin", content);
    run_result r = run_program("/bin/sh", {"-c", "ulimit -f 64 && exec \"$0\" \"$@\"", HEXVIEW_TOOL_PATH, "edit", f,
                                           "--insert", "00@0", "--save"},
                               kNoColour, dir.path());
    EXPECT_EQ(r.status, 2) << "not killed by the signal: " << r.err;
    EXPECT_NE(r.err.find("WriteFile failed: "), std::string::npos) << r.err;
    EXPECT_EQ(read_file(f), content);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator{}),
              3) << "the file and the command's two output files, nothing left by the save";
}
#endif

// Paths come back as given: with backslashes, a drive and spaces on Windows.
TEST_F(tool, paths_shown_as_given) {
    std::string a = native_path(dir.write("a file.bin", std::string("abc")));
    std::string b = native_path(dir.write("b file.bin", std::string("abcd")));
    run_result r = run({"info", a});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("file      " + a + "\n"), std::string::npos) << r.out;
    r = run({"compare", a, b});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("sizes differ: " + a + " is 3 bytes, " + b + " is 4 bytes"), std::string::npos) << r.out;
    std::string copy = native_path(dir.file("c copy.bin"));
    r = run({"edit", a, "--insert", "7a@0", "--save", copy});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("saved 4 bytes to " + copy), std::string::npos) << r.out;
    EXPECT_EQ(read_file(copy), to_bytes("zabc"));
}

// What a --help text or a section of the manual page names.
struct documented {
    std::set<std::string> options;   // --name, without -h,--help
    std::set<std::string> operands;  // FILE, OTHER, ...
};

std::set<std::string> all_matches(const std::string &text, const std::regex &re) {
    std::set<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        found.insert((*it)[1].str());
    return found;
}

// The lines of `text` from the one after `heading` to the next line that is
// not indented.
std::string indented_block(const std::string &text, const std::string &heading) {
    std::size_t at = text.find("\n" + heading + "\n");
    if (at == std::string::npos) return "";
    std::string block;
    std::istringstream in(text.substr(at + heading.size() + 2));
    for (std::string line; std::getline(in, line) && line.rfind("  ", 0) == 0;) block += line + "\n";
    return block;
}

documented from_help(const std::string &help) {
    documented d;
    std::set<std::string> options = all_matches(help, std::regex("\n\\s+(?:-h,)?(--[a-z0-9-]+)"));
    options.erase("--help");
    d.options = options;
    d.operands = all_matches(indented_block(help, "Positionals:"), std::regex("^  ([A-Z]+) ", std::regex::multiline));
    return d;
}

// Sections ".SS "hexview NAME ..."" of the manual page, by subcommand: the
// options of their ".TP" items and the operands of their heading.
std::map<std::string, documented> from_manual(const std::string &page) {
    std::map<std::string, documented> sections;
    std::istringstream in(page);
    documented *current = nullptr;
    bool item = false;
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        std::string plain = std::regex_replace(line, std::regex("\\\\-"), "-");
        if (std::regex_search(line, m, std::regex("^\\.SS \"hexview ([a-z]+)"))) {
            current = &sections[m[1].str()];
            current->operands = all_matches(line, std::regex("\\\\fI([A-Z]+)\\\\fR"));
        } else if (line.rfind(".SH", 0) == 0) {
            current = nullptr;
        } else if (current && item && std::regex_search(plain, m, std::regex("(--[a-z0-9-]+)"))) {
            current->options.insert(m[1].str());
        }
        item = line == ".TP";
    }
    return sections;
}

std::string read_text(const char *path) {
    bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

// Subcommands the manual page describes that a build may leave out.
const std::set<std::string> kOptionalSubcommands = {"serve"};

// The manual page describes every subcommand with exactly the options its
// --help lists, and the operands.
TEST_F(tool, manual_page_in_step_with_help) {
    std::map<std::string, documented> manual = from_manual(read_text(HEXVIEW_MAN_PAGE));
    run_result top = run({"--help"});
    ASSERT_EQ(top.status, 0);
    std::set<std::string> subcommands =
        all_matches(indented_block(top.out, "Subcommands:"), std::regex("^  ([a-z]+) ", std::regex::multiline));
    ASSERT_FALSE(subcommands.empty()) << top.out;
    for (const auto &[name, section] : manual)
        EXPECT_TRUE(subcommands.count(name) || kOptionalSubcommands.count(name))
            << "the manual page describes " << name << ", which --help does not list";
    for (const std::string &name : subcommands) {
        if (!manual.count(name)) {
            ADD_FAILURE() << "the manual page has no section for " << name;
            continue;
        }
        run_result r = run({name, "--help"});
        ASSERT_EQ(r.status, 0) << name;
        documented help = from_help(r.out);
        EXPECT_EQ(manual[name].options, help.options) << name;
        for (const std::string &operand : help.operands)
            EXPECT_TRUE(manual[name].operands.count(operand)) << name << " " << operand;
    }
}

TEST_F(tool, demo_runs) {
    run_result r = run({"demo"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("differing run"), std::string::npos) << r.out;
}

// Without a temporary folder it can use, the demo ends at once with the
// system's reason, instead of drawing new folder names forever.
struct demo_temp_case {
    const char *name;
    const char *temp;  // "FILE": a file where the folder should be
    const char *says;
};

void PrintTo(const demo_temp_case &c, std::ostream *os) { *os << c.name; }

class tool_demo_temp : public tool, public ::testing::WithParamInterface<demo_temp_case> {};

TEST_P(tool_demo_temp, fails_with_the_reason) {
    std::string temp = GetParam().temp;
    if (temp == "FILE") temp = dir.write("not-a-folder", "x");
    run_result r = run({"demo"}, {{"NO_COLOR", "1"}, {"TMPDIR", temp.c_str()}, {"TMP", temp.c_str()},
                                  {"TEMP", temp.c_str()}});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(r.err.rfind(std::string("hexview: ") + GetParam().says, 0), 0u) << r.err;
    EXPECT_GT(r.err.size(), std::string("hexview: ").size() + std::strlen(GetParam().says) + 2) << "with a reason";
}

const demo_temp_case kDemoTempCases[] = {
    {"a_file", "FILE", "no temporary folder for the demo: "},
#ifndef _WIN32
    {"takes_no_folders", "/proc", "cannot make a folder in /proc: "},
#endif
};

INSTANTIATE_TEST_SUITE_P(cases, tool_demo_temp, ::testing::ValuesIn(kDemoTempCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
