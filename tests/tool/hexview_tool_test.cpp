// Runs the hexview command on small files and checks its output and exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    q += '\'';
    return q;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

class tool : public ::testing::Test {
protected:
    temp_dir dir;

    run_result run(const std::vector<std::string> &args, const std::string &env = "NO_COLOR=1") {
        std::string cmd = env;
        cmd += ' ';
        cmd += quote(HEXVIEW_TOOL_PATH);
        for (const std::string &a : args) {
            cmd += ' ';
            cmd += quote(a);
        }
        std::string out_path = dir.file("stdout.txt"), err_path = dir.file("stderr.txt");
        cmd += " >";
        cmd += quote(out_path);
        cmd += " 2>";
        cmd += quote(err_path);
        cmd += " </dev/null";
        int raw = std::system(cmd.c_str());
        run_result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = slurp(out_path);
        r.err = slurp(err_path);
        return r;
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
    bytes data = iota_bytes(256);
    for (int i = 0; i < 100; i++) data.push_back(static_cast<uint8_t>(i * 37));
    std::string f = dir.write("all.bin", data);
    run_result ours = run({"dump", f});
    ASSERT_EQ(ours.status, 0);
    FILE *p = popen(("xxd -g1 -c16 " + quote(f)).c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string theirs;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p)) theirs.append(buf, n);
    pclose(p);
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

TEST_F(tool, help_for_every_subcommand) {
    for (const char *sub : {"dump", "search", "info", "entropy", "compare", "edit", "demo"}) {
        run_result r = run({sub, "--help"});
        EXPECT_EQ(r.status, 0) << sub;
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << sub;
    }
}

TEST_F(tool, colour_only_on_a_terminal_without_no_color) {
    std::string f = dir.write("c.bin", std::string("abc"));
    EXPECT_EQ(run({"dump", f}, "").out.find("\x1b["), std::string::npos) << "not a terminal";
}

TEST_F(tool, demo_runs) {
    run_result r = run({"demo"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("differing run"), std::string::npos) << r.out;
}

}  // namespace
