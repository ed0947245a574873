#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/logical.h"
#include "core/state.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

namespace {

// Appends an edit record to the open file's list, as staging does.
void add_record(int32_t kind, int64_t offset, const bytes &data, int64_t len = -1) {
    if (S.n_edits == S.cap_edits) {
        S.cap_edits = S.cap_edits ? S.cap_edits * 2 : 64;
        S.edits = static_cast<hv_edit *>(hv_realloc(S.edits, sizeof(hv_edit) * S.cap_edits));
    }
    hv_edit &e = S.edits[S.n_edits++];
    e.kind = kind;
    e.offset = offset;
    e.len = len >= 0 ? len : static_cast<int64_t>(data.size());
    e.bytes = nullptr;
    if (!data.empty()) {
        e.bytes = static_cast<uint8_t *>(hv_malloc(data.size()));
        std::memcpy(e.bytes, data.data(), data.size());
    }
    S.logical_stale = 1;
}

void write_at(int64_t off, const bytes &b) { add_record(HV_EDIT_WRITE, off, b); }
void insert_at(int64_t off, const bytes &b) { add_record(HV_EDIT_INSERT, off, b); }
void delete_at(int64_t off, int64_t len) { add_record(HV_EDIT_DELETE, off, {}, len); }

bytes materialized() {
    EXPECT_EQ(hv_materialize(), 0);
    bytes content(static_cast<size_t>(S.logical_len));
    EXPECT_EQ(hv_logical_read(0, content.data(), S.logical_len), S.logical_len);
    return content;
}

const bytes kEight = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};

struct edit_step {
    int32_t kind;
    int64_t offset;
    bytes data;
    int64_t len;  // for deletes
};

struct logical_case {
    const char *name;
    bytes file;
    std::vector<edit_step> edits;
    int64_t size_before;  // the estimate
    bytes content;        // after materialization; its length is the size after
};

void PrintTo(const logical_case &c, std::ostream *os) { *os << c.name; }

class logical_content : public hexview_test, public ::testing::WithParamInterface<logical_case> {};

TEST_P(logical_content, estimate_then_exact_content) {
    const logical_case &c = GetParam();
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", c.file).c_str()), 0);
    for (const edit_step &e : c.edits) {
        if (e.kind == HV_EDIT_DELETE)
            delete_at(e.offset, e.len);
        else
            add_record(e.kind, e.offset, e.data);
    }
    EXPECT_EQ(hx_file_size(), c.size_before);
    EXPECT_EQ(materialized(), c.content);
    EXPECT_EQ(hx_file_size(), static_cast<int64_t>(c.content.size()));
    EXPECT_EQ(S.logical_stale, 0);
}

constexpr int32_t W = HV_EDIT_WRITE, I = HV_EDIT_INSERT, D = HV_EDIT_DELETE;

INSTANTIATE_TEST_SUITE_P(
    rules, logical_content,
    ::testing::Values(
        logical_case{"no_edits", kEight, {}, 8, kEight},
        logical_case{"insert_at_start", kEight, {{I, 0, {0xaa, 0xbb}, 0}}, 10,
                     {0xaa, 0xbb, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}},
        logical_case{"insert_past_end_lands_at_end", kEight, {{I, 100, {0xaa, 0xbb}, 0}}, 10,
                     {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xaa, 0xbb}},
        logical_case{"write_is_cut_at_the_end", kEight, {{W, 6, {0xaa, 0xbb, 0xcc, 0xdd}, 0}}, 8,
                     {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0xaa, 0xbb}},
        logical_case{"write_at_end_does_nothing", kEight, {{W, 8, {0xaa}, 0}, {W, 1000, {0xbb}, 0}}, 8, kEight},
        logical_case{"delete_past_end_is_cut", kEight, {{D, 5, {}, 20}}, 0, {0x00, 0x11, 0x22, 0x33, 0x44}},
        logical_case{"delete_at_end_removes_nothing", kEight, {{D, 8, {}, 3}}, 5, kEight},
        logical_case{"delete_of_zero", kEight, {{D, 2, {}, 0}}, 8, kEight},
        logical_case{"insert_then_write", kEight, {{I, 0, {0xaa}, 0}, {W, 1, {0xbb}, 0}}, 9,
                     {0xaa, 0xbb, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}},
        logical_case{"write_then_insert", kEight, {{W, 1, {0xbb}, 0}, {I, 0, {0xaa}, 0}}, 9,
                     {0xaa, 0x00, 0xbb, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}},
        logical_case{"insert_then_delete_it", kEight, {{I, 0, {1, 2, 3, 4}, 0}, {D, 0, {}, 4}}, 8, kEight},
        logical_case{"delete_everything", kEight, {{D, 0, {}, 8}}, 0, {}},
        logical_case{"empty_file_insert_past_end", {}, {{I, 5, {0xaa, 0xbb, 0xcc}, 0}}, 3, {0xaa, 0xbb, 0xcc}},
        logical_case{"write_spanning_inserted_and_file_bytes", kEight,
                     {{I, 2, {0xaa, 0xbb}, 0}, {W, 3, {1, 2, 3}, 0}}, 10,
                     {0x00, 0x11, 0xaa, 1, 2, 3, 0x44, 0x55, 0x66, 0x77}},
        logical_case{"delete_spanning_pieces", kEight,
                     {{I, 4, {0xaa, 0xbb}, 0}, {D, 3, {}, 4}}, 6, {0x00, 0x11, 0x22, 0x55, 0x66, 0x77}},
        logical_case{"huge_deletes_do_not_wrap", kEight,
                     {{D, 0, {}, INT64_MAX}, {D, 0, {}, INT64_MAX}, {I, 0, {0xaa}, 0}}, 0, {0xaa}}),
    [](const auto &info) { return std::string(info.param.name); });

using logical_state = hexview_test;

TEST_F(logical_state, no_file_open_gives_minus_one_without_a_message) {
    EXPECT_EQ(hx_open(nullptr), -1);
    EXPECT_EQ(hx_file_size(), -1);
    EXPECT_STREQ(hx_last_error(), "NULL path");
}

TEST_F(logical_state, many_huge_deletes_sum_without_wrapping) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", kEight).c_str()), 0);
    for (int i = 0; i < 1000; i++) delete_at(0, INT64_MAX);
    EXPECT_EQ(hx_file_size(), 0);
}

TEST_F(logical_state, second_materialization_changes_nothing) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", kEight).c_str()), 0);
    insert_at(0, {0xaa});
    ASSERT_EQ(hv_materialize(), 0);
    const hv_piece *first = S.logical;
    {
        scoped_alloc_failure no_memory(0);  // a rebuild would fail
        EXPECT_EQ(hv_materialize(), 0);
    }
    EXPECT_EQ(S.logical, first);
}

TEST_F(logical_state, out_of_memory_keeps_the_edits_and_retries_later) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", kEight).c_str()), 0);
    insert_at(0, {0xaa});
    // Every allocation of a rebuild in turn fails, until the rebuild has all it needs.
    for (int allow = 0;; allow++) {
        ASSERT_LT(allow, 8);
        scoped_alloc_failure no_memory(allow);
        if (hv_materialize() == 0) break;
        EXPECT_STREQ(hx_last_error(), "out of memory materializing logical file");
        EXPECT_EQ(S.logical, nullptr);
        EXPECT_EQ(S.logical_len, 0);
        EXPECT_EQ(S.logical_stale, 1);
        EXPECT_EQ(S.n_edits, 1);
    }
    EXPECT_EQ(materialized(), (bytes{0xaa, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}));
}

TEST_F(logical_state, a_released_view_is_never_read) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", kEight).c_str()), 0);
    insert_at(0, {0xaa});
    // As after an in-place save that failed once the view was released.
    hv_os->unmap(S.view, S.file_size);
    S.view = nullptr;
    EXPECT_EQ(hv_materialize(), -1);
    EXPECT_NE(std::string(hx_last_error()), "");
    EXPECT_EQ(S.logical, nullptr);
}

TEST_F(logical_state, a_failed_rebuild_without_a_view_keeps_the_only_copy) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", kEight).c_str()), 0);
    insert_at(0, {0xaa});
    ASSERT_EQ(hv_materialize(), 0);
    const hv_piece *cache = S.logical;
    hv_os->unmap(S.view, S.file_size);
    S.view = nullptr;
    S.logical_stale = 1;
    EXPECT_EQ(hv_materialize(), -1);
    EXPECT_EQ(S.logical, cache) << "the cached content is not dropped";
    EXPECT_EQ(S.logical_len, 9);
}

// The content must equal what a plain model of the rules gives, for any mix of
// edits, including offsets and lengths past the end.
TEST_F(logical_state, random_edit_lists_match_a_plain_model) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 60; round++) {
        bytes file(rng() % 300);
        for (auto &b : file) b = static_cast<uint8_t>(rng());
        ASSERT_EQ(hx_open_rw(dir.write("f.bin", file).c_str()), 0);
        bytes model = file;
        int n = 1 + static_cast<int>(rng() % 200);
        for (int k = 0; k < n; k++) {
            int64_t L = static_cast<int64_t>(model.size());
            int64_t off = static_cast<int64_t>(rng() % (L + 20));
            int kind = static_cast<int>(rng() % 3);
            if (kind == 2) {
                int64_t len = static_cast<int64_t>(rng() % 40);
                delete_at(off, len);
                int64_t p = std::min(off, L), cut = std::min(len, L - p);
                if (cut > 0) model.erase(model.begin() + p, model.begin() + p + cut);
                continue;
            }
            bytes data(1 + rng() % 30);
            for (auto &b : data) b = static_cast<uint8_t>(rng());
            if (kind == 0) {
                write_at(off, data);
                for (int64_t i = 0; i < static_cast<int64_t>(data.size()) && off + i < L; i++) model[off + i] = data[i];
            } else {
                insert_at(off, data);
                model.insert(model.begin() + std::min(off, L), data.begin(), data.end());
            }
        }
        ASSERT_EQ(materialized(), model) << "round " << round;
        hx_close();
    }
}

}  // namespace
