// A search reads the file a chunk at a time, and skips the holes of a sparse
// file when no hit can lie wholly in zeros; its hits must be exactly those of
// a scan of every byte: hits across two chunks, hits that reach from a hole
// into data (or out of it), and starts inside holes included.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>

#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/parse_hex.h"
#include "platform/os.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

namespace {

using offsets = std::vector<int64_t>;

constexpr int64_t kSize = 8 << 20;
constexpr int64_t kBlock = 4096;

// Islands of data in a sparse file: a block that starts with "ca fe" after a
// hole, one that ends with it before a hole, eight blocks of "ca fe ..." (more
// hits than are kept), two blocks side by side, and one that ends the file.
bytes block_of(uint8_t seed) {
    bytes b(kBlock);
    for (std::size_t i = 0; i < b.size(); i++) b[i] = static_cast<uint8_t>((i * 13 + seed) % 251 + 1);
    return b;
}

std::vector<island> islands() {
    bytes starts = block_of(1), ends = block_of(2), repeats(8 * kBlock), last = block_of(3);
    starts[0] = 0xca, starts[1] = 0xfe;
    ends[kBlock - 2] = 0xca, ends[kBlock - 1] = 0xfe;
    for (std::size_t i = 0; i < repeats.size(); i++) repeats[i] = i % 2 ? 0xfe : 0xca;
    last[kBlock - 1] = 0xca;
    return {{1 << 20, starts},
            {3 << 20, ends},
            {5 << 20, repeats},
            {6 << 20, block_of(4)},
            {(6 << 20) + kBlock, block_of(5)},
            {kSize - kBlock, last}};
}

// Leftmost hits without overlap, the next candidate right after a hit.
offsets every_hit(const bytes &data, const std::string &hex, int64_t start) {
    int64_t n = 0;
    uint8_t *pat = nullptr, *mask = nullptr;
    EXPECT_EQ(hv_parse_hex(hex.c_str(), &n, &pat, &mask), 0);
    offsets hits;
    for (int64_t p = start; p + n <= static_cast<int64_t>(data.size());) {
        bool match = true;
        for (int64_t k = 0; k < n && match; k++)
            match = (data[static_cast<std::size_t>(p + k)] & mask[k]) == (pat[k] & mask[k]);
        if (match) hits.push_back(p);
        p += match ? n : 1;
    }
    hv_free(pat);
    hv_free(mask);
    return hits;
}

struct sparse_search_case {
    const char *name;
    const char *hex;
    int64_t start;
};

void PrintTo(const sparse_search_case &c, std::ostream *os) { *os << c.name; }

class sparse_search : public hexview_test, public ::testing::WithParamInterface<sparse_search_case> {};

TEST_P(sparse_search, finds_what_a_scan_of_every_byte_finds) {
    const sparse_search_case &c = GetParam();
    ASSERT_EQ(hx_open(write_sparse(dir, "sparse.bin", kSize, islands()).c_str()), 0) << hx_last_error();
    ASSERT_EQ(hx_search("hex", c.hex, c.start), 0) << hx_last_error();
    const offsets all = every_hit(sparse_bytes(kSize, islands()), c.hex, c.start);
    ASSERT_EQ(hx_search_count(), static_cast<int32_t>(all.size()));
    EXPECT_EQ(hx_search_last(), all.empty() ? -1 : all.back());
    offsets stored;
    for (int64_t h = hx_search_next(); h >= 0; h = hx_search_next()) stored.push_back(h);
    const std::size_t kept = std::min<std::size_t>(all.size(), HX_MAX_STORED_HITS);
    EXPECT_EQ(stored, offsets(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(kept)));
}

INSTANTIATE_TEST_SUITE_P(
    patterns, sparse_search,
    ::testing::Values(sparse_search_case{"in_the_islands", "ca fe", 0},
                      sparse_search_case{"more_hits_than_are_kept", "ca", 0},
                      sparse_search_case{"reaching_back_into_a_hole", "00 00 ca fe", 0},
                      sparse_search_case{"reaching_on_into_a_hole", "ca fe 00 00", 0},
                      sparse_search_case{"wildcards_over_the_edges", "?? ?? ca ?? ?? 00", 0},
                      sparse_search_case{"without_overlap_in_repeats", "fe ca fe", 0},
                      sparse_search_case{"across_blocks_side_by_side", "f7 ?? ?? 01", 0},
                      sparse_search_case{"last_byte_of_the_file", "00 ca", 0},
                      sparse_search_case{"start_inside_a_hole", "00 ca fe", (3 << 20) - 5},
                      sparse_search_case{"start_inside_an_island", "ca fe", (5 << 20) + 1},
                      sparse_search_case{"zeros_only_scan_every_byte", "00 00 00", (5 << 20) - 9}),
    [](const ::testing::TestParamInfo<sparse_search_case> &info) { return std::string(info.param.name); });

// ---- a file of several chunks --------------------------------------------

constexpr int64_t kChunk = 1 << 20;  // what the search reads at a time
constexpr int64_t kDenseSize = 3 * kChunk + 123;

// Random bytes with "ca fe" planted across and beside each chunk's edge, and
// four bytes "ca" from the last byte before the third edge.
bytes dense_content() {
    std::mt19937 rng(7);
    bytes b(kDenseSize);
    for (auto &x : b) x = static_cast<uint8_t>(rng() % 200);  // never 0xca or 0xfe
    for (int64_t at : {kChunk - 1, kChunk + 1, 2 * kChunk - 2, 2 * kChunk, 3 * kChunk - 3, kDenseSize - 2}) {
        b[static_cast<std::size_t>(at)] = 0xca;
        b[static_cast<std::size_t>(at + 1)] = 0xfe;
    }
    for (int64_t at = 3 * kChunk - 1; at < 3 * kChunk + 3; at++) b[static_cast<std::size_t>(at)] = 0xca;
    return b;
}

// The file's own bytes from `at` on, as a hex pattern.
std::string hex_of(const bytes &b, int64_t at, int64_t n) {
    return hex_string(bytes(b.begin() + at, b.begin() + at + n));
}

struct dense_case {
    const char *name;
    std::string hex;
    int64_t start;
};

void PrintTo(const dense_case &c, std::ostream *os) { *os << c.name; }

class chunked_search : public hexview_test, public ::testing::WithParamInterface<dense_case> {};

TEST_P(chunked_search, finds_what_a_scan_of_every_byte_finds) {
    const dense_case &c = GetParam();
    const bytes content = dense_content();
    ASSERT_EQ(hx_open(dir.write("dense.bin", content).c_str()), 0);
    ASSERT_EQ(hx_search("hex", c.hex.c_str(), c.start), 0) << hx_last_error();
    const offsets all = every_hit(content, c.hex, c.start);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(hx_search_count(), static_cast<int32_t>(all.size()));
    EXPECT_EQ(hx_search_last(), all.back());
    offsets stored;
    for (int64_t h = hx_search_next(); h >= 0; h = hx_search_next()) stored.push_back(h);
    EXPECT_EQ(stored, all);
}

INSTANTIATE_TEST_SUITE_P(
    patterns, chunked_search,
    ::testing::Values(dense_case{"at_the_chunk_edges", "ca fe", 0},
                      dense_case{"with_wildcards_across_edges", "ca ?? ca", 0},
                      dense_case{"no_overlap_with_a_hit_across_an_edge", "ca ca", 0},
                      dense_case{"the_longest_pattern_across_an_edge", hex_of(dense_content(), kChunk - 2000, 4096), 0},
                      dense_case{"the_longest_pattern_at_the_end", hex_of(dense_content(), kDenseSize - 4096, 4096), 0},
                      dense_case{"start_just_before_an_edge", "ca fe", 2 * kChunk - 1}),
    [](const ::testing::TestParamInfo<dense_case> &info) { return std::string(info.param.name); });

// A read that fails ends the search with the system's code, no hits kept.
TEST_F(hexview_test, a_failed_read_fails_the_search_and_keeps_no_hits) {
    ASSERT_EQ(hx_open(dir.write("dense.bin", dense_content()).c_str()), 0);
    ASSERT_EQ(hx_search("hex", "ca fe", 0), 0);
    ASSERT_GT(hx_search_count(), 0);
    {
        scoped_os os;
        os.table.read_at = [](hv_handle, int64_t, uint8_t *, std::size_t, std::size_t *got) {
            *got = 0;
            return false;
        };
        os.table.last_error = [] { return static_cast<unsigned long>(EIO); };
        EXPECT_EQ(hx_search("hex", "ca fe", 0), -1);
    }
    EXPECT_EQ(std::string(hx_last_error()), "ReadFile failed: " + dir.file("dense.bin") + " (win error " +
                                                 std::to_string(EIO) + ")");
    EXPECT_EQ(hx_search_count(), 0);
    EXPECT_EQ(hx_search_next(), -1);
    ASSERT_EQ(hx_search("hex", "ca fe", 0), 0) << "the next search reads again";
    EXPECT_EQ(hx_search_count(), 6);
}

}  // namespace
