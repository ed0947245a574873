// The fast scan against a plain reference scan written here, over many random
// and adversarial inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "search/scan.h"
#include "search/two_way.h"
#include "support/test_support.h"

namespace {

using offsets = std::vector<int64_t>;

// The written algorithm, as plain as possible: every hit, left to right, the
// next candidate right after a hit.
offsets reference_scan(const bytes &data, int64_t start, const bytes &pat, const bytes &mask) {
    offsets hits;
    const int64_t len = static_cast<int64_t>(pat.size());
    const int64_t last = static_cast<int64_t>(data.size()) - len;
    int64_t p = start < 0 ? 0 : start;
    while (p <= last) {
        bool hit = true;
        for (int64_t i = 0; i < len && hit; i++) hit = mask[i] == 0 || data[p + i] == pat[i];
        p += hit ? len : 1;
        if (hit) hits.push_back(p - len);
    }
    return hits;
}

struct scan_result {
    offsets stored;
    int64_t count;
    int64_t last;
};

// The data is copied into a block of exactly its size, so the sanitizer run
// catches any read past the end.
scan_result fast_scan(const bytes &data, int64_t start, const bytes &pat, const bytes &mask, int64_t room) {
    std::unique_ptr<uint8_t[]> block(data.empty() ? nullptr : new uint8_t[data.size()]);
    if (!data.empty()) std::memcpy(block.get(), data.data(), data.size());
    offsets stored(static_cast<std::size_t>(room) + 1, -99);
    hv_scan_hits hits{stored.data(), room, -5, -5};
    hv_scan(block.get(), static_cast<int64_t>(data.size()), start, pat.data(), mask.data(),
            static_cast<int64_t>(pat.size()), hits);
    EXPECT_EQ(stored[static_cast<std::size_t>(room)], -99) << "wrote past the room";
    stored.resize(static_cast<std::size_t>(std::min(hits.count, room)));
    return {stored, hits.count, hits.last};
}

void expect_same_hits(const bytes &data, int64_t start, const bytes &pat, const bytes &mask, int64_t room,
                      const std::string &what) {
    offsets want = reference_scan(data, start, pat, mask);
    scan_result got = fast_scan(data, start, pat, mask, room);
    offsets want_stored(want.begin(), want.begin() + std::min<int64_t>(room, static_cast<int64_t>(want.size())));
    ASSERT_EQ(got.count, static_cast<int64_t>(want.size())) << what;
    ASSERT_EQ(got.stored, want_stored) << what;
    ASSERT_EQ(got.last, want.empty() ? -1 : want.back()) << what;
}

std::string describe(const bytes &data, int64_t start, const bytes &pat, const bytes &mask) {
    std::string s = "data(" + std::to_string(data.size()) + ")=";
    for (std::size_t i = 0; i < data.size() && i < 64; i++) s += std::to_string(data[i]) + ",";
    s += " start=" + std::to_string(start) + " pattern=";
    for (std::size_t i = 0; i < pat.size(); i++) s += mask[i] ? std::to_string(pat[i]) + "," : "??,";
    return s;
}

// One family of random inputs.
struct family {
    const char *name;
    int alphabet;           // data bytes are 0..alphabet-1 (256: any byte)
    int max_size;
    int period;             // > 0: the data repeats a random unit of this length
    double mutate;          // chance that a byte of periodic data is changed
    int max_pattern;
    double wildcard;        // chance that a pattern byte is a wildcard
    bool pattern_from_data; // take the pattern from the data, so it hits
};

void PrintTo(const family &f, std::ostream *os) { *os << f.name; }

class scan_differential : public ::testing::TestWithParam<family> {};

bytes random_data(std::mt19937_64 &rng, const family &f) {
    std::size_t n = static_cast<std::size_t>(rng() % static_cast<uint64_t>(f.max_size + 1));
    auto byte = [&] { return static_cast<uint8_t>(rng() % static_cast<uint64_t>(f.alphabet)); };
    bytes unit(static_cast<std::size_t>(std::max(f.period, 1)));
    for (auto &b : unit) b = byte();
    std::bernoulli_distribution mutate(f.mutate);
    bytes data(n);
    for (std::size_t i = 0; i < n; i++) {
        data[i] = f.period > 0 ? unit[i % unit.size()] : byte();
        if (f.period > 0 && mutate(rng)) data[i] = byte();
    }
    return data;
}

void random_pattern(std::mt19937_64 &rng, const family &f, const bytes &data, bytes &pat, bytes &mask) {
    std::size_t len = 1 + static_cast<std::size_t>(rng() % static_cast<uint64_t>(f.max_pattern));
    pat.assign(len, 0);
    mask.assign(len, 0xff);
    bool from_data = f.pattern_from_data && data.size() >= len;
    std::size_t at = from_data ? static_cast<std::size_t>(rng() % (data.size() - len + 1)) : 0;
    for (std::size_t i = 0; i < len; i++)
        pat[i] = from_data ? data[at + i] : static_cast<uint8_t>(rng() % static_cast<uint64_t>(f.alphabet));
    std::bernoulli_distribution wild(f.wildcard);
    for (std::size_t i = 0; i < len; i++)
        if (wild(rng)) {
            mask[i] = 0;
            pat[i] = 0;
        }
}

int64_t random_start(std::mt19937_64 &rng, int64_t size, int64_t len) {
    switch (rng() % 8) {
        case 0: return -1 - static_cast<int64_t>(rng() % 100);
        case 1: return INT64_MIN;
        case 2: return size - len;
        case 3: return size - len + 1;
        case 4: return size + static_cast<int64_t>(rng() % 10);
        case 5: return INT64_MAX;
        default: return size > 0 ? static_cast<int64_t>(rng() % static_cast<uint64_t>(size)) : 0;
    }
}

TEST_P(scan_differential, matches_the_reference_scan) {
    const family &f = GetParam();
    std::mt19937_64 rng(std::hash<std::string>{}(f.name));
    const int64_t rooms[] = {1, 3, 10000};
    for (int round = 0; round < 400; round++) {
        bytes data = random_data(rng, f);
        bytes pat, mask;
        random_pattern(rng, f, data, pat, mask);
        int64_t room = rooms[rng() % 3];
        for (int64_t start : {int64_t{0}, random_start(rng, static_cast<int64_t>(data.size()),
                                                       static_cast<int64_t>(pat.size()))}) {
            expect_same_hits(data, start, pat, mask, room, describe(data, start, pat, mask));
            if (HasFatalFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    families, scan_differential,
    ::testing::Values(
        family{"binary_literal", 2, 300, 0, 0, 12, 0, true},
        family{"binary_wildcards", 2, 300, 0, 0, 12, 0.3, true},
        family{"ternary_literal", 3, 400, 0, 0, 20, 0, true},
        family{"ternary_wildcards", 3, 400, 0, 0, 20, 0.4, false},
        family{"bytes_literal", 256, 500, 0, 0, 8, 0, true},
        family{"bytes_wildcards", 256, 500, 0, 0, 8, 0.5, true},
        family{"bytes_absent_pattern", 256, 500, 0, 0, 6, 0, false},
        family{"one_byte_patterns", 4, 600, 0, 0, 1, 0, true},
        family{"one_value_data", 1, 300, 0, 0, 40, 0.2, true},
        family{"all_wildcards", 4, 200, 0, 0, 9, 1.0, true},
        family{"periodic_ab", 2, 700, 2, 0, 60, 0, true},
        family{"periodic_mutated", 2, 700, 5, 0.02, 60, 0, true},
        family{"periodic_wildcards", 3, 700, 7, 0.01, 60, 0.2, true},
        family{"periodic_long_patterns", 4, 3000, 13, 0.001, 400, 0, true},
        family{"self_overlapping", 2, 800, 1, 0.01, 80, 0, true}),
    [](const ::testing::TestParamInfo<family> &info) { return std::string(info.param.name); });

bytes repeat(const std::string &unit, std::size_t n) {
    bytes out;
    out.reserve(n);
    while (out.size() < n) out.push_back(static_cast<uint8_t>(unit[out.size() % unit.size()]));
    return out;
}

bytes literal_mask(const bytes &pat) { return bytes(pat.size(), 0xff); }

// Adversarial inputs large enough that verification becomes costly: the
// filter changes an anchor, or the Two-Way path takes over and hands back.
// Hits are planted all along.
// The data is made when the test runs: large blocks freed during start-up would
// change how the heap serves later tests.
struct adversary {
    const char *name;
    bytes (*make_data)();
    bytes pat;
    bytes mask;
};

void PrintTo(const adversary &a, std::ostream *os) { *os << a.name; }

bytes plant(bytes data, const bytes &what, std::size_t every, std::size_t first) {
    for (std::size_t at = first; at + what.size() <= data.size(); at += every)
        std::copy(what.begin(), what.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
    return data;
}

// (ab)^8 "bb" (ab)^8: its end bytes agree with every other offset of
// "abab..." and the first mismatch lies in the middle.
const std::string kBrokenAb = "abababababababab" "bb" "abababababababab";
// (aab)^6 "abb" (aab)^6: likewise over "aabaab...".
const std::string kBrokenAab = "aabaabaabaabaabaab" "abb" "aabaabaabaabaabaab";

const std::string kShortRuns = std::string(19, 'a') + "b";

std::vector<adversary> adversaries() {
    std::vector<adversary> list;
    bytes ab = to_bytes(kBrokenAb);
    bytes wild = ab;
    bytes mask = literal_mask(ab);
    wild[5] = mask[5] = 0;  // the longest literal run is the part after the wildcard
    list.push_back({"periodic_ab", [] { return plant(repeat("ab", 3 << 20), to_bytes(kBrokenAb), 700001, 12345); },
                    ab, literal_mask(ab)});
    list.push_back({"periodic_aab", [] { return plant(repeat("aab", 3 << 20), to_bytes(kBrokenAab), 600011, 5); },
                    to_bytes(kBrokenAab), literal_mask(to_bytes(kBrokenAab))});
    list.push_back({"periodic_ab_wildcard",
                    [] { return plant(repeat("ab", 3 << 20), to_bytes(kBrokenAb), 500003, 777); }, wild, mask});
    // Forty a over runs of nineteen a: candidates fail at every position of the
    // pattern in turn, so no change of anchor helps and Two-Way takes over.
    bytes run = to_bytes(std::string(40, 'a'));
    bytes run_wild = run;
    bytes run_mask = literal_mask(run);
    run_wild[20] = run_mask[20] = 0;
    list.push_back({"short_runs", [] { return plant(repeat(kShortRuns, 3 << 20), to_bytes(std::string(40, 'a')), 700001, 9); },
                    run, literal_mask(run)});
    list.push_back({"short_runs_wildcard",
                    [] { return plant(repeat(kShortRuns, 3 << 20), to_bytes(std::string(40, 'a')), 300007, 1); },
                    run_wild, run_mask});
    return list;
}

class scan_adversarial : public ::testing::TestWithParam<adversary> {};

TEST_P(scan_adversarial, matches_the_reference_scan) {
    const adversary &a = GetParam();
    const bytes data = a.make_data();
    for (int64_t start : {int64_t{0}, int64_t{1}, int64_t{1 << 20}})
        expect_same_hits(data, start, a.pat, a.mask, 10000, a.name);
}

INSTANTIATE_TEST_SUITE_P(inputs, scan_adversarial, ::testing::ValuesIn(adversaries()),
                         [](const ::testing::TestParamInfo<adversary> &info) { return std::string(info.param.name); });

TEST(scan_worst_case, long_zero_pattern_ending_in_01_over_zeros) {
    // 4095 zero bytes and 01: hits end exactly at each planted 01.
    bytes pat(4096, 0);
    pat[4095] = 1;
    bytes data(8 << 20, 0);
    offsets want;
    for (std::size_t q = 5000; q < data.size(); q += 1000003) {
        data[q] = 1;
        want.push_back(static_cast<int64_t>(q) - 4095);
    }
    scan_result got = fast_scan(data, 0, pat, literal_mask(pat), 10000);
    EXPECT_EQ(got.stored, want);
    EXPECT_EQ(got.count, static_cast<int64_t>(want.size()));
    EXPECT_EQ(got.last, want.back());
}

TEST(scan_dense, one_byte_pattern_counts_every_byte_beyond_the_stored_ones) {
    bytes data(100003, 0);
    data[50000] = 7;
    scan_result got = fast_scan(data, 0, {0}, {0xff}, 10000);
    EXPECT_EQ(got.count, 100002);
    EXPECT_EQ(got.last, 100002);
    ASSERT_EQ(got.stored.size(), 10000u);
    EXPECT_EQ(got.stored.back(), 9999);
}

// The scan goes over the candidates a few MiB at a time (so a file that
// shrinks under it can stop it): no candidate is lost where two stretches meet.
TEST(scan_dense, one_byte_pattern_counts_every_byte_across_the_scans_stretches) {
    bytes data((9 << 20) + 3, 0);
    data[5 << 20] = 7;
    scan_result got = fast_scan(data, 1, {0}, {0xff}, 10000);
    EXPECT_EQ(got.count, static_cast<int64_t>(data.size()) - 2);
    EXPECT_EQ(got.last, static_cast<int64_t>(data.size()) - 1);
}

TEST(scan_dense, wildcards_only_need_no_data) {
    // Nothing is read: a null block of a huge size is never touched.
    int64_t stored[4];
    hv_scan_hits hits{stored, 4, 0, -1};
    const uint8_t pat[3] = {0, 0, 0};
    const uint8_t mask[3] = {0, 0, 0};
    hv_scan(nullptr, (int64_t{1} << 40) + 2, 5, pat, mask, 3, hits);
    EXPECT_EQ(hits.count, 366503875924);  // 5, 8, ..., 2^40 - 2
    EXPECT_EQ(hits.last, 1099511627774);
    EXPECT_EQ(stored[3], 14);
}

// Two-Way on its own: the leftmost occurrence at or after each start.
TEST(two_way, finds_the_leftmost_occurrence_from_every_start) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 3000; round++) {
        int alphabet = 1 + static_cast<int>(rng() % 3);
        int64_t m = 1 + static_cast<int64_t>(rng() % 24);
        int64_t n = static_cast<int64_t>(rng() % 160);
        bytes needle(static_cast<std::size_t>(m)), hay(static_cast<std::size_t>(n));
        for (auto &b : needle) b = static_cast<uint8_t>('a' + rng() % static_cast<uint64_t>(alphabet));
        for (auto &b : hay) b = static_cast<uint8_t>('a' + rng() % static_cast<uint64_t>(alphabet));
        if (n >= m && rng() % 2) {  // plant the needle so longer ones occur too
            std::size_t at = static_cast<std::size_t>(rng() % static_cast<uint64_t>(n - m + 1));
            std::copy(needle.begin(), needle.end(), hay.begin() + static_cast<std::ptrdiff_t>(at));
        }
        std::vector<bool> occurs(static_cast<std::size_t>(n) + 1, false);
        for (int64_t s = 0; s + m <= n; s++)
            occurs[static_cast<std::size_t>(s)] = std::equal(needle.begin(), needle.end(), hay.begin() + s);
        hv_two_way tw = hv_two_way_make(needle.data(), m);
        for (int64_t from = -1; from <= n + 1; from++) {
            int64_t want = -1;
            for (int64_t s = std::max<int64_t>(from, 0); s <= n && want < 0; s++)
                if (occurs[static_cast<std::size_t>(s)]) want = s;
            ASSERT_EQ(hv_two_way_find(tw, hay.data(), n, from), want)
                << std::string(needle.begin(), needle.end()) << " in " << std::string(hay.begin(), hay.end())
                << " from " << from;
        }
    }
}

}  // namespace
