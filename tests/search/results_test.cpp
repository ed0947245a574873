// The hit queries through the C ABI: count, walk, last hit and the fields.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/state.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

namespace {

class results : public hexview_test {
protected:
    void open_bytes(const bytes &data, const char *name = "f.bin") {
        ASSERT_EQ(hx_open_rw(dir.write(name, data).c_str()), 0);
    }
    // A search whose only hit is at `hit`: `len` wildcards from that start.
    static void hit_at(int64_t hit, int len) {
        std::string pattern;
        for (int i = 0; i < len; i++) pattern += "??";
        ASSERT_EQ(hx_search("hex", pattern.c_str(), hit), 0);
        ASSERT_GE(hx_search_count(), 1);
    }
};

std::string hex_of(const bytes &data, std::size_t from, std::size_t to) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = from; i < to; i++) {
        s += digits[data[i] >> 4];
        s += digits[data[i] & 0xf];
    }
    return s;
}

TEST_F(results, no_hits) {
    open_bytes(to_bytes("abc"));
    ASSERT_EQ(hx_search("ascii", "zz", 0), 0);
    EXPECT_EQ(hx_search_count(), 0);
    EXPECT_EQ(hx_search_next(), -1);
    EXPECT_EQ(hx_search_last(), -1);
    EXPECT_STREQ(hx_search_field(0, "offset"), "");
    EXPECT_STREQ(hx_last_error(), "search index out of range");
}

TEST_F(results, walk_the_hits_and_start_again_after_a_new_search) {
    bytes data(40, '.');
    data[10] = data[20] = data[30] = 'X';
    open_bytes(data);
    ASSERT_EQ(hx_search("ascii", "X", 0), 0);
    EXPECT_EQ(hx_search_last(), 30);
    EXPECT_EQ(hx_search_next(), 10);
    EXPECT_EQ(hx_search_next(), 20);
    EXPECT_EQ(hx_search_last(), 30) << "the walk does not move the last hit";
    EXPECT_EQ(hx_search_next(), 30);
    hx_close();  // empties the error text
    open_bytes(data);
    EXPECT_EQ(hx_search_next(), -1);
    EXPECT_EQ(hx_search_next(), -1);
    EXPECT_STREQ(hx_last_error(), "") << "used-up hits set no message";
    EXPECT_EQ(hx_search_last(), 30);
    ASSERT_EQ(hx_search("ascii", "X", 0), 0);
    EXPECT_EQ(hx_search_next(), 10);
}

TEST_F(results, without_a_file_open) {
    open_bytes(to_bytes("abc"));
    ASSERT_EQ(hx_search("ascii", "b", 0), 0);
    hx_close();
    EXPECT_EQ(hx_search_count(), -1);
    EXPECT_STREQ(hx_last_error(), "no file open");
    hx_close();
    EXPECT_EQ(hx_search_next(), -1);
    EXPECT_STREQ(hx_last_error(), "no file open");
    EXPECT_STREQ(hx_search_field(0, "offset"), "");
    EXPECT_STREQ(hx_last_error(), "no file open");
    EXPECT_EQ(hx_open(nullptr), -1);
    EXPECT_EQ(hx_search_last(), -1);
    EXPECT_STREQ(hx_last_error(), "NULL path") << "hx_search_last sets no message";
    open_bytes(to_bytes("abc"));
    EXPECT_EQ(hx_search_next(), 1) << "the failed calls left the cursor alone";
}

struct index_case {
    int32_t index;
    bool ok;
};

void PrintTo(const index_case &c, std::ostream *os) { *os << c.index; }

class results_index : public results, public ::testing::WithParamInterface<index_case> {};

TEST_P(results_index, must_name_a_stored_hit) {
    open_bytes(to_bytes("xaxaxa"));
    ASSERT_EQ(hx_search("ascii", "a", 0), 0);
    EXPECT_EQ(std::string(hx_search_field(GetParam().index, "offset")).empty(), !GetParam().ok);
    EXPECT_STREQ(hx_last_error(), GetParam().ok ? "" : "search index out of range");
}

INSTANTIATE_TEST_SUITE_P(indexes, results_index,
                         ::testing::Values(index_case{0, true}, index_case{2, true}, index_case{3, false},
                                           index_case{-1, false}, index_case{INT32_MIN, false},
                                           index_case{INT32_MAX, false}));

struct field_name_case {
    const char *field;
    const char *message;  // "" when the field gives text
    bool text;
};

void PrintTo(const field_name_case &c, std::ostream *os) { *os << (c.field ? c.field : "null"); }

class results_field_name : public results, public ::testing::WithParamInterface<field_name_case> {};

TEST_P(results_field_name, is_matched_exactly) {
    open_bytes(to_bytes("xaxaxa"));
    ASSERT_EQ(hx_search("ascii", "a", 0), 0);
    EXPECT_EQ(hx_open(nullptr), -1);  // an earlier message that a NULL field keeps
    const char *text = hx_search_field(0, GetParam().field);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text).empty(), !GetParam().text);
    EXPECT_STREQ(hx_last_error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    fields, results_field_name,
    ::testing::Values(field_name_case{"offset", "NULL path", true}, field_name_case{"context_hex", "NULL path", true},
                      field_name_case{"context_ascii", "NULL path", true}, field_name_case{nullptr, "NULL path", false},
                      field_name_case{"Offset", "unknown field: Offset (offset|context_hex|context_ascii)", false},
                      field_name_case{"offset ", "unknown field: offset  (offset|context_hex|context_ascii)", false},
                      field_name_case{"", "unknown field:  (offset|context_hex|context_ascii)", false}));

TEST_F(results, offset_is_18_characters) {
    open_bytes(bytes(300, 0));
    hit_at(255, 1);
    EXPECT_STREQ(hx_search_field(0, "offset"), "0x00000000000000ff");
    hit_at(0, 1);
    EXPECT_STREQ(hx_search_field(0, "offset"), "0x0000000000000000");
}

// The context window: 16 bytes before the hit, the hit and 16 after, clipped.
struct window_case {
    const char *name;
    int64_t size;
    int64_t hit;
    int len;
    std::size_t from;
    std::size_t to;
};

void PrintTo(const window_case &c, std::ostream *os) { *os << c.name; }

class results_window : public results, public ::testing::WithParamInterface<window_case> {};

TEST_P(results_window, is_clipped_to_the_file) {
    const window_case &c = GetParam();
    bytes data = iota_bytes(static_cast<std::size_t>(c.size), 0x30);
    open_bytes(data);
    hit_at(c.hit, c.len);
    EXPECT_EQ(hx_search_field(0, "context_hex"), hex_of(data, c.from, c.to));
    std::string text(data.begin() + static_cast<std::ptrdiff_t>(c.from), data.begin() + static_cast<std::ptrdiff_t>(c.to));
    for (char &ch : text)
        if (static_cast<uint8_t>(ch) < 0x20 || static_cast<uint8_t>(ch) > 0x7e) ch = '.';
    std::string escaped;
    for (char ch : text) escaped += (ch == '"' || ch == '\\') ? std::string("\\") + ch : std::string(1, ch);
    EXPECT_EQ(hx_search_field(0, "context_ascii"), escaped);
}

INSTANTIATE_TEST_SUITE_P(
    cases, results_window,
    ::testing::Values(window_case{"near_the_start", 100, 5, 4, 0, 25}, window_case{"at_the_start", 100, 0, 1, 0, 17},
                      window_case{"inside", 100, 40, 4, 24, 60}, window_case{"hit_at_16", 100, 16, 2, 0, 34},
                      window_case{"near_the_end", 110, 100, 4, 84, 110},
                      window_case{"at_the_end", 110, 109, 1, 93, 110}),
    [](const ::testing::TestParamInfo<window_case> &info) { return std::string(info.param.name); });

TEST_F(results, contexts_of_a_4096_byte_pattern_stop_at_504_characters) {
    bytes data = iota_bytes(5000, 0x20);
    open_bytes(data);
    hit_at(100, 4096);
    std::string hex = hx_search_field(0, "context_hex");
    EXPECT_EQ(hex.size(), 504u);
    EXPECT_EQ(hex, hex_of(data, 84, 84 + 252)) << "16 bytes before the hit and its first 236";
    std::string text = hx_search_field(0, "context_ascii");
    std::string want;
    for (std::size_t i = 84; i < 84 + 504; i++) {
        uint8_t b = data[i];
        if (b == '"' || b == '\\') want += '\\';
        want += (b >= 0x20 && b <= 0x7e) ? static_cast<char>(b) : '.';
    }
    EXPECT_EQ(text, want);
}

TEST_F(results, context_ascii_shows_unprintable_bytes_as_dots_and_escapes_quotes) {
    bytes data = {'a', '\t', '\n', 0x7f, 0x80, 0xe9, 0xff, '"', '\\', 0x00, 'z'};
    open_bytes(data);
    hit_at(0, 1);
    EXPECT_EQ(std::string(hx_search_field(0, "context_ascii")), "a......\\\"\\\\.z");
    EXPECT_EQ(std::string(hx_search_field(0, "context_hex")), "61090a7f80e9ff225c007a");
}

// 504 window bytes with quotes in them escape to more than the 511 characters
// the buffer holds: the text is cut before an escape pair, never inside one.
struct escape_cut_case {
    const char *name;
    std::size_t quotes;
    bool quotes_first;
    std::size_t length;
};

void PrintTo(const escape_cut_case &c, std::ostream *os) { *os << c.name; }

class results_escape_cut : public results, public ::testing::WithParamInterface<escape_cut_case> {};

TEST_P(results_escape_cut, keeps_escape_pairs_whole) {
    const escape_cut_case &c = GetParam();
    bytes data(600, 'q');
    const auto window_end = data.begin() + 504;
    std::fill_n(c.quotes_first ? data.begin() : window_end - static_cast<std::ptrdiff_t>(c.quotes), c.quotes, '"');
    const bytes window(data.begin(), window_end);
    open_bytes(data);
    hit_at(16, 472);  // window 0 to 504
    std::string text = hx_search_field(0, "context_ascii");
    EXPECT_EQ(text.size(), c.length);
    std::string want;
    for (uint8_t b : window) want += b == '"' ? "\\\"" : "q";
    EXPECT_EQ(text, want.substr(0, c.length));
}

INSTANTIATE_TEST_SUITE_P(
    cases, results_escape_cut,
    ::testing::Values(escape_cut_case{"seven_quotes_fit", 7, true, 511},
                      escape_cut_case{"eight_quotes_first", 8, true, 511},
                      escape_cut_case{"eight_quotes_last", 8, false, 510},
                      escape_cut_case{"all_quotes", 504, true, 510}),
    [](const ::testing::TestParamInfo<escape_cut_case> &info) { return std::string(info.param.name); });

TEST_F(results, contexts_come_from_the_file_open_now) {
    open_bytes(bytes(1000, 'a'));
    hit_at(900, 4);
    EXPECT_EQ(hx_search_count(), 25);
    hx_close();
    bytes small = iota_bytes(100, 0x40);
    open_bytes(small, "small.bin");
    EXPECT_STREQ(hx_search_field(0, "offset"), "0x0000000000000384");
    EXPECT_STREQ(hx_search_field(0, "context_hex"), "");
    EXPECT_STREQ(hx_search_field(0, "context_ascii"), "");
    EXPECT_STREQ(hx_last_error(), "");
    EXPECT_EQ(hx_search_count(), 25);
    EXPECT_EQ(hx_search_next(), 900);
    EXPECT_EQ(hx_search_last(), 996);
}

TEST_F(results, a_window_partly_past_the_new_file_is_clipped) {
    open_bytes(bytes(1000, 'a'));
    hit_at(90, 4);
    hx_close();
    bytes small = iota_bytes(100, 0x40);
    open_bytes(small, "small.bin");
    EXPECT_EQ(hx_search_field(0, "context_hex"), hex_of(small, 74, 100));
}

TEST_F(results, an_empty_file_open_now_gives_empty_contexts) {
    open_bytes(bytes(100, 'a'));
    hit_at(10, 4);
    hx_close();
    open_bytes(bytes{}, "empty.bin");
    EXPECT_STREQ(hx_search_field(0, "context_hex"), "");
    EXPECT_STREQ(hx_search_field(0, "context_ascii"), "");
    EXPECT_STREQ(hx_search_field(0, "offset"), "0x000000000000000a");
}

TEST_F(results, a_released_view_gives_empty_contexts_without_a_message) {
    open_bytes(to_bytes("...abc..."));
    ASSERT_EQ(hx_search("ascii", "abc", 0), 0);
    hv_os->unmap(S.view, S.file_size);  // as a failed in-place save leaves it
    S.view = nullptr;
    EXPECT_EQ(hx_open(nullptr), -1);
    EXPECT_STREQ(hx_search_field(0, "context_hex"), "");
    EXPECT_STREQ(hx_search_field(0, "context_ascii"), "");
    EXPECT_STREQ(hx_last_error(), "NULL path");
    EXPECT_STREQ(hx_search_field(0, "offset"), "0x0000000000000003");
    EXPECT_EQ(hx_search_count(), 1);
    EXPECT_EQ(hx_search_last(), 3);
    EXPECT_EQ(hx_search_next(), 3);
}

TEST_F(results, field_text_is_per_thread_and_stays_until_the_next_call) {
    open_bytes(to_bytes("xaxa"));
    ASSERT_EQ(hx_search("ascii", "a", 0), 0);
    const char *first = hx_search_field(0, "offset");
    std::string other;
    const char *other_ptr = nullptr;
    std::thread t([&] {
        other_ptr = hx_search_field(1, "offset");
        other = other_ptr;
    });
    t.join();
    EXPECT_STREQ(first, "0x0000000000000001");
    EXPECT_EQ(other, "0x0000000000000003");
    EXPECT_NE(first, other_ptr);
    EXPECT_EQ(hx_search_field(1, "context_hex"), first) << "one buffer per thread";
}

}  // namespace
