#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "analysis/entropy.h"
#include "core/alloc.h"
#include "core/state.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

namespace {

constexpr int64_t kMiB = 1048576;

// The textbook formula with natural logarithms, counted the plainest way.
double reference_entropy(const uint8_t *p, std::size_t n) {
    std::array<uint64_t, 256> count{};
    for (std::size_t i = 0; i < n; i++) count[p[i]]++;
    double h = 0.0;
    for (uint64_t c : count) {
        if (c == 0) continue;
        double q = static_cast<double>(c) / static_cast<double>(n);
        h -= q * std::log(q);
    }
    return h / std::log(2.0);
}

double reference_entropy(const bytes &b) { return reference_entropy(b.data(), b.size()); }

bytes random_bytes(std::size_t n, uint64_t seed = 1) {
    std::mt19937_64 rng(seed);
    bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(rng());
    return b;
}

// Random bytes shared by the sampling tests, made once: 16 MiB + 64.
const bytes &big_random() {
    static const bytes b = random_bytes(16 * kMiB + 64, 99);
    return b;
}

bytes repeated(std::size_t n, uint8_t v) { return bytes(n, v); }

bytes cycle_of(std::size_t n, int period) {
    bytes b(n);
    for (std::size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(i % static_cast<std::size_t>(period));
    return b;
}

// Runs of 17 equal bytes walk across the stride of the interleaved counting.
bytes runs_of(std::size_t n, std::size_t run) {
    bytes b(n);
    for (std::size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(i / run * 37);
    return b;
}

// A file of `size` bytes that holds zeros except for the given pieces; the
// zeros take no room on disk where the file system allows holes.
std::string sparse_file(const temp_dir &dir, const std::string &name, int64_t size,
                        const std::vector<std::pair<int64_t, bytes>> &pieces) {
    std::string p = dir.file(name);
    { std::ofstream create(p, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(p, static_cast<uintmax_t>(size));
    std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
    for (const auto &[offset, data] : pieces) {
        f.seekp(offset);
        f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    return p;
}

std::string fmt4(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    return buf;
}

// ---- hv_entropy_of against the reference -----------------------------------

struct entropy_case {
    const char *name;
    bytes data;
    double exact;  // NAN when only the reference is known
};

void PrintTo(const entropy_case &c, std::ostream *os) { *os << c.name; }

class entropy_of : public ::testing::TestWithParam<entropy_case> {};

TEST_P(entropy_of, matches_the_reference) {
    const entropy_case &c = GetParam();
    double h = hv_entropy_of(c.data.data(), static_cast<int64_t>(c.data.size()));
    EXPECT_NEAR(h, reference_entropy(c.data), 1e-9);
    if (!std::isnan(c.exact)) {
        EXPECT_NEAR(h, c.exact, 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(
    ranges, entropy_of,
    ::testing::Values(entropy_case{"one_byte", {0x41}, 0.0},
                      entropy_case{"one_value_repeated", repeated(100003, 0xee), 0.0},
                      entropy_case{"two_values_alternating", cycle_of(4096, 2), 1.0},
                      entropy_case{"sixteen_values", cycle_of(16, 16), 4.0},
                      entropy_case{"all_256_values_equally", cycle_of(256 * 40, 256), 8.0},
                      entropy_case{"runs_of_17", runs_of(50000, 17), NAN},
                      entropy_case{"random_odd_length", random_bytes(65537), NAN},
                      entropy_case{"skewed", [] {
                                       bytes b = repeated(9999, 0);
                                       b[5] = 1;
                                       b[9998] = 0xff;
                                       return b;
                                   }(),
                                   NAN}),
    [](const auto &info) { return std::string(info.param.name); });

// Every length near the counting stride, so no byte of a short tail is lost.
TEST(entropy_of_lengths, every_length_up_to_70_counts_every_byte) {
    bytes data = random_bytes(70, 5);
    for (std::size_t n = 1; n <= data.size(); n++) {
        uint64_t hist[256] = {};
        hv_count_bytes(data.data(), n, hist);
        std::array<uint64_t, 256> expected{};
        for (std::size_t i = 0; i < n; i++) expected[data[i]]++;
        for (int v = 0; v < 256; v++) ASSERT_EQ(hist[v], expected[v]) << "length " << n << " value " << v;
    }
}

// Debian's `ent` measures the same figure; the test is skipped where it is
// not installed (scripts/test-all installs it).
TEST(entropy_of_files, agrees_with_the_ent_tool) {
    if (std::system("command -v ent >/dev/null 2>&1") != 0) GTEST_SKIP() << "ent is not installed";
    temp_dir dir;
    const std::vector<std::pair<const char *, bytes>> files = {
        {"random.bin", random_bytes(300000, 3)},
        {"text.bin", to_bytes(std::string(2000, 'a') + "the quick brown fox jumps over the lazy dog")},
        {"runs.bin", runs_of(123457, 17)},
    };
    for (const auto &[name, data] : files) {
        std::string path = dir.write(name, data);
        FILE *p = popen(("ent -t '" + path + "'").c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[512];
        double ent_value = -1;
        while (std::fgets(line, sizeof line, p)) {
            long long n = 0;
            if (std::sscanf(line, "1,%lld,%lf", &n, &ent_value) == 2) break;
        }
        pclose(p);
        // ent prints six decimals.
        EXPECT_NEAR(hv_entropy_of(data.data(), static_cast<int64_t>(data.size())), ent_value, 6e-7) << name;
    }
}

// ---- the summary's estimate -------------------------------------------------

struct estimate_case {
    const char *name;
    int64_t size;
    int64_t head_len;    // the head sample is bytes [0, head_len)
    int64_t tail_start;  // the tail sample is [tail_start, size), or -1 for none
};

void PrintTo(const estimate_case &c, std::ostream *os) { *os << c.name; }

class entropy_estimate : public ::testing::TestWithParam<estimate_case> {};

TEST_P(entropy_estimate, samples_the_head_and_the_tail_by_themselves) {
    const estimate_case &c = GetParam();
    const uint8_t *data = big_random().data();
    double expected = reference_entropy(data, static_cast<std::size_t>(c.head_len));
    if (c.tail_start >= 0) {
        double tail = reference_entropy(data + c.tail_start, static_cast<std::size_t>(c.size - c.tail_start));
        expected = (expected + tail) * 0.5;
    }
    EXPECT_NEAR(hv_entropy_estimate(data, c.size), expected, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    sizes, entropy_estimate,
    ::testing::Values(estimate_case{"one_byte", 1, 1, -1},
                      estimate_case{"below_1_MiB", kMiB - 1, kMiB - 1, -1},
                      estimate_case{"exactly_1_MiB", kMiB, kMiB, -1},
                      estimate_case{"just_above_1_MiB", kMiB + 1, kMiB, -1},
                      estimate_case{"exactly_2_MiB_head_only", 2 * kMiB, kMiB, -1},
                      estimate_case{"one_above_2_MiB_head_and_tail", 2 * kMiB + 1, kMiB, kMiB + 1},
                      estimate_case{"3_MiB_and_5", 3 * kMiB + 5, kMiB, 2 * kMiB + 5}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(entropy_estimate_without_bytes, is_zero) {
    EXPECT_EQ(hv_entropy_estimate(nullptr, 0), 0.0);
    EXPECT_EQ(hv_entropy_estimate(nullptr, 5000), 0.0) << "a released view is never read";
}

// ---- the profile ------------------------------------------------------------

struct profile_case {
    const char *name;
    int64_t size;
    int64_t block;  // the expected block length B
};

void PrintTo(const profile_case &c, std::ostream *os) { *os << c.name; }

class entropy_profile : public ::testing::TestWithParam<profile_case> {};

TEST_P(entropy_profile, measures_eight_blocks_from_the_start) {
    const profile_case &c = GetParam();
    const uint8_t *data = big_random().data();
    hv_profile p = hv_entropy_profile(data, c.size);

    double sum = 0, lo = c.block ? 100.0 : 0.0, hi = 0;
    for (int j = 0; j < 8; j++) {
        double h = c.block ? reference_entropy(data + j * c.block, static_cast<std::size_t>(c.block)) : 0.0;
        sum += h;
        lo = std::min(lo, h);
        hi = std::max(hi, h);
    }
    EXPECT_NEAR(p.avg, sum / 8, 1e-12);
    EXPECT_NEAR(p.min, lo, 1e-12);
    EXPECT_NEAR(p.max, hi, 1e-12);
    EXPECT_EQ(p.sampled, 8 * c.block);
    for (int k = 0; k < 16; k++) {
        uint64_t n = 0;
        for (int64_t i = 0; i < 8 * c.block; i++) n += data[i] == 16 * k;
        EXPECT_EQ(p.buckets[k], n) << "bucket " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    sizes, entropy_profile,
    ::testing::Values(profile_case{"seven_bytes", 7, 0}, profile_case{"eight_bytes", 8, 1},
                      profile_case{"1001_bytes", 1001, 125},
                      profile_case{"3_MiB_and_3", 3 * kMiB + 3, (3 * kMiB + 3) / 8},
                      profile_case{"16_MiB_and_7", 16 * kMiB + 7, 2 * kMiB},
                      profile_case{"16_MiB_and_64", 16 * kMiB + 64, 2 * kMiB}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(entropy_profile_without_bytes, reads_nothing_from_a_released_view) {
    hv_profile p = hv_entropy_profile(nullptr, 100000);
    EXPECT_EQ(p.sampled, 0);
    EXPECT_EQ(p.avg, 0.0);
    EXPECT_EQ(p.min, 0.0);
    EXPECT_EQ(p.max, 0.0);
}

// ---- hx_entropy_json texts ---------------------------------------------------

std::string profile_text(const std::string &avg, const std::string &lo, const std::string &hi,
                         const std::string &buckets, long long sampled) {
    return "{\"entropy_avg\":" + avg + ",\"entropy_min\":" + lo + ",\"entropy_max\":" + hi + ",\"buckets\":[" +
           buckets + "],\"sampled_bytes\":" + std::to_string(sampled) + "}";
}

const std::string kNoBuckets = "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";
const std::string kZeroProfile = profile_text("0.0000", "0.0000", "0.0000", kNoBuckets, 0);

struct profile_text_case {
    const char *name;
    std::string (*make)(const temp_dir &);
    std::string expected;
};

void PrintTo(const profile_text_case &c, std::ostream *os) { *os << c.name; }

class entropy_json : public hexview_test, public ::testing::WithParamInterface<profile_text_case> {};

TEST_P(entropy_json, formats_the_profile) {
    ASSERT_EQ(hx_open(GetParam().make(dir).c_str()), 0);
    EXPECT_EQ(std::string(hx_entropy_json()), GetParam().expected);
    EXPECT_STREQ(hx_last_error(), "");
}

std::string file_of(const temp_dir &d, const bytes &b) { return d.write("f.bin", b); }

INSTANTIATE_TEST_SUITE_P(
    files, entropy_json,
    ::testing::Values(
        profile_text_case{"empty_file_fixed_text", [](const temp_dir &d) { return file_of(d, {}); },
                          "{\"entropy_avg\":0.0,\"entropy_min\":0.0,\"entropy_max\":0.0,\"buckets\":[" + kNoBuckets +
                              "],\"sampled_bytes\":0}"},
        profile_text_case{"one_byte", [](const temp_dir &d) { return file_of(d, {0x10}); }, kZeroProfile},
        profile_text_case{"four_bytes", [](const temp_dir &d) { return file_of(d, {0, 1, 2, 3}); }, kZeroProfile},
        profile_text_case{"seven_bytes", [](const temp_dir &d) { return file_of(d, iota_bytes(7)); }, kZeroProfile},
        profile_text_case{"values_0_to_15", [](const temp_dir &d) { return file_of(d, iota_bytes(16)); },
                          profile_text("1.0000", "1.0000", "1.0000", "1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0", 16)},
        profile_text_case{"1000_bytes", [](const temp_dir &d) { return file_of(d, repeated(1000, 0x10)); },
                          profile_text("0.0000", "0.0000", "0.0000", "0,1000,0,0,0,0,0,0,0,0,0,0,0,0,0,0", 1000)},
        profile_text_case{"1001_bytes_last_unsampled",
                          [](const temp_dir &d) {
                              bytes b = repeated(1001, 0x10);
                              b[1000] = 0x20;
                              return file_of(d, b);
                          },
                          profile_text("0.0000", "0.0000", "0.0000", "0,1000,0,0,0,0,0,0,0,0,0,0,0,0,0,0", 1000)},
        profile_text_case{"blocks_differ",
                          [](const temp_dir &d) {
                              // B = 4: block 0 one value, block 1 two, blocks 2..7 four.
                              bytes b = {0xf0, 0xf0, 0xf0, 0xf0, 0x10, 0x10, 0x20, 0x20};
                              for (int j = 2; j < 8; j++)
                                  for (uint8_t v : {0x00, 0x01, 0x02, 0x03}) b.push_back(v);
                              return file_of(d, b);
                          },
                          profile_text("1.6250", "0.0000", "2.0000", "6,2,2,0,0,0,0,0,0,0,0,0,0,0,0,4", 32)},
        profile_text_case{"16_MiB_and_7_last_seven_unsampled",
                          [](const temp_dir &d) {
                              return sparse_file(d, "s.bin", 16 * kMiB + 7, {{16 * kMiB, repeated(7, 0x30)}});
                          },
                          profile_text("0.0000", "0.0000", "0.0000", "16777216,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0",
                                       16 * kMiB)},
        profile_text_case{"100_MiB_only_first_16_MiB_read",
                          [](const temp_dir &d) {
                              return sparse_file(d, "s.bin", 100 * kMiB,
                                                 {{16 * kMiB, repeated(4096, 0x40)}, {100 * kMiB - 1, {0x50}}});
                          },
                          profile_text("0.0000", "0.0000", "0.0000", "16777216,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0",
                                       16 * kMiB)}),
    [](const auto &info) { return std::string(info.param.name); });

using reports = hexview_test;

TEST_F(reports, empty_file_profile_is_117_characters) {
    ASSERT_EQ(hx_open(dir.write("e.bin", bytes{}).c_str()), 0);
    EXPECT_EQ(std::strlen(hx_entropy_json()), 117u);
}

TEST_F(reports, no_file_open) {
    EXPECT_STREQ(hx_info_json(), "");
    EXPECT_STREQ(hx_last_error(), "no file open");
    hx_close();
    EXPECT_STREQ(hx_entropy_json(), "");
    EXPECT_STREQ(hx_last_error(), "no file open");
}

TEST_F(reports, a_failed_report_empties_its_buffer) {
    ASSERT_EQ(hx_open(dir.write("f.bin", iota_bytes(16)).c_str()), 0);
    const char *info = hx_info_json();
    const char *profile = hx_entropy_json();
    ASSERT_STRNE(info, "");
    hx_close();
    EXPECT_EQ(hx_info_json(), info) << "one buffer per function and thread";
    EXPECT_STREQ(info, "");
    EXPECT_EQ(hx_entropy_json(), profile);
    EXPECT_STREQ(profile, "");
}

// ---- hx_info_json texts --------------------------------------------------------

// A temporary path as the summary shows it: a Windows path has backslashes.
std::string shown_path(const std::string &path) {
    std::string escaped;
    for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
}

// `name` is given escaped.
std::string info_text(const std::string &name, long long size, int rw, const std::string &entropy, int modified,
                      long long staged) {
    return "{\"name\":\"" + name + "\",\"size\":" + std::to_string(size) + ",\"is_rw\":" + std::to_string(rw) +
           ",\"entropy_avg\":" + entropy + ",\"modified\":" + std::to_string(modified) +
           ",\"staged_bytes\":" + std::to_string(staged) + "}";
}

TEST_F(reports, summary_of_an_empty_file) {
    std::string p = dir.write("e.bin", bytes{});
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_EQ(std::string(hx_info_json()), info_text(shown_path(p), 0, 0, "0.0000", 0, 0));
}

TEST_F(reports, summary_measures_a_small_file_whole_and_shows_the_mode) {
    std::string p = dir.write("f.bin", iota_bytes(16));
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_EQ(std::string(hx_info_json()), info_text(shown_path(p), 16, 0, "4.0000", 0, 0));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    EXPECT_EQ(std::string(hx_info_json()), info_text(shown_path(p), 16, 1, "4.0000", 0, 0));
}

#ifndef _WIN32
TEST_F(reports, summary_escapes_the_name) {
    std::string p = dir.write("q\"b\\s\x01.bin", bytes{1, 2});
    ASSERT_EQ(hx_open(p.c_str()), 0);
    std::string escaped = dir.path() + "/q\\\"b\\\\s\\u0001.bin";
    EXPECT_EQ(std::string(hx_info_json()), info_text(escaped, 2, 0, "1.0000", 0, 0));
}
#else
// Windows names cannot hold these characters: the name the summary shows is
// set directly.
TEST_F(reports, summary_escapes_the_name) {
    ASSERT_EQ(hx_open(dir.write("f.bin", bytes{1, 2}).c_str()), 0);
    hv_free(S.name);
    S.name = hv_strdup("C:\\q\"b\x01.bin");
    EXPECT_EQ(std::string(hx_info_json()), info_text("C:\\\\q\\\"b\\u0001.bin", 2, 0, "1.0000", 0, 0));
}
#endif

// A path whose escaped form nearly fills the buffer used to leave a text cut
// at 4095 characters, which is no JSON: the path is shortened instead, at a
// whole escape and no more than needed, and the members after it stay whole.
// A path that fits is shown whole.
constexpr char kSummaryTail[] = "\",\"size\":1,\"is_rw\":0,\"entropy_avg\":0.0000,\"modified\":0,\"staged_bytes\":0}";
constexpr char kSummaryHead[] = "{\"name\":\"";
constexpr std::size_t kRoomForName = 4095 - (sizeof kSummaryHead - 1) - (sizeof kSummaryTail - 1);

struct long_name_case {
    const char *name;
    std::string unit;     // one character of the path
    std::string escaped;  // and how the summary shows it
    std::size_t count;    // characters in the path
};

void PrintTo(const long_name_case &c, std::ostream *os) { *os << c.name; }

class summary_with_a_long_name : public hexview_test, public ::testing::WithParamInterface<long_name_case> {};

TEST_P(summary_with_a_long_name, keeps_the_object_whole) {
    const long_name_case &c = GetParam();
    ASSERT_EQ(hx_open(dir.write("f.bin", bytes{1}).c_str()), 0);
    std::string path, whole;
    for (std::size_t i = 0; i < c.count; i++) {
        path += c.unit;
        whole += c.escaped;
    }
    hv_free(S.name);
    S.name = hv_strdup(path.c_str());
    std::string text = hx_info_json();
    const std::size_t head = std::strlen(kSummaryHead), tail = std::strlen(kSummaryTail);
    ASSERT_LE(text.size(), 4095u);
    ASSERT_EQ(text.rfind(kSummaryHead, 0), 0u) << text;
    ASSERT_EQ(text.substr(text.size() - tail), kSummaryTail) << text;
    std::string shown = text.substr(head, text.size() - head - tail);
    if (whole.size() <= kRoomForName) {
        EXPECT_EQ(shown, whole);
    } else {
        EXPECT_EQ(whole.rfind(shown, 0), 0u) << "a prefix of the escaped path";
        EXPECT_EQ(shown.size() % c.escaped.size(), 0u) << "whole escapes only";
        EXPECT_GT(shown.size() + 8 + c.escaped.size(), kRoomForName) << "shortened no more than needed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    reports, summary_with_a_long_name,
    ::testing::Values(long_name_case{"fits_exactly", "n", "n", kRoomForName},
                      long_name_case{"one_too_long", "n", "n", kRoomForName + 1},
                      long_name_case{"plain_5000", "n", "n", 5000},
                      long_name_case{"control_bytes", "\x01", "\\u0001", 1000},
                      long_name_case{"quotes", "\"", "\\\"", 3000}),
    [](const auto &info) { return std::string(info.param.name); });

#ifndef _WIN32
// The same through a real path that the system opens (Windows takes no control
// bytes in names).
TEST_F(reports, summary_of_a_deep_path_full_of_control_bytes_is_json) {
    std::string folders;
    for (int depth = 0; depth < 4; depth++) folders += "/" + std::string(200, '\x01');
    std::filesystem::create_directories(dir.path() + folders);
    std::string p = dir.write(folders.substr(1) + "/f.bin", bytes{1});
    ASSERT_EQ(hx_open(p.c_str()), 0);
    std::string text = hx_info_json();
    EXPECT_LE(text.size(), 4095u);
    EXPECT_EQ(text.substr(text.size() - std::strlen(kSummaryTail)), kSummaryTail) << text;
}
#endif

// The first 1 MiB is all zeros; from 1 MiB + 1 on, each of the 256 values
// occurs 4096 times, so the tail sample alone has entropy 8.
TEST_F(reports, summary_samples_the_tail_only_above_2_MiB) {
    bytes b = repeated(2 * kMiB + 1, 0);
    b[kMiB] = 0x77;
    for (int64_t i = kMiB + 1; i < 2 * kMiB + 1; i++) b[i] = static_cast<uint8_t>(i);
    std::string at_2_mib = dir.write("a.bin", bytes(b.begin(), b.end() - 1));
    std::string above = dir.write("b.bin", b);
    ASSERT_EQ(hx_open(at_2_mib.c_str()), 0);
    EXPECT_NE(std::string(hx_info_json()).find("\"entropy_avg\":0.0000,"), std::string::npos);
    ASSERT_EQ(hx_open(above.c_str()), 0);
    EXPECT_NE(std::string(hx_info_json()).find("\"entropy_avg\":4.0000,"), std::string::npos);
}

// Appends an edit record as staging does; only its kind and length matter here.
void stage(int32_t kind, int64_t offset, int64_t len) {
    if (S.n_edits == S.cap_edits) {
        S.cap_edits = S.cap_edits ? S.cap_edits * 2 : 64;
        S.edits = static_cast<hv_edit *>(hv_realloc(S.edits, sizeof(hv_edit) * static_cast<std::size_t>(S.cap_edits)));
    }
    uint8_t *data = nullptr;
    if (kind != HV_EDIT_DELETE) {
        data = static_cast<uint8_t *>(hv_malloc(static_cast<std::size_t>(len)));
        std::memset(data, 0xab, static_cast<std::size_t>(len));
    }
    S.edits[S.n_edits++] = hv_edit{kind, offset, data, len};
    S.logical_stale = 1;
}

TEST_F(reports, staged_edits_show_in_size_and_counts_but_never_in_entropy) {
    std::string p = dir.write("f.bin", random_bytes(100, 8));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    std::string before = hx_info_json();
    std::string profile = hx_entropy_json();
    std::string entropy = "\"entropy_avg\":" + fmt4(reference_entropy(random_bytes(100, 8)));
    EXPECT_NE(before.find(entropy), std::string::npos);
    stage(HV_EDIT_INSERT, 0, 4);
    stage(HV_EDIT_DELETE, 50, 10);
    std::string after = hx_info_json();
    EXPECT_NE(after.find("\"size\":94,"), std::string::npos) << after;
    EXPECT_NE(after.find(entropy + ",\"modified\":1,\"staged_bytes\":14}"), std::string::npos) << after;
    EXPECT_EQ(hx_entropy_json(), profile);
    stage(HV_EDIT_WRITE, 3, 5);
    EXPECT_NE(std::string(hx_info_json()).find("\"staged_bytes\":19}"), std::string::npos);
    EXPECT_EQ(S.logical, nullptr) << "the reports never build the logical content";
}

TEST_F(reports, staged_bytes_stop_at_the_largest_value) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(8)).c_str()), 0);
    stage(HV_EDIT_DELETE, 0, INT64_MAX);
    stage(HV_EDIT_DELETE, 0, INT64_MAX);
    std::string text = hx_info_json();
    EXPECT_NE(text.find("\"size\":0,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"staged_bytes\":9223372036854775807}"), std::string::npos) << text;
}

// As after an in-place save that failed once the view was released: the file
// still counts as open with its old size, and no byte of it can be read.
TEST_F(reports, a_released_view_reports_no_sampled_bytes) {
    std::string p = dir.write("f.bin", random_bytes(5000, 4));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    hv_os->unmap(S.view, S.file_size);
    S.view = nullptr;
    EXPECT_EQ(std::string(hx_info_json()), info_text(shown_path(p), 5000, 1, "0.0000", 0, 0));
    EXPECT_EQ(std::string(hx_entropy_json()), kZeroProfile);
}

TEST_F(reports, success_leaves_the_error_text) {
    ASSERT_EQ(hx_open(dir.write("f.bin", iota_bytes(16)).c_str()), 0);
    EXPECT_EQ(hx_open(nullptr), -1);
    EXPECT_STRNE(hx_info_json(), "");
    EXPECT_STRNE(hx_entropy_json(), "");
    EXPECT_STREQ(hx_last_error(), "NULL path");
}

}  // namespace
