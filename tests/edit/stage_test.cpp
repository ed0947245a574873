#include <gtest/gtest.h>

#include <string>

#include "core/error.h"
#include "core/state.h"
#include "edit/stage.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

namespace {

using staging = hexview_test;

enum class opened { none, read_only, read_write };

struct refusal_case {
    const char *name;
    opened file;
    int (*call)();
    const char *message;
};

void PrintTo(const refusal_case &c, std::ostream *os) { *os << c.name; }

class stage_refusal : public hexview_test, public ::testing::WithParamInterface<refusal_case> {};

// Every refusal sets its message and leaves the list exactly as it was.
TEST_P(stage_refusal, sets_the_message_and_keeps_the_list) {
    const refusal_case &c = GetParam();
    std::string p = dir.write("f.bin", iota_bytes(32));
    if (c.file == opened::read_only) {
        ASSERT_EQ(hx_open(p.c_str()), 0);
    }
    if (c.file == opened::read_write) {
        ASSERT_EQ(hx_open_rw(p.c_str()), 0);
        ASSERT_EQ(hx_insert("01 02", 3), 0);
    }
    std::string before = hx_staged_json();
    int64_t n_before = S.n_edits;
    EXPECT_EQ(c.call(), -1);
    EXPECT_STREQ(hx_last_error(), c.message);
    EXPECT_EQ(S.n_edits, n_before);
    if (c.file == opened::read_write) {
        EXPECT_EQ(std::string(hx_staged_json()), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    checks, stage_refusal,
    ::testing::Values(
        refusal_case{"write_no_file", opened::none, [] { return hx_write("41", 0); }, "no file open"},
        refusal_case{"insert_no_file", opened::none, [] { return hx_insert("41", 0); }, "no file open"},
        refusal_case{"delete_no_file", opened::none, [] { return hx_delete(0, 1); }, "no file open"},
        refusal_case{"discard_no_file", opened::none, [] { return hx_discard(); }, "no file open"},
        refusal_case{"write_read_only", opened::read_only, [] { return hx_write("41", 0); },
                     "file opened read-only - use hx_open_rw"},
        refusal_case{"delete_read_only", opened::read_only, [] { return hx_delete(0, 1); },
                     "file opened read-only - use hx_open_rw"},
        refusal_case{"null_text_no_file", opened::none, [] { return hx_write(nullptr, 0); }, "NULL hex_bytes"},
        refusal_case{"null_text", opened::read_write, [] { return hx_insert(nullptr, 0); }, "NULL hex_bytes"},
        refusal_case{"bad_text_no_file", opened::none, [] { return hx_write("zz", 0); }, "invalid hex bytes: zz"},
        refusal_case{"empty_text", opened::read_write, [] { return hx_write("", 0); }, "invalid hex bytes: "},
        refusal_case{"wildcard", opened::read_write, [] { return hx_insert("41 ?? 43", 0); },
                     "wildcards not allowed in patch bytes"},
        refusal_case{"negative_length_no_file", opened::none, [] { return hx_delete(0, -1); }, "negative length"},
        refusal_case{"length_checked_before_offset", opened::read_write, [] { return hx_delete(-1, -1); },
                     "negative length"},
        refusal_case{"negative_delete_offset", opened::read_write, [] { return hx_delete(-1, 4); },
                     "negative offset"},
        refusal_case{"negative_write_offset", opened::read_write, [] { return hx_write("41", -1); },
                     "negative offset"},
        refusal_case{"negative_offset_read_only", opened::read_only, [] { return hx_write("41", -1); },
                     "file opened read-only - use hx_open_rw"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(staging, listing_without_a_file_is_empty_with_a_message) {
    EXPECT_STREQ(hx_staged_json(), "");
    EXPECT_STREQ(hx_last_error(), "no file open");
}

TEST_F(staging, listing_shows_each_kind_in_staging_order) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(32)).c_str()), 0);
    EXPECT_STREQ(hx_staged_json(), "[]");
    ASSERT_EQ(hx_delete(16, 4), 0);
    ASSERT_EQ(hx_write("DE:AD", 255), 0);
    ASSERT_EQ(hx_insert("0a", 1ll << 48), 0);
    ASSERT_EQ(hx_delete(0, 0), 0);
    EXPECT_STREQ(hx_staged_json(),
                 "[{\"op\":\"delete\",\"offset\":\"0x000000000010\",\"len\":4}, "
                 "{\"op\":\"write\",\"offset\":\"0x0000000000ff\",\"len\":2,\"bytes\":\"dead\"}, "
                 "{\"op\":\"insert\",\"offset\":\"0x1000000000000\",\"len\":1,\"bytes\":\"0a\"}, "
                 "{\"op\":\"delete\",\"offset\":\"0x000000000000\",\"len\":0}]");
}

TEST_F(staging, listing_shows_the_first_64_bytes_and_the_whole_length) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(8)).c_str()), 0);
    std::string hex;
    for (int i = 0; i < 100; i++) hex += "ab";
    ASSERT_EQ(hx_write(hex.c_str(), 0), 0);
    std::string list = hx_staged_json();
    EXPECT_EQ(json_field(list, "bytes"), hex.substr(0, 128));
    EXPECT_NE(list.find("\"len\":100,"), std::string::npos);
}

TEST_F(staging, the_widest_entries_fit_and_the_list_of_1000_is_whole) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(8)).c_str()), 0);
    std::string hex(2 * 70, 'f');
    for (int i = 0; i < 1000; i++) ASSERT_EQ(hx_insert(hex.c_str(), INT64_MAX), 0);
    std::vector<std::string> rows = split_rows(hx_staged_json());
    ASSERT_EQ(rows.size(), 1000u);
    EXPECT_EQ(rows[999],
              "{\"op\":\"insert\",\"offset\":\"0x7fffffffffffffff\",\"len\":70,\"bytes\":\"" + hex.substr(0, 128) +
                  "\"}");
}

TEST_F(staging, cap_of_1000_holds_until_the_list_is_discarded) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(8)).c_str()), 0);
    for (int i = 0; i < 1000; i++) ASSERT_EQ(hx_delete(0, 0), 0) << i;
    EXPECT_EQ(hx_write("41", 0), -1);
    EXPECT_STREQ(hx_last_error(), "staged edits cap reached (1000)");
    EXPECT_EQ(S.n_edits, 1000);
    EXPECT_EQ(S.cap_edits, 1024);
    ASSERT_EQ(hx_discard(), 0);
    EXPECT_EQ(S.n_edits, 0);
    EXPECT_EQ(S.cap_edits, 1024) << "the array is kept";
    EXPECT_EQ(hx_write("41", 0), 0);
}

TEST_F(staging, the_array_doubles_from_64) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(8)).c_str()), 0);
    EXPECT_EQ(S.cap_edits, 0);
    const std::pair<int, int64_t> steps[] = {{1, 64}, {64, 64}, {65, 128}, {129, 256}, {257, 512}, {513, 1024}};
    for (auto [count, cap] : steps) {
        while (S.n_edits < count) ASSERT_EQ(hx_delete(0, 1), 0);
        EXPECT_EQ(S.cap_edits, cap) << count << " edits";
    }
}

TEST_F(staging, after_discard_the_kept_array_needs_no_memory) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(8)).c_str()), 0);
    for (int i = 0; i < 65; i++) ASSERT_EQ(hx_write("41", 0), 0);
    ASSERT_EQ(hx_discard(), 0);
    scoped_alloc_failure no_memory(0);
    for (int i = 0; i < 128; i++) ASSERT_EQ(hx_delete(i, 1), 0) << i;
    EXPECT_EQ(hx_delete(0, 1), -1) << "the 129th needs the array to grow";
    EXPECT_STREQ(hx_last_error(), "out of memory");
    EXPECT_EQ(S.n_edits, 128);
    EXPECT_EQ(S.cap_edits, 128);
}

TEST_F(staging, out_of_memory_for_the_bytes_keeps_the_list) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(8)).c_str()), 0);
    ASSERT_EQ(hx_write("41", 0), 0);
    std::string before = hx_staged_json();
    {
        // The parser's two arrays succeed; the copy of the bytes fails.
        scoped_alloc_failure no_memory(2);
        EXPECT_EQ(hx_insert("42 43", 1), -1);
    }
    EXPECT_STREQ(hx_last_error(), "out of memory");
    EXPECT_EQ(S.n_edits, 1);
    EXPECT_EQ(std::string(hx_staged_json()), before);
}

TEST_F(staging, edits_show_in_the_size_and_the_next_page) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(8)).c_str()), 0);
    ASSERT_EQ(hx_insert("aa bb", 0), 0);
    EXPECT_EQ(hx_file_size(), 10);
    EXPECT_EQ(json_field(split_rows(hx_page(0, 1, "raw"))[0], "bytes_hex"), "aabb0001020304050607000000000000");
    ASSERT_EQ(hx_insert("cc", 1000), 0);
    EXPECT_EQ(hx_file_size(), 11) << "an insert far past the end counts its length";
    ASSERT_EQ(hx_delete(1, 3), 0);
    EXPECT_EQ(json_field(split_rows(hx_page(0, 1, "raw"))[0], "bytes_hex"), "aa020304050607cc" + std::string(16, '0'));
    EXPECT_EQ(hx_file_size(), 8);
}

// The budget check alone, with small caps and the extremes of int64.
struct budget_case {
    const char *name;
    int64_t held, adding, cap;
    bool fits;
};

void PrintTo(const budget_case &c, std::ostream *os) { *os << c.name; }

class staged_bytes_budget : public ::testing::TestWithParam<budget_case> {};

TEST_P(staged_bytes_budget, fits_up_to_the_cap_and_names_both_counts_past_it) {
    const budget_case &c = GetParam();
    hv_err_clear();
    EXPECT_EQ(hv_staged_bytes_fit(c.held, c.adding, c.cap), c.fits);
    std::string refusal = "staged bytes cap reached: " + std::to_string(c.held) + " bytes are staged and this edit adds " +
                          std::to_string(c.adding) + ", past the cap of " + std::to_string(c.cap) +
                          " (save first, or stage less)";
    EXPECT_EQ(std::string(hx_last_error()), c.fits ? "" : refusal);
}

INSTANTIATE_TEST_SUITE_P(
    cases, staged_bytes_budget,
    ::testing::Values(budget_case{"empty_just_under", 0, 15, 16, true}, budget_case{"empty_at", 0, 16, 16, true},
                      budget_case{"empty_past", 0, 17, 16, false}, budget_case{"held_just_under", 10, 5, 16, true},
                      budget_case{"held_at", 10, 6, 16, true}, budget_case{"held_past", 10, 7, 16, false},
                      budget_case{"full_adds_nothing", 16, 0, 16, true}, budget_case{"full_adds_one", 16, 1, 16, false},
                      budget_case{"sum_would_wrap", 1, INT64_MAX, INT64_MAX, false},
                      budget_case{"both_at_the_top", INT64_MAX, INT64_MAX, INT64_MAX, false},
                      budget_case{"all_of_int64", 0, INT64_MAX, INT64_MAX, true},
                      budget_case{"the_real_cap_past", HV_MAX_STAGED_BYTES, INT64_MAX, HV_MAX_STAGED_BYTES, false}),
    [](const auto &info) { return std::string(info.param.name); });

// hx_write and hx_insert against the real cap. Staging a whole GiB would cost
// the test three (the text, its parse, the copy), so the bytes held by an
// earlier edit are made to stand for that much.
struct cap_case {
    const char *name;
    int (*stage)(const char *, int64_t);
    int64_t room;  // left under the cap before a 4-byte edit
    bool staged;
};

void PrintTo(const cap_case &c, std::ostream *os) { *os << c.name; }

class staged_bytes_cap : public hexview_test, public ::testing::WithParamInterface<cap_case> {};

TEST_P(staged_bytes_cap, an_edit_past_it_is_refused_and_changes_nothing) {
    const cap_case &c = GetParam();
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(32)).c_str()), 0);
    ASSERT_EQ(hx_insert("aa bb", 0), 0);
    S.held_bytes = HV_MAX_STAGED_BYTES - c.room;
    std::string before = hx_staged_json();
    int64_t held = S.held_bytes;
    if (c.staged) {
        EXPECT_EQ(c.stage("01 02 03 04", 2), 0);
        EXPECT_EQ(S.held_bytes, held + 4);
        return;
    }
    EXPECT_EQ(c.stage("01 02 03 04", 2), -1);
    EXPECT_EQ(std::string(hx_last_error()), "staged bytes cap reached: " + std::to_string(held) +
                                                " bytes are staged and this edit adds 4, past the cap of "
                                                "1073741824 (save first, or stage less)");
    EXPECT_EQ(S.held_bytes, held);
    EXPECT_EQ(std::string(hx_staged_json()), before);
    EXPECT_EQ(hx_delete(0, 8), 0) << "a delete holds no bytes";
    ASSERT_EQ(hx_discard(), 0);
    EXPECT_EQ(c.stage("01 02 03 04", 2), 0) << "a discard gives the room back";
}

INSTANTIATE_TEST_SUITE_P(
    cases, staged_bytes_cap,
    ::testing::Values(cap_case{"write_just_under", hx_write, 5, true}, cap_case{"write_at", hx_write, 4, true},
                      cap_case{"write_past", hx_write, 3, false}, cap_case{"insert_just_under", hx_insert, 5, true},
                      cap_case{"insert_at", hx_insert, 4, true}, cap_case{"insert_past", hx_insert, 3, false},
                      cap_case{"insert_when_full", hx_insert, 0, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(staging, held_bytes_count_the_copies_of_writes_and_inserts) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(8)).c_str()), 0);
    ASSERT_EQ(hx_write("01 02", 0), 0);
    ASSERT_EQ(hx_insert("03 04 05", 1), 0);
    ASSERT_EQ(hx_delete(0, 100), 0);
    ASSERT_EQ(hx_write("06 07 08 09", 1000), 0);
    EXPECT_EQ(S.held_bytes, 9) << "a write past the end still holds its copy";
    {
        scoped_alloc_failure no_memory(2);
        ASSERT_EQ(hx_insert("0a", 0), -1);
    }
    EXPECT_EQ(S.held_bytes, 9) << "a refused edit counts nothing";
}

// Every way the edits go away gives their bytes back.
struct reset_case {
    const char *name;
    void (*act)(const std::string &path, const std::string &copy);
};

void PrintTo(const reset_case &c, std::ostream *os) { *os << c.name; }

class held_bytes_reset : public hexview_test, public ::testing::WithParamInterface<reset_case> {};

TEST_P(held_bytes_reset, leaves_none_held) {
    std::string p = dir.write("f.bin", iota_bytes(8));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_insert("01 02 03", 0), 0);
    GetParam().act(p, dir.file("copy.bin"));
    EXPECT_EQ(S.held_bytes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    ways, held_bytes_reset,
    ::testing::Values(reset_case{"discard", [](const std::string &, const std::string &) { ASSERT_EQ(hx_discard(), 0); }},
                      reset_case{"save_in_place",
                                 [](const std::string &, const std::string &) { ASSERT_EQ(hx_save(nullptr), 0); }},
                      reset_case{"save_as",
                                 [](const std::string &, const std::string &c) { ASSERT_EQ(hx_save(c.c_str()), 0); }},
                      reset_case{"open_again",
                                 [](const std::string &p, const std::string &) { ASSERT_EQ(hx_open_rw(p.c_str()), 0); }},
                      reset_case{"close", [](const std::string &, const std::string &) { hx_close(); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(staging, discard_clears_the_cache_also_on_a_read_only_file) {
    std::string p = dir.write("f.bin", iota_bytes(8));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_insert("aa", 0), 0);
    ASSERT_STRNE(hx_page(0, 1, nullptr), "");
    ASSERT_NE(S.logical, nullptr);
    ASSERT_EQ(hx_discard(), 0);
    EXPECT_EQ(S.logical, nullptr);
    EXPECT_EQ(S.logical_stale, 0);
    EXPECT_STREQ(hx_staged_json(), "[]");
    EXPECT_EQ(hx_file_size(), 8);
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_EQ(hx_discard(), 0);
}

}  // namespace
