#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "analysis/compare.h"
#include "core/alloc.h"
#include "core/error.h"
#include "core/state.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

struct run {
    int64_t offset;
    std::string this_hex;
    std::string other_hex;
    bool operator==(const run &) const = default;
};

void PrintTo(const run &r, std::ostream *os) {
    *os << "{" << r.offset << ", " << r.this_hex << ", " << r.other_hex << "}";
}

using runs = std::vector<run>;

std::string offset_text(int64_t offset) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(offset));
    return buf;
}

// The stored runs, read back through the exported field queries.
runs stored_runs() {
    runs r;
    int n = hx_compare_count();
    for (int i = 0; i < n; i++) {
        std::string off = hx_compare_field(i, "offset");
        r.push_back({static_cast<int64_t>(std::stoull(off.substr(2), nullptr, 16)), hx_compare_field(i, "this_hex"),
                     hx_compare_field(i, "other_hex")});
        EXPECT_EQ(off, offset_text(r.back().offset));
    }
    return r;
}

// The rule in its plainest form: every offset up to the longer size, 0x00
// past the end of a file, the cap tested before the extension.
runs reference_runs(const bytes &a, const bytes &b) {
    runs r;
    std::vector<int64_t> lens;
    std::size_t total = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < total; i++) {
        uint8_t x = i < a.size() ? a[i] : 0, y = i < b.size() ? b[i] : 0;
        if (x == y || r.size() == 10000) continue;
        if (!r.empty() && r.back().offset + lens.back() == static_cast<int64_t>(i) && lens.back() < 64) {
            r.back().this_hex += hex_string({x});
            r.back().other_hex += hex_string({y});
            lens.back()++;
        } else {
            r.push_back({static_cast<int64_t>(i), hex_string({x}), hex_string({y})});
            lens.push_back(1);
        }
    }
    return r;
}

class compare_files : public hexview_test {
protected:
    // Opens `mine`, compares it with `other` and returns the stored runs.
    runs compare(const bytes &mine, const bytes &other) {
        hx_close();  // Windows cannot rewrite a file that is mapped
        EXPECT_EQ(hx_open(dir.write("mine.bin", mine).c_str()), 0);
        EXPECT_EQ(hx_compare(dir.write("other.bin", other).c_str()), 0) << hx_last_error();
        return stored_runs();
    }
    // Leaves three runs of an earlier compare in the table.
    void leave_old_runs() {
        compare({1, 2, 3, 4, 5}, {9, 2, 9, 4, 9});
        ASSERT_EQ(hx_compare_count(), 3);
    }
};

// ---- cases with literal expectations ------------------------------------------

struct literal_case {
    const char *name;
    bytes mine;
    bytes other;
    runs expected;
};

void PrintTo(const literal_case &c, std::ostream *os) { *os << c.name; }

class compare_literal : public compare_files, public ::testing::WithParamInterface<literal_case> {};

TEST_P(compare_literal, stores_the_runs) {
    EXPECT_EQ(compare(GetParam().mine, GetParam().other), GetParam().expected);
    EXPECT_EQ(compare(GetParam().mine, GetParam().other), reference_runs(GetParam().mine, GetParam().other));
}

const bytes kTen = iota_bytes(10, 1);

bytes with(bytes b, const bytes &tail) {
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    cases, compare_literal,
    ::testing::Values(
        literal_case{"identical", kTen, kTen, {}},
        literal_case{"both_empty", {}, {}, {}},
        literal_case{"one_byte_differs", {0x41, 0x42}, {0x41, 0x43}, {{1, "42", "43"}}},
        literal_case{"empty_compare_file_reads_zeros", {0x01, 0x00, 0x02}, {}, {{0, "01", "00"}, {2, "02", "00"}}},
        literal_case{"empty_open_file_reads_zeros", {}, {0x00, 0x05, 0x00, 0x06, 0x07},
                     {{1, "00", "05"}, {3, "0000", "0607"}}},
        literal_case{"zero_tail_is_no_difference", kTen, with(kTen, {0x00, 0x00}), {}},
        literal_case{"tail_difference_records_zero", kTen, with(kTen, {0x00, 0x07}), {{11, "00", "07"}}},
        literal_case{"open_file_longer", with(kTen, {0x00, 0x00, 0x09}), kTen, {{12, "09", "00"}}},
        literal_case{"100_differing_bytes_split_64_and_36", bytes(100, 0x00), bytes(100, 0xff),
                     {{0, std::string(128, '0'), std::string(128, 'f')},
                      {64, std::string(72, '0'), std::string(72, 'f')}}},
        literal_case{"128_differing_bytes_two_touching_runs", bytes(128, 0x11), bytes(128, 0x22),
                     {{0, std::string(128, '1'), std::string(128, '2')},
                      {64, std::string(128, '1'), std::string(128, '2')}}},
        literal_case{"equal_byte_between_separates", {1, 2, 3, 4}, {9, 2, 9, 9}, {{0, "01", "09"}, {2, "0304", "0909"}}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- generated pairs against the plain rule ------------------------------------

struct generated_case {
    const char *name;
    std::size_t mine_size;
    std::size_t other_size;
    void (*mutate)(bytes &other, std::mt19937_64 &rng);
};

void PrintTo(const generated_case &c, std::ostream *os) { *os << c.name; }

class compare_generated : public compare_files, public ::testing::WithParamInterface<generated_case> {};

TEST_P(compare_generated, matches_the_plain_rule) {
    const generated_case &c = GetParam();
    std::mt19937_64 rng(2024);
    bytes mine(c.mine_size);
    for (auto &b : mine) b = static_cast<uint8_t>(rng());
    bytes other(mine.begin(), mine.begin() + static_cast<std::ptrdiff_t>(std::min(c.mine_size, c.other_size)));
    while (other.size() < c.other_size) other.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? rng() : 0));
    c.mutate(other, rng);
    runs expected = reference_runs(mine, other);
    EXPECT_EQ(compare(mine, other), expected);
    EXPECT_EQ(compare(other, mine).size(), expected.size()) << "the same runs seen from the other side";
}

void flip(bytes &b, std::size_t i) { b[i] ^= 0x5a; }

INSTANTIATE_TEST_SUITE_P(
    pairs, compare_generated,
    ::testing::Values(
        generated_case{"differences_at_block_edges", 70000, 70000,
                       [](bytes &o, std::mt19937_64 &) {
                           for (std::size_t i : {0, 63, 64, 65, 127, 128, 16383, 16384, 16385, 32767, 49152, 69999})
                               flip(o, i);
                       }},
        generated_case{"long_region_across_blocks", 70000, 70000,
                       [](bytes &o, std::mt19937_64 &) {
                           for (std::size_t i = 16300; i < 16700; i++) flip(o, i);
                       }},
        generated_case{"region_with_equal_bytes_inside", 40000, 40000,
                       [](bytes &o, std::mt19937_64 &) {
                           for (std::size_t i = 100; i < 400; i++)
                               if (i % 7 != 0) flip(o, i);
                       }},
        generated_case{"scattered_one_percent", 200000, 200000,
                       [](bytes &o, std::mt19937_64 &rng) {
                           for (int k = 0; k < 2000; k++) flip(o, rng() % o.size());
                       }},
        generated_case{"compare_file_longer_with_sparse_tail", 20000, 52000, [](bytes &, std::mt19937_64 &) {}},
        generated_case{"open_file_longer", 52001, 20003, [](bytes &o, std::mt19937_64 &) { flip(o, 20002); }},
        generated_case{"last_byte_only", 33333, 33333, [](bytes &o, std::mt19937_64 &) { flip(o, 33332); }},
        generated_case{"differences_across_the_steps_read", 2621440, 2621440,
                       [](bytes &o, std::mt19937_64 &) {
                           for (std::size_t i : {1048575, 1048576, 2097120, 2097151, 2097152, 2097200}) flip(o, i);
                           for (std::size_t i = 2097100; i < 2097300; i++) flip(o, i);
                       }}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- sparse files: holes of both are skipped, the runs stay the same ----------

struct sparse_pair_case {
    const char *name;
    int64_t mine_size;
    std::vector<island> mine;
    int64_t other_size;
    std::vector<island> other;
};

void PrintTo(const sparse_pair_case &c, std::ostream *os) { *os << c.name; }

class compare_sparse : public compare_files, public ::testing::WithParamInterface<sparse_pair_case> {};

TEST_P(compare_sparse, finds_the_runs_of_a_compare_of_every_byte) {
    const sparse_pair_case &c = GetParam();
    ASSERT_EQ(hx_open(write_sparse(dir, "mine.bin", c.mine_size, c.mine).c_str()), 0);
    ASSERT_EQ(hx_compare(write_sparse(dir, "other.bin", c.other_size, c.other).c_str()), 0) << hx_last_error();
    EXPECT_EQ(stored_runs(), reference_runs(sparse_bytes(c.mine_size, c.mine), sparse_bytes(c.other_size, c.other)));
}

constexpr int64_t kMiB = 1 << 20;
const bytes kIsland = iota_bytes(5000, 1);
bytes changed(bytes b, std::size_t at) {
    b[at] ^= 0x5a;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    holes, compare_sparse,
    ::testing::Values(
        sparse_pair_case{"same_islands", 4 * kMiB, {{kMiB, kIsland}}, 4 * kMiB, {{kMiB, kIsland}}},
        sparse_pair_case{"a_difference_at_each_edge_of_an_island",
                         4 * kMiB,
                         {{kMiB, kIsland}},
                         4 * kMiB,
                         {{kMiB, changed(changed(kIsland, 0), 4999)}}},
        sparse_pair_case{"data_against_a_hole", 4 * kMiB, {{kMiB, kIsland}}, 4 * kMiB, {{3 * kMiB, kIsland}}},
        sparse_pair_case{"islands_that_overlap_in_part",
                         4 * kMiB,
                         {{kMiB, kIsland}},
                         4 * kMiB,
                         {{kMiB + 3000, kIsland}, {2 * kMiB - 100, kIsland}}},
        sparse_pair_case{"other_longer_with_data_in_its_tail",
                         2 * kMiB,
                         {{kMiB, kIsland}},
                         5 * kMiB,
                         {{kMiB, kIsland}, {4 * kMiB + 7, kIsland}}},
        sparse_pair_case{"mine_longer_ending_in_data",
                         5 * kMiB,
                         {{5 * kMiB - 5000, kIsland}},
                         kMiB + 1,
                         {{kMiB - 4999, kIsland}}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- the cap of 10000 runs -----------------------------------------------------

struct cap_case {
    const char *name;
    std::size_t size;
    bool (*differs)(std::size_t i);  // which offsets of the compare file differ
    int count;
    int64_t last_offset;
    int64_t last_len;
};

void PrintTo(const cap_case &c, std::ostream *os) { *os << c.name; }

class compare_cap : public compare_files, public ::testing::WithParamInterface<cap_case> {};

TEST_P(compare_cap, holds_at_most_10000_runs) {
    const cap_case &c = GetParam();
    bytes mine(c.size, 0x33), other(c.size, 0x33);
    for (std::size_t i = 0; i < c.size; i++)
        if (c.differs(i)) other[i] = 0xcc;
    runs got = compare(mine, other);
    ASSERT_EQ(static_cast<int>(got.size()), c.count);
    EXPECT_EQ(got.back().offset, c.last_offset);
    EXPECT_EQ(static_cast<int64_t>(got.back().this_hex.size()), 2 * c.last_len);
    EXPECT_EQ(got, reference_runs(mine, other));
}

INSTANTIATE_TEST_SUITE_P(
    runs_near_the_cap, compare_cap,
    ::testing::Values(
        cap_case{"every_even_offset_below_the_cap", 19998, [](std::size_t i) { return i % 2 == 0; }, 9999, 19996, 1},
        cap_case{"every_even_offset_reaching_the_cap", 20000, [](std::size_t i) { return i % 2 == 0; }, 10000, 19998,
                 1},
        cap_case{"every_even_offset_past_the_cap", 30001, [](std::size_t i) { return i % 2 == 0; }, 10000, 19998, 1},
        cap_case{"every_offset_past_the_cap", 64 * 10000 + 100, [](std::size_t) { return true; }, 10000,
                 64 * 9999, 1},
        cap_case{"run_10000_never_grows", 19998 + 64,
                 [](std::size_t i) { return i < 19998 ? i % 2 == 0 : true; }, 10000, 19998, 1},
        cap_case{"run_9999_grows_to_64_and_run_10000_holds_one_byte", 19998 + 70,
                 [](std::size_t i) { return i < 19996 ? i % 2 == 0 : i >= 19998; }, 10000, 19998 + 64, 1}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- failures ------------------------------------------------------------------

thread_local unsigned long t_fake_code = 0;
int g_opens = 0, g_closes = 0, g_maps = 0, g_unmaps = 0;

// Counts every handle and view the compare takes and gives back.
void count_handles(hv_os_table &t) {
    g_opens = g_closes = g_maps = g_unmaps = 0;
    t.open_read = [](const char *p) {
        hv_handle h = hv_os_native.open_read(p);
        g_opens += h != HV_NO_HANDLE;
        return h;
    };
    t.close = [](hv_handle h) {
        g_closes++;
        hv_os_native.close(h);
    };
    t.map = [](hv_handle h, int64_t n, bool w, uint8_t **v) {
        hv_map_result r = hv_os_native.map(h, n, w, v);
        g_maps += r == HV_MAP_OK;
        return r;
    };
    t.unmap = [](uint8_t *v, int64_t n) {
        g_unmaps++;
        hv_os_native.unmap(v, n);
    };
}

struct failure_case {
    const char *name;
    std::string (*path)(const temp_dir &);  // null for a NULL path
    void (*inject)(hv_os_table &);
    std::string expected;  // %s is the path
};

void PrintTo(const failure_case &c, std::ostream *os) { *os << c.name; }

class compare_failure : public compare_files, public ::testing::WithParamInterface<failure_case> {};

TEST_P(compare_failure, reports_the_step_drops_the_old_runs_and_closes_everything) {
    const failure_case &c = GetParam();
    leave_old_runs();
    std::string path = c.path ? c.path(dir) : "";
    {
        scoped_os os;
        count_handles(os.table);
        if (c.inject) c.inject(os.table);
        EXPECT_EQ(hx_compare(c.path ? path.c_str() : nullptr), -1);
    }
    std::string expected = c.expected;
    if (std::size_t at = expected.find("%s"); at != std::string::npos) expected.replace(at, 2, path);
    EXPECT_EQ(hx_last_error(), expected);
    EXPECT_EQ(hx_compare_count(), 0);
    EXPECT_EQ(g_closes, g_opens) << "every handle is closed";
    EXPECT_EQ(g_unmaps, g_maps) << "every view is unmapped";
}

std::string missing(const temp_dir &d) { return d.file("missing.bin"); }
std::string existing(const temp_dir &d) { return d.write("c.bin", iota_bytes(300)); }

void fail_size(hv_os_table &t) {
    t.file_size = [](hv_handle, int64_t *) { return false; };
}
void fail_mapping(hv_os_table &t) {
    t.map = [](hv_handle, int64_t, bool, uint8_t **v) {
        *v = nullptr;
        return HV_MAP_MAPPING_FAILED;
    };
}
void fail_view(hv_os_table &t) {
    t.map = [](hv_handle, int64_t, bool, uint8_t **v) {
        *v = nullptr;
        return HV_MAP_VIEW_FAILED;
    };
}

std::string cannot_open(unsigned long code) {
    return "cannot open compare file: %s (win error " + std::to_string(code) + ")";
}

INSTANTIATE_TEST_SUITE_P(
    steps, compare_failure,
    ::testing::Values(
        failure_case{"null_path", nullptr, nullptr, "NULL path"},
#ifndef _WIN32
        failure_case{"missing_file", missing, nullptr, cannot_open(ENOENT)},
        failure_case{"folder", [](const temp_dir &d) { return d.path(); }, nullptr, cannot_open(EISDIR)},
        failure_case{"fifo_without_writer",
                     [](const temp_dir &d) {
                         std::string p = d.file("fifo");
                         mkfifo(p.c_str(), 0600);
                         return p;
                     },
                     nullptr, cannot_open(ENODEV)},
        failure_case{"device", [](const temp_dir &) { return std::string("/dev/zero"); }, nullptr,
                     cannot_open(ENODEV)},
#else
        failure_case{"missing_file", missing, nullptr, cannot_open(kMissingFileCode)},
        failure_case{"folder", [](const temp_dir &d) { return d.path(); }, nullptr, cannot_open(kFolderCode)},
        failure_case{"device", [](const temp_dir &) { return std::string("NUL"); }, nullptr,
                     cannot_open(1)},  // ERROR_INVALID_FUNCTION: refused
#endif
        failure_case{"size_query", existing, fail_size, "GetFileSizeEx failed: %s"},
        failure_case{"mapping", existing, fail_mapping, "CreateFileMapping failed: %s"},
        failure_case{"view", existing, fail_view, "MapViewOfFile failed: %s"}),
    [](const auto &info) { return std::string(info.param.name); });

// The files are read a step at a time: a read that fails, of either file,
// fails the compare with the system's code and keeps no runs.
int g_reads = 0, g_failing_read = 0;

TEST_F(compare_files, a_failed_read_names_the_file_and_keeps_no_runs) {
    const bytes mine = iota_bytes(3 << 20, 1);
    for (int failing : {1, 2}) {
        SCOPED_TRACE(failing == 1 ? "the open file" : "the compare file");
        leave_old_runs();
        hx_close();
        std::string mine_path = dir.write("big.bin", mine), other = dir.write("big-other.bin", mine);
        ASSERT_EQ(hx_open(mine_path.c_str()), 0);
        g_reads = 0;
        g_failing_read = failing;
        {
            scoped_os os;
            os.table.read_at = [](hv_handle h, int64_t at, uint8_t *p, std::size_t n, std::size_t *got) {
                if (++g_reads == g_failing_read) {
                    *got = 0;
                    return false;
                }
                return hv_os_native.read_at(h, at, p, n, got);
            };
            os.table.last_error = [] { return static_cast<unsigned long>(EIO); };
            EXPECT_EQ(hx_compare(other.c_str()), -1);
        }
        EXPECT_EQ(std::string(hx_last_error()),
                  "ReadFile failed: " + (failing == 1 ? mine_path : other) + " (win error " + std::to_string(EIO) + ")");
        EXPECT_EQ(hx_compare_count(), 0);
        EXPECT_EQ(hx_compare(other.c_str()), 0) << "the next compare reads again";
    }
}

TEST_F(compare_files, missing_file_message_carries_the_system_code) {
    ASSERT_EQ(hx_open(dir.write("a.bin", kTen).c_str()), 0);
    scoped_os os;
    os.table.open_read = [](const char *) {
        t_fake_code = 77;
        return HV_NO_HANDLE;
    };
    os.table.last_error = [] { return t_fake_code; };
    EXPECT_EQ(hx_compare("x/y.bin"), -1);
    EXPECT_STREQ(hx_last_error(), "cannot open compare file: x/y.bin (win error 77)");
}

TEST_F(compare_files, success_closes_everything_and_keeps_the_error_text) {
    ASSERT_EQ(hx_open(dir.write("a.bin", kTen).c_str()), 0);
    EXPECT_EQ(hx_open(nullptr), -1);
    for (const bytes &other : {bytes{}, with(kTen, {1})}) {
        scoped_os os;
        count_handles(os.table);
        EXPECT_EQ(hx_compare(dir.write("c.bin", other).c_str()), 0);
        EXPECT_GE(g_opens, 1) << "the compare file (and the open file again, for its holes)";
        EXPECT_EQ(g_closes, g_opens);
        EXPECT_EQ(g_unmaps, g_maps);
    }
    EXPECT_STREQ(hx_last_error(), "NULL path");
}

TEST_F(compare_files, no_file_open_keeps_the_old_runs) {
    leave_old_runs();
    runs old = stored_runs();
    hx_close();
    EXPECT_EQ(hx_compare(dir.write("c.bin", kTen).c_str()), -1);
    EXPECT_STREQ(hx_last_error(), "no file open");
    EXPECT_EQ(hx_compare_count(), -1);
    EXPECT_STREQ(hx_last_error(), "no file open");
    EXPECT_STREQ(hx_compare_field(0, "offset"), "");
    ASSERT_EQ(hx_open(dir.write("another.bin", bytes{7}).c_str()), 0);
    EXPECT_EQ(stored_runs(), old) << "the runs outlive a close and a new open";
}

// Each new run takes one allocation; when one fails the compare fails and
// keeps no run at all, so no run is ever shorter than its length says.
class compare_out_of_memory : public compare_files, public ::testing::WithParamInterface<int> {};

TEST_P(compare_out_of_memory, fails_and_keeps_no_run) {
    ASSERT_EQ(hx_open(dir.write("a.bin", bytes(1000, 0)).c_str()), 0);
    bytes other(1000, 0);
    for (std::size_t i = 0; i < 1000; i += 10) other[i] = 1;  // 100 runs
    std::string path = dir.write("c.bin", other);
    {
        scoped_alloc_failure limit(GetParam());
        EXPECT_EQ(hx_compare(path.c_str()), -1);
    }
    EXPECT_STREQ(hx_last_error(), "out of memory recording compare runs");
    EXPECT_EQ(hx_compare_count(), 0);
    EXPECT_EQ(hx_compare(path.c_str()), 0) << "the next compare works";
    EXPECT_EQ(hx_compare_count(), 100);
}

INSTANTIATE_TEST_SUITE_P(allocations, compare_out_of_memory, ::testing::Values(0, 1, 57, 99));

// ---- the open file as on disk ------------------------------------------------------

TEST_F(compare_files, staged_edits_play_no_part) {
    std::string p = dir.write("a.bin", kTen);
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    S.edits = static_cast<hv_edit *>(hv_malloc(sizeof(hv_edit)));
    S.cap_edits = 1;
    S.edits[0] = hv_edit{HV_EDIT_DELETE, 0, nullptr, 5};
    S.n_edits = 1;
    S.logical_stale = 1;
    // A copy as the other side: Windows lets no one read a file open for writing.
    EXPECT_EQ(hx_compare(dir.write("same.bin", kTen).c_str()), 0);
    EXPECT_EQ(hx_compare_count(), 0);
    EXPECT_EQ(S.logical, nullptr);
}

// As after an in-place save that failed once the view was released.
TEST_F(compare_files, a_released_view_reads_as_zeros) {
    ASSERT_EQ(hx_open(dir.write("a.bin", bytes(8, 0x44)).c_str()), 0);
    hv_os->unmap(S.view, S.file_size);
    S.view = nullptr;
    EXPECT_EQ(hx_compare(dir.write("c.bin", bytes{0, 5, 0, 0x44, 0, 0, 0, 0, 0, 9}).c_str()), 0);
    EXPECT_EQ(stored_runs(), (runs{{1, "00", "05"}, {3, "00", "44"}, {9, "00", "09"}}));
}

TEST_F(compare_files, comparing_the_open_file_with_itself_finds_nothing) {
    std::string p = dir.write("a.bin", iota_bytes(5000));
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_EQ(hx_compare(p.c_str()), 0);
    EXPECT_EQ(hx_compare_count(), 0);
}

// ---- field queries ---------------------------------------------------------------------

struct field_case {
    const char *name;
    int index;
    const char *field;
    const char *text;
    const char *message;  // the error text afterwards ("earlier" when unchanged)
};

void PrintTo(const field_case &c, std::ostream *os) { *os << c.name; }

class compare_field : public compare_files, public ::testing::WithParamInterface<field_case> {};

TEST_P(compare_field, answers_or_reports) {
    ASSERT_EQ(compare({0x41, 0x42, 0x00, 0x10}, {0x41, 0x43, 0x00, 0x20, 0xee}).size(), 2u);
    hv_err("earlier");
    EXPECT_STREQ(hx_compare_field(GetParam().index, GetParam().field), GetParam().text);
    EXPECT_STREQ(hx_last_error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    fields, compare_field,
    ::testing::Values(field_case{"offset", 0, "offset", "0x0000000000000001", "earlier"},
                      field_case{"this_hex", 1, "this_hex", "1000", "earlier"},
                      field_case{"other_hex", 1, "other_hex", "20ee", "earlier"},
                      field_case{"index_minus_one", -1, "offset", "", "diff index out of range"},
                      field_case{"index_equal_to_count", 2, "offset", "", "diff index out of range"},
                      field_case{"null_field", 0, nullptr, "", "earlier"},
                      field_case{"capitals", 0, "OFFSET", "", "unknown field: OFFSET (offset|this_hex|other_hex)"},
                      field_case{"unknown", 0, "len", "", "unknown field: len (offset|this_hex|other_hex)"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
