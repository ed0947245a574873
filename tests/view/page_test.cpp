#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/state.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

namespace {

class pages : public hexview_test {
protected:
    void open_bytes(const bytes &data) { ASSERT_EQ(hx_open_rw(dir.write("f.bin", data).c_str()), 0); }
    std::vector<std::string> page_rows(int64_t off, int32_t rows, const char *mode = nullptr) {
        return split_rows(hx_page(off, rows, mode));
    }
    std::vector<std::string> text_rows(int64_t off, int32_t rows) { return split_rows(hx_ascii_only(off, rows)); }
};

TEST_F(pages, hex_row_layout) {
    open_bytes(iota_bytes(16));
    EXPECT_STREQ(hx_page(0, 1, nullptr),
                 "[{\"off\":\"0x0000000000000000\","
                 "\"hex\":\"00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f\","
                 "\"ascii\":\"................\"}]");
    EXPECT_STREQ(hx_page(0, 1, "raw"),
                 "[{\"off\":\"0x0000000000000000\",\"bytes_hex\":\"000102030405060708090a0b0c0d0e0f\"}]");
    EXPECT_STREQ(hx_ascii_only(0, 1), "[{\"off\":\"0x0000000000000000\",\"text\":\"\"}]");
}

struct row_count_case {
    int32_t asked;
    std::size_t rendered;
};

void PrintTo(const row_count_case &c, std::ostream *os) { *os << c.asked; }

class page_row_count : public pages, public ::testing::WithParamInterface<row_count_case> {};

TEST_P(page_row_count, is_clamped) {
    open_bytes(iota_bytes(25));
    EXPECT_EQ(page_rows(0, GetParam().asked).size(), GetParam().rendered);
    EXPECT_EQ(page_rows(0, GetParam().asked, "raw").size(), GetParam().rendered);
    EXPECT_EQ(text_rows(0, GetParam().asked).size(), GetParam().rendered);
}

INSTANTIATE_TEST_SUITE_P(counts, page_row_count,
                         ::testing::Values(row_count_case{0, 64}, row_count_case{-7, 64}, row_count_case{1, 1},
                                           row_count_case{1000, 1000}, row_count_case{1001, 1000},
                                           row_count_case{INT32_MAX, 1000}, row_count_case{INT32_MIN, 64}));

TEST_F(pages, offsets_are_not_rounded_and_negative_means_zero) {
    open_bytes(iota_bytes(64));
    auto rows = page_rows(3, 3);
    EXPECT_EQ(json_field(rows[0], "off"), "0x0000000000000003");
    EXPECT_EQ(json_field(rows[1], "off"), "0x0000000000000013");
    EXPECT_EQ(json_field(rows[2], "off"), "0x0000000000000023");
    EXPECT_EQ(json_field(rows[0], "hex").substr(0, 2), "03");
    EXPECT_EQ(std::string(hx_page(-5, 2, nullptr)), std::string(hx_page(0, 2, nullptr)));
}

TEST_F(pages, partial_last_row_pads_with_zeros_and_dots) {
    bytes data = to_bytes("ABCDEFGHIJKLMNOP");
    bytes tail = {'a', 0x01, 'b', 0xff, 'c', 0x7f, 'd', 'e', 'f'};
    data.insert(data.end(), tail.begin(), tail.end());
    open_bytes(data);
    auto rows = page_rows(0, 2);
    EXPECT_EQ(json_field(rows[1], "hex"), "61 01 62 ff 63 7f 64 65  66 00 00 00 00 00 00 00");
    EXPECT_EQ(json_field(rows[1], "ascii"), "a.b.c.def.......");
    EXPECT_EQ(json_field(text_rows(0, 2)[1], "text"), "abcdef");
    EXPECT_EQ(json_field(page_rows(0, 2, "raw")[1], "bytes_hex"), "610162ff637f64656600000000000000");
}

TEST_F(pages, past_the_end_rows_are_rendered_in_full) {
    open_bytes(iota_bytes(10, 0x41));
    auto rows = page_rows(100, 2);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(json_field(rows[0], "hex"), "00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00");
    EXPECT_EQ(json_field(rows[1], "ascii"), "................");
    EXPECT_EQ(json_field(text_rows(100, 1)[0], "text"), "");
}

TEST_F(pages, empty_file_renders_past_the_end_rows) {
    ASSERT_EQ(hx_open(dir.write("e.bin", bytes{}).c_str()), 0);
    auto rows = page_rows(0, 3);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(json_field(rows[2], "ascii"), "................");
    EXPECT_EQ(text_rows(0, 2).size(), 2u);
}

TEST_F(pages, quote_and_backslash_are_escaped) {
    open_bytes(to_bytes("a\"b\\c"));
    EXPECT_EQ(json_field(page_rows(0, 1)[0], "ascii"), "a\\\"b\\\\c...........");
    EXPECT_EQ(json_field(text_rows(0, 1)[0], "text"), "a\\\"b\\\\c");
}

TEST_F(pages, every_quote_row_stays_whole) {
    open_bytes(bytes(16, '"'));
    std::string row = page_rows(0, 1)[0];
    std::string escaped;
    for (int i = 0; i < 16; i++) escaped += "\\\"";
    EXPECT_EQ(json_field(row, "ascii"), escaped);
    EXPECT_EQ(row.size(), 128u) << "the longest hex-and-text row";
}

struct mode_case {
    const char *mode;
    bool raw;
};

void PrintTo(const mode_case &c, std::ostream *os) { *os << (c.mode ? c.mode : "null"); }

class page_mode : public pages, public ::testing::WithParamInterface<mode_case> {};

TEST_P(page_mode, only_exact_raw_selects_raw_rows) {
    open_bytes(iota_bytes(16));
    std::string row = page_rows(0, 1, GetParam().mode)[0];
    EXPECT_EQ(row.find("bytes_hex") != std::string::npos, GetParam().raw);
    EXPECT_EQ(row.find("\"ascii\"") != std::string::npos, !GetParam().raw);
}

INSTANTIATE_TEST_SUITE_P(modes, page_mode,
                         ::testing::Values(mode_case{"raw", true}, mode_case{"RAW", false}, mode_case{"hex", false},
                                           mode_case{nullptr, false}, mode_case{"raw ", false},
                                           mode_case{"", false}));

TEST_F(pages, row_positions_near_the_largest_offset_do_not_overflow) {
    open_bytes(iota_bytes(16));
    auto rows = page_rows(INT64_MAX, 3);
    EXPECT_EQ(json_field(rows[0], "off"), "0x7fffffffffffffff");
    EXPECT_EQ(json_field(rows[1], "off"), "0x800000000000000f");
    EXPECT_EQ(json_field(rows[2], "off"), "0x800000000000001f");
    EXPECT_EQ(json_field(rows[2], "hex"), "00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00");
    auto far = page_rows(INT64_MAX - 15, 1000);
    EXPECT_EQ(far.size(), 1000u);
    EXPECT_EQ(json_field(far[999], "off"), "0x8000000000003e60");
}

TEST_F(pages, no_file_open) {
    EXPECT_STREQ(hx_page(0, 1, nullptr), "");
    EXPECT_STREQ(hx_last_error(), "no file open");
    hx_close();
    EXPECT_STREQ(hx_ascii_only(0, 1), "");
    EXPECT_STREQ(hx_last_error(), "no file open");
}

TEST_F(pages, buffers_are_per_function_and_stable) {
    open_bytes(iota_bytes(64, 0x41));
    const char *first = hx_page(0, 1, nullptr);
    std::string first_text = first;
    const char *text = hx_ascii_only(0, 1);
    EXPECT_NE(text, first);
    EXPECT_EQ(std::string(first), first_text) << "hx_ascii_only leaves the page text alone";
    const char *second = hx_page(16, 1, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_NE(std::string(second), first_text);
}

TEST_F(pages, pages_show_the_staged_edits) {
    open_bytes(iota_bytes(16, 0x41));
    // An insert of "xy" at 0, as staging records it.
    S.edits = static_cast<hv_edit *>(std::calloc(64, sizeof(hv_edit)));
    S.cap_edits = 64;
    S.edits[0] = hv_edit{HV_EDIT_INSERT, 0, static_cast<uint8_t *>(std::malloc(2)), 2};
    std::memcpy(S.edits[0].bytes, "xy", 2);
    S.n_edits = 1;
    S.logical_stale = 1;
    auto rows = page_rows(0, 2);
    EXPECT_EQ(json_field(rows[0], "ascii"), "xyABCDEFGHIJKLMN");
    EXPECT_EQ(json_field(rows[1], "ascii"), "OP..............");
    EXPECT_EQ(hx_file_size(), 18);
    EXPECT_EQ(json_field(text_rows(0, 2)[1], "text"), "OP");
}

TEST_F(pages, failed_rebuild_gives_the_empty_page_and_its_message) {
    open_bytes(iota_bytes(16, 0x41));
    S.edits = static_cast<hv_edit *>(std::calloc(64, sizeof(hv_edit)));
    S.cap_edits = 64;
    S.edits[0] = hv_edit{HV_EDIT_DELETE, 0, nullptr, 1};
    S.n_edits = 1;
    S.logical_stale = 1;
    {
        scoped_alloc_failure no_memory(0);
        EXPECT_STREQ(hx_page(0, 1, nullptr), "");
        EXPECT_STREQ(hx_last_error(), "out of memory materializing logical file");
        EXPECT_STREQ(hx_ascii_only(0, 1), "");
    }
    EXPECT_EQ(json_field(page_rows(0, 1)[0], "ascii"), "BCDEFGHIJKLMNOP.") << "the next page tries again";
}

TEST_F(pages, a_released_view_without_a_cache_shows_no_file_bytes) {
    open_bytes(iota_bytes(32, 0x41));
    hv_os->unmap(S.view, S.file_size);
    S.view = nullptr;
    auto rows = page_rows(0, 2);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(json_field(rows[0], "ascii"), "................");
    EXPECT_EQ(json_field(text_rows(0, 1)[0], "text"), "");
}

}  // namespace
