// hx_search through the C ABI: modes, start offsets, limits, the order of the
// checks and their messages, and what the hit tables keep.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/state.h"
#include "quillmar_hexview.h"
#include "search/search.h"
#include "support/test_support.h"

namespace {

using offsets = std::vector<int64_t>;

class search : public hexview_test {
protected:
    void open_bytes(const bytes &data, const char *name = "f.bin") {
        ASSERT_EQ(hx_open_rw(dir.write(name, data).c_str()), 0);
    }
    // Every stored hit, walked with hx_search_next.
    static offsets walk() {
        offsets out;
        for (int64_t h = hx_search_next(); h >= 0; h = hx_search_next()) out.push_back(h);
        return out;
    }
};

struct search_case {
    const char *name;
    bytes data;
    const char *mode;
    std::string pattern;
    int64_t start;
    offsets hits;
};

void PrintTo(const search_case &c, std::ostream *os) { *os << c.name; }

class search_finds : public search, public ::testing::WithParamInterface<search_case> {};

TEST_P(search_finds, the_hits_left_to_right_without_overlap) {
    const search_case &c = GetParam();
    open_bytes(c.data);
    ASSERT_EQ(hx_search(c.mode, c.pattern.c_str(), c.start), 0) << hx_last_error();
    EXPECT_EQ(hx_search_count(), static_cast<int32_t>(c.hits.size()));
    EXPECT_EQ(walk(), c.hits);
    EXPECT_EQ(hx_search_last(), c.hits.empty() ? -1 : c.hits.back());
}

INSTANTIATE_TEST_SUITE_P(
    cases, search_finds,
    ::testing::Values(
        search_case{"no_overlap", to_bytes("aaaa"), "ascii", "aa", 0, {0, 2}},
        search_case{"no_overlap_aba", to_bytes("ababa"), "ascii", "aba", 0, {0}},
        search_case{"one_wildcard_hits_every_byte", bytes(5, 0x7e), "hex", "??", 0, {0, 1, 2, 3, 4}},
        search_case{"two_wildcards_stop_before_the_end", bytes(5, 0x7e), "hex", "?? ??", 0, {0, 2}},
        search_case{"leading_wildcard", {0x00, 0x41, 0x00, 0x41}, "hex", "?? 41", 0, {0, 2}},
        search_case{"inner_wildcard", to_bytes("abcadcaec"), "hex", "61??63", 0, {0, 3, 6}},
        search_case{"hex_separators", {0x00, 0xde, 0xad, 0xbe, 0xef}, "hex", "de:ad,BE EF", 0, {1}},
        search_case{"negative_start_means_zero", to_bytes("xaxa"), "ascii", "a", -7, {1, 3}},
        search_case{"most_negative_start", to_bytes("xaxa"), "ascii", "a", INT64_MIN, {1, 3}},
        search_case{"start_inside", to_bytes("abcabcabc"), "ascii", "abc", 1, {3, 6}},
        search_case{"start_at_the_last_candidate", to_bytes("....ab"), "ascii", "ab", 4, {4}},
        search_case{"start_one_past_the_last_candidate", to_bytes("....ab"), "ascii", "ab", 5, {}},
        search_case{"start_at_the_end", to_bytes("....ab"), "ascii", "b", 6, {}},
        search_case{"start_far_past_the_end", to_bytes("....ab"), "ascii", "ab", INT64_MAX, {}},
        search_case{"pattern_longer_than_the_file", to_bytes("ab"), "ascii", "abc", 0, {}},
        search_case{"ascii_is_case_sensitive", to_bytes("ABC abc"), "ascii", "abc", 0, {4}},
        search_case{"ascii_takes_bytes_as_they_are", to_bytes("a\\x41 a?b"), "ascii", "\\x41", 1, {1}},
        search_case{"utf16_code_units", {0x41, 0x42, 0x41, 0x00, 0x42, 0x00}, "utf16", "AB", 0, {2}},
        search_case{"utf16_needs_the_zero_bytes", to_bytes("ABAB"), "utf16", "AB", 0, {}},
        search_case{"utf16_high_byte_is_latin1", {0xe9, 0x00, 0xc3, 0x00, 0xa9, 0x00}, "utf16", "\xc3\xa9", 0, {2}},
        search_case{"empty_file", {}, "hex", "??", 0, {}}),
    [](const ::testing::TestParamInfo<search_case> &info) { return std::string(info.param.name); });

// A failing search: what it says and whether the previous hits survive.
struct failure_case {
    const char *name;
    bool file_open;
    const char *mode;
    const char *pattern;
    const char *message;
    bool keeps_hits;
};

void PrintTo(const failure_case &c, std::ostream *os) { *os << c.name; }

class search_fails : public search, public ::testing::WithParamInterface<failure_case> {};

const std::string kHex4097 = [] {
    std::string s;
    for (int i = 0; i < 4097; i++) s += "61";
    return s;
}();
const std::string kText4097(4097, 'a');
const std::string kText2049(2049, 'a');

TEST_P(search_fails, with_its_message_in_the_order_of_the_checks) {
    const failure_case &c = GetParam();
    open_bytes(to_bytes("abcabc"));
    ASSERT_EQ(hx_search("ascii", "abc", 0), 0);
    ASSERT_EQ(hx_search_next(), 0);  // the cursor moves on to the second hit
    if (!c.file_open) hx_close();
    EXPECT_EQ(hx_search(c.mode, c.pattern, 0), -1);
    EXPECT_STREQ(hx_last_error(), c.message);
    if (!c.file_open) open_bytes(to_bytes("abcabc"), "g.bin");
    EXPECT_EQ(hx_search_count(), c.keeps_hits ? 2 : 0);
    EXPECT_EQ(hx_search_next(), c.keeps_hits ? 3 : -1) << "the cursor is kept or reset with the hits";
    EXPECT_EQ(hx_search_last(), c.keeps_hits ? 3 : -1);
}

INSTANTIATE_TEST_SUITE_P(
    cases, search_fails,
    ::testing::Values(
        failure_case{"no_file_open", false, "ascii", "abc", "no file open", true},
        failure_case{"no_file_open_before_null", false, nullptr, nullptr, "no file open", true},
        failure_case{"null_mode", true, nullptr, "abc", "NULL mode/pattern", true},
        failure_case{"null_pattern", true, "hex", nullptr, "NULL mode/pattern", true},
        failure_case{"null_pattern_before_unknown_mode", true, "text", nullptr, "NULL mode/pattern", true},
        failure_case{"invalid_hex", true, "hex", "zz", "invalid hex pattern: zz", false},
        failure_case{"empty_hex", true, "hex", "", "invalid hex pattern: ", false},
        failure_case{"separators_only_hex", true, "hex", " , ", "invalid hex pattern:  , ", false},
        failure_case{"hex_item_split", true, "hex", "6 1", "invalid hex pattern: 6 1", false},
        failure_case{"hex_too_long", true, "hex", kHex4097.c_str(), "hex pattern too long", false},
        failure_case{"empty_ascii", true, "ascii", "", "empty or too-long ascii pattern", false},
        failure_case{"ascii_too_long", true, "ascii", kText4097.c_str(), "empty or too-long ascii pattern", false},
        failure_case{"empty_utf16", true, "utf16", "", "empty or too-long utf16 pattern", false},
        failure_case{"utf16_too_long", true, "utf16", kText2049.c_str(), "empty or too-long utf16 pattern", false},
        failure_case{"upper_case_mode", true, "HEX", "61", "unknown search mode: HEX (use hex|ascii|utf16)", false},
        failure_case{"unknown_mode", true, "text", "abc", "unknown search mode: text (use hex|ascii|utf16)", false},
        failure_case{"empty_mode", true, "", "abc", "unknown search mode:  (use hex|ascii|utf16)", false}),
    [](const ::testing::TestParamInfo<failure_case> &info) { return std::string(info.param.name); });

struct limit_case {
    const char *name;
    const char *mode;
    std::string pattern;
    int32_t hits;  // on a file of 8192 letters a; -1 when refused
};

void PrintTo(const limit_case &c, std::ostream *os) { *os << c.name; }

class search_limits : public search, public ::testing::WithParamInterface<limit_case> {};

std::string hex_of_a(int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += "61 ";
    return s;
}

TEST_P(search_limits, accept_4096_bytes) {
    const limit_case &c = GetParam();
    open_bytes(bytes(8192, 'a'));
    EXPECT_EQ(hx_search(c.mode, c.pattern.c_str(), 0), c.hits < 0 ? -1 : 0);
    EXPECT_EQ(hx_search_count(), c.hits < 0 ? 0 : c.hits);
}

INSTANTIATE_TEST_SUITE_P(
    cases, search_limits,
    ::testing::Values(limit_case{"hex_4096", "hex", hex_of_a(4096), 2}, limit_case{"hex_4097", "hex", hex_of_a(4097), -1},
                      limit_case{"ascii_4096", "ascii", std::string(4096, 'a'), 2},
                      limit_case{"ascii_4097", "ascii", std::string(4097, 'a'), -1},
                      limit_case{"utf16_2048", "utf16", std::string(2048, 'a'), 0},
                      limit_case{"utf16_2049", "utf16", std::string(2049, 'a'), -1}),
    [](const ::testing::TestParamInfo<limit_case> &info) { return std::string(info.param.name); });

TEST_F(search, a_long_pattern_is_compiled_into_the_tables) {
    open_bytes(bytes(10, 'a'));
    ASSERT_EQ(hx_search("utf16", "ab", 0), 0);
    EXPECT_EQ(s_search_patlen, 4);
    EXPECT_EQ(bytes(s_search_pat, s_search_pat + 4), bytes({'a', 0, 'b', 0}));
    EXPECT_EQ(bytes(s_search_mask, s_search_mask + 4), bytes(4, 0xff));
    ASSERT_EQ(hx_search("hex", "41 ?? 43", 0), 0);
    EXPECT_EQ(s_search_patlen, 3);
    EXPECT_EQ(bytes(s_search_pat, s_search_pat + 3), bytes({0x41, 0, 0x43}));
    EXPECT_EQ(bytes(s_search_mask, s_search_mask + 3), bytes({0xff, 0, 0xff}));
}

TEST_F(search, more_than_10000_hits_are_all_counted_and_the_last_is_remembered) {
    open_bytes(bytes(25001, 0));
    ASSERT_EQ(hx_search("hex", "00 00", 0), 0);
    EXPECT_EQ(hx_search_count(), 12500);
    EXPECT_EQ(s_n_matches, 12500);
    EXPECT_EQ(hx_search_last(), 24998) << "the true last hit, not a stored one";
    offsets stored = walk();
    ASSERT_EQ(stored.size(), 10000u);
    EXPECT_EQ(stored.front(), 0);
    EXPECT_EQ(stored.back(), 19998);
    EXPECT_EQ(hx_search_next(), -1);
    EXPECT_STREQ(hx_search_field(9999, "offset"), "0x0000000000004e1e");
    EXPECT_STREQ(hx_search_field(10000, "offset"), "");
    EXPECT_STREQ(hx_last_error(), "search index out of range");
}

TEST_F(search, one_byte_pattern_over_many_hits) {
    bytes data(30000, 0);
    data[29998] = 1;
    open_bytes(data);
    ASSERT_EQ(hx_search("hex", "00", 5), 0);
    EXPECT_EQ(hx_search_count(), 29994);
    EXPECT_EQ(hx_search_last(), 29999);
}

// A sparse file a little over 2 GiB: "??" hits at every byte, so the count
// needs 64 bits. A pattern of wildcards only needs no byte read, so this stays
// fast although the file is large.
TEST_F(search, a_count_beyond_32_bits_is_reported_as_the_largest_int) {
    const int64_t size = (int64_t{1} << 31) + 5;
    std::string path = dir.file("sparse.bin");
    { std::ofstream touch(path, std::ios::binary); }
    std::filesystem::resize_file(path, static_cast<uintmax_t>(size));
    ASSERT_EQ(hx_open(path.c_str()), 0) << hx_last_error();
    ASSERT_EQ(hx_search("hex", "??", 0), 0);
    EXPECT_EQ(s_n_matches, size);
    EXPECT_EQ(hx_search_count(), INT32_MAX);
    EXPECT_EQ(hx_search_last(), size - 1);
    EXPECT_EQ(walk().size(), 10000u);
    ASSERT_EQ(hx_search("hex", "?? ??", 1), 0);
    EXPECT_EQ(hx_search_count(), 1073741826) << "a count that fits is exact";
    EXPECT_EQ(hx_search_last(), size - 2);
}

TEST_F(search, reads_the_file_as_on_disk_not_the_staged_edits) {
    open_bytes(to_bytes("hello world"));
    ASSERT_EQ(hx_write("4a", 0), 0) << hx_last_error();
    ASSERT_NE(std::string(hx_page(0, 1, "raw")).find("4a656c6c6f"), std::string::npos) << "the page shows the edit";
    ASSERT_EQ(hx_search("ascii", "Jello", 0), 0);
    EXPECT_EQ(hx_search_count(), 0);
    ASSERT_EQ(hx_search("ascii", "hello", 0), 0);
    EXPECT_EQ(hx_search_count(), 1);
    EXPECT_EQ(std::string(hx_search_field(0, "context_ascii")), "hello world");
}

TEST_F(search, a_released_view_is_searched_as_empty) {
    open_bytes(to_bytes("abcabc"));
    hv_os->unmap(S.view, S.file_size);  // as a failed in-place save leaves it
    S.view = nullptr;
    EXPECT_EQ(hx_search("ascii", "abc", 0), 0);
    EXPECT_EQ(hx_search_count(), 0);
    EXPECT_EQ(hx_search("ascii", "", 0), -1) << "an invalid pattern still fails";
    EXPECT_STREQ(hx_last_error(), "empty or too-long ascii pattern");
}

TEST_F(search, hits_outlive_close_and_open) {
    open_bytes(to_bytes("..ab..ab"));
    ASSERT_EQ(hx_search("ascii", "ab", 0), 0);
    hx_close();
    open_bytes(to_bytes("nothing"), "other.bin");
    EXPECT_EQ(hx_search_count(), 2);
    EXPECT_EQ(walk(), offsets({2, 6}));
    EXPECT_EQ(hx_search_last(), 6);
}

TEST_F(search, a_new_search_replaces_the_hits_and_resets_the_cursor) {
    open_bytes(to_bytes("abcabcxyz"));
    ASSERT_EQ(hx_search("ascii", "abc", 0), 0);
    EXPECT_EQ(hx_search_next(), 0);
    ASSERT_EQ(hx_search("ascii", "abc", 0), 0);
    EXPECT_EQ(walk(), offsets({0, 3}));
    ASSERT_EQ(hx_search("hex", "78797a", 0), 0);
    EXPECT_EQ(walk(), offsets({6}));
}

}  // namespace
