// The pattern search over 256 MiB, each case beside memchr over the same bytes
// measured in the same run: a walk over every occurrence of one byte value in
// the random file, and a single pass for an absent byte over zeros and over
// periodic data made in memory.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench_files.h"
#include "core/state.h"
#include "quillmar_hexview.h"
#include "search/scan.h"
#include "search/search.h"

namespace {

void search_file(benchmark::State &state, const std::string &path, const char *mode, const std::string &pattern,
                 int32_t expect_at_most) {
    hx_open(path.c_str());
    for (auto _ : state) {
        if (hx_search(mode, pattern.c_str(), 0) != 0) state.SkipWithError(hx_last_error());
        benchmark::DoNotOptimize(s_n_matches);
    }
    if (hx_search_count() > expect_at_most) state.SkipWithError("unexpected hits");
    state.counters["hits"] = static_cast<double>(s_n_matches);
    state.SetBytesProcessed(state.iterations() * S.file_size);
    hx_close();
}

std::string hex_pattern(int zeros, const char *tail) {
    std::string s;
    for (int i = 0; i < zeros; i++) s += "00";
    return s + tail;
}

void BM_search_ascii_random(benchmark::State &s) {
    search_file(s, bench_random_file(kBenchFileSize), "ascii", "quillmar", 1);
}

void BM_search_hex_random(benchmark::State &s) {
    search_file(s, bench_random_file(kBenchFileSize), "hex", "de ad be ef 13 37", 1);
}

void BM_search_wildcard_random(benchmark::State &s) {
    search_file(s, bench_random_file(kBenchFileSize), "hex", "4d 5a ?? ?? 50 45 ?? 00", 10);
}

// 4095 zero bytes and 01 over zeros: quadratic for a first-byte skip scan.
void BM_search_worst_case_zeros(benchmark::State &s) {
    search_file(s, bench_zero_file(kBenchFileSize), "hex", hex_pattern(4095, "01"), 0);
}

// Every byte is a hit: counted, not stored, beyond the first 10000.
void BM_search_one_byte_every_byte_zeros(benchmark::State &s) {
    search_file(s, bench_zero_file(kBenchFileSize), "hex", "00", INT32_MAX);
}

// Every byte of the random file, walked with memchr for one value.
void BM_memchr_walk_random(benchmark::State &state) {
    hx_open(bench_random_file(kBenchFileSize).c_str());
    const uint8_t *end = S.view + S.file_size;
    for (auto _ : state) {
        int64_t n = 0;
        for (const uint8_t *p = S.view; p < end; p++, n++) {
            p = static_cast<const uint8_t *>(std::memchr(p, 0x5a, static_cast<std::size_t>(end - p)));
            if (!p) break;
        }
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(state.iterations() * S.file_size);
    hx_close();
}

void memchr_absent(benchmark::State &state, const uint8_t *data, int64_t size, uint8_t absent) {
    for (auto _ : state) benchmark::DoNotOptimize(std::memchr(data, absent, static_cast<std::size_t>(size)));
    state.SetBytesProcessed(state.iterations() * size);
}

void BM_memchr_zeros(benchmark::State &state) {
    hx_open(bench_zero_file(kBenchFileSize).c_str());
    memchr_absent(state, S.view, S.file_size, 0x01);
    hx_close();
}

// 256 MiB repeating `unit`, made once in memory.
const std::vector<uint8_t> &repeated(const std::string &unit) {
    static std::map<std::string, std::vector<uint8_t>> made;
    std::vector<uint8_t> &d = made[unit];
    if (d.empty()) {
        d.resize(static_cast<std::size_t>(kBenchFileSize));
        for (std::size_t i = 0; i < d.size(); i++) d[i] = static_cast<uint8_t>(unit[i % unit.size()]);
    }
    return d;
}

void scan_memory(benchmark::State &state, const std::vector<uint8_t> &data, const std::string &pat) {
    const std::vector<uint8_t> mask(pat.size(), 0xff);
    std::vector<int64_t> stored(10000);
    for (auto _ : state) {
        hv_scan_hits hits{stored.data(), 10000, 0, -1};
        hv_scan(data.data(), static_cast<int64_t>(data.size()), 0, reinterpret_cast<const uint8_t *>(pat.data()),
                mask.data(), static_cast<int64_t>(pat.size()), hits);
        benchmark::DoNotOptimize(hits.count);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}

const std::string kAb = "ab";
const std::string kShortRuns = std::string(19, 'a') + "b";

// (ab)^8 "bb" (ab)^8 over "abab...": both end bytes agree with every other
// offset and each candidate fails in the middle, until the filter takes the
// failing position as an anchor.
void BM_search_periodic_ab(benchmark::State &state) {
    scan_memory(state, repeated(kAb), "abababababababab" "bb" "abababababababab");
}

// Forty a over runs of nineteen a: candidates fail at every position in turn,
// so the Two-Way path does the work.
void BM_search_periodic_short_runs(benchmark::State &state) {
    scan_memory(state, repeated(kShortRuns), std::string(40, 'a'));
}

void BM_memchr_periodic_ab(benchmark::State &state) {
    const std::vector<uint8_t> &data = repeated(kAb);
    memchr_absent(state, data.data(), static_cast<int64_t>(data.size()), 'c');
}

void BM_memchr_periodic_short_runs(benchmark::State &state) {
    const std::vector<uint8_t> &data = repeated(kShortRuns);
    memchr_absent(state, data.data(), static_cast<int64_t>(data.size()), 'c');
}

}  // namespace

BENCHMARK(BM_memchr_walk_random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_search_ascii_random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_search_hex_random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_search_wildcard_random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_memchr_zeros)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_search_worst_case_zeros)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_search_one_byte_every_byte_zeros)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_memchr_periodic_ab)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_search_periodic_ab)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_memchr_periodic_short_runs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_search_periodic_short_runs)->Unit(benchmark::kMillisecond);
