// The entropy reports and the file compare on 256 MiB files, each beside a
// baseline measured in the same run: memcmp of the same two files for the
// compare, a plain one-table byte count and memchr for the entropy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "analysis/entropy.h"
#include "bench_files.h"
#include "core/state.h"
#include "platform/os.h"
#include "quillmar_hexview.h"

namespace {

constexpr int64_t kProfileBytes = 16ll << 20;  // what the profile reads at most

// A copy of the random benchmark file changed by `mutate`,
// made once in the temporary folder and reused.
std::string derived_file(const char *kind, void (*mutate)(std::vector<uint8_t> &chunk, int64_t at)) {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("hexview-bench-analysis-" + std::string(kind) + "-" + std::to_string(kBenchFileSize) + ".bin"))
                           .string();
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) == static_cast<uintmax_t>(kBenchFileSize)) return path;
    FILE *in = std::fopen(bench_random_file(kBenchFileSize).c_str(), "rb");
    FILE *out = std::fopen(path.c_str(), "wb");
    if (!in || !out) std::abort();
    std::vector<uint8_t> chunk(1 << 20);
    for (int64_t at = 0; at < kBenchFileSize; at += static_cast<int64_t>(chunk.size())) {
        if (std::fread(chunk.data(), 1, chunk.size(), in) != chunk.size()) std::abort();
        mutate(chunk, at);
        std::fwrite(chunk.data(), 1, chunk.size(), out);
    }
    std::fclose(in);
    std::fclose(out);
    return path;
}

const std::string &identical_file() {
    static const std::string p = derived_file("identical", [](std::vector<uint8_t> &, int64_t) {});
    return p;
}

// A thousand single-byte differences at random offsets.
const std::string &scattered_file() {
    static const std::string p = derived_file("scattered", [](std::vector<uint8_t> &chunk, int64_t at) {
        static std::vector<int64_t> offsets = [] {
            std::mt19937_64 rng(11);
            std::vector<int64_t> o(1000);
            for (auto &x : o) x = static_cast<int64_t>(rng() % static_cast<uint64_t>(kBenchFileSize));
            return o;
        }();
        for (int64_t o : offsets)
            if (o >= at && o < at + static_cast<int64_t>(chunk.size())) chunk[static_cast<size_t>(o - at)] ^= 0xff;
    });
    return p;
}

// 32 MiB that differ at every byte, from the middle of the file on.
const std::string &long_region_file() {
    static const std::string p = derived_file("region", [](std::vector<uint8_t> &chunk, int64_t at) {
        if (at >= (128ll << 20) && at < (160ll << 20))
            for (auto &b : chunk) b ^= 0xff;
    });
    return p;
}

// The other file of a memcmp, mapped the way the compare maps it.
struct mapped {
    uint8_t *view = nullptr;
    int64_t size = 0;
    explicit mapped(const std::string &path) {
        hv_handle h = hv_os->open_read(path.c_str());
        if (h == HV_NO_HANDLE || !hv_os->file_size(h, &size) || hv_os->map(h, size, false, &view) != HV_MAP_OK)
            std::abort();
        hv_os->close(h);
    }
    ~mapped() { hv_os->unmap(view, size); }
};

void BM_memcmp_identical_files(benchmark::State &state) {
    hx_open(bench_random_file(kBenchFileSize).c_str());
    mapped other(identical_file());
    for (auto _ : state) benchmark::DoNotOptimize(std::memcmp(S.view, other.view, static_cast<size_t>(S.file_size)));
    state.SetBytesProcessed(state.iterations() * S.file_size);
    hx_close();
}

// The same bytes with the mapping of the other file made anew each time, as
// every compare does: the page-table work of a fresh 256 MiB view is part of
// the cost, and it depends on how the kernel holds each file in its cache.
// memcmp goes in 4 KiB pieces so that it reads past a difference too.
void map_and_memcmp(benchmark::State &state, const std::string &path) {
    hx_open(bench_random_file(kBenchFileSize).c_str());
    constexpr size_t kPiece = 4096;
    for (auto _ : state) {
        mapped other(path);
        int sum = 0;
        for (size_t at = 0; at < static_cast<size_t>(S.file_size); at += kPiece)
            sum |= std::memcmp(S.view + at, other.view + at, kPiece);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * S.file_size);
    hx_close();
}

void BM_map_and_memcmp_identical_files(benchmark::State &s) { map_and_memcmp(s, identical_file()); }
void BM_map_and_memcmp_scattered_differences(benchmark::State &s) { map_and_memcmp(s, scattered_file()); }

void compare_with(benchmark::State &state, const std::string &other) {
    hx_open(bench_random_file(kBenchFileSize).c_str());
    for (auto _ : state) {
        if (hx_compare(other.c_str()) != 0) state.SkipWithError(hx_last_error());
    }
    state.counters["runs"] = hx_compare_count();
    state.SetBytesProcessed(state.iterations() * S.file_size);
    hx_close();
}

void BM_compare_identical_files(benchmark::State &s) { compare_with(s, identical_file()); }
void BM_compare_1000_scattered_differences(benchmark::State &s) { compare_with(s, scattered_file()); }
void BM_compare_long_differing_region(benchmark::State &s) { compare_with(s, long_region_file()); }

const std::string &bench_file(bool zeros) {
    return zeros ? bench_zero_file(kBenchFileSize) : bench_random_file(kBenchFileSize);
}

void BM_entropy_profile(benchmark::State &state) {
    hx_open(bench_file(state.range(0) != 0).c_str());
    for (auto _ : state) benchmark::DoNotOptimize(hx_entropy_json());
    state.SetBytesProcessed(state.iterations() * kProfileBytes);
    hx_close();
}

void BM_entropy_summary(benchmark::State &state) {
    hx_open(bench_file(state.range(0) != 0).c_str());
    for (auto _ : state) benchmark::DoNotOptimize(hx_info_json());
    state.SetBytesProcessed(state.iterations() * (2ll << 20));
    hx_close();
}

// The counting the profile does, over the bytes it reads.
void BM_count_interleaved(benchmark::State &state) {
    hx_open(bench_file(state.range(0) != 0).c_str());
    for (auto _ : state) {
        uint64_t hist[256] = {};
        hv_count_bytes(S.view, kProfileBytes, hist);
        benchmark::DoNotOptimize(hist);
    }
    state.SetBytesProcessed(state.iterations() * kProfileBytes);
    hx_close();
}

// The plain way: one table, one increment per byte.
__attribute__((noinline)) void count_one_table(const uint8_t *p, uint64_t n, uint64_t hist[256]) {
    for (uint64_t i = 0; i < n; i++) hist[p[i]]++;
}

void BM_count_one_table(benchmark::State &state) {
    hx_open(bench_file(state.range(0) != 0).c_str());
    for (auto _ : state) {
        uint64_t hist[256] = {};
        count_one_table(S.view, kProfileBytes, hist);
        benchmark::DoNotOptimize(hist);
    }
    state.SetBytesProcessed(state.iterations() * kProfileBytes);
    hx_close();
}

// A plain pass over the same bytes at memory speed: memchr for a value the
// zero file does not hold.
void BM_memchr_profile_bytes(benchmark::State &state) {
    hx_open(bench_zero_file(kBenchFileSize).c_str());
    for (auto _ : state) benchmark::DoNotOptimize(std::memchr(S.view, 1, kProfileBytes));
    state.SetBytesProcessed(state.iterations() * kProfileBytes);
    hx_close();
}

}  // namespace

BENCHMARK(BM_memcmp_identical_files)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_map_and_memcmp_identical_files)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compare_identical_files)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_map_and_memcmp_scattered_differences)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compare_1000_scattered_differences)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_compare_long_differing_region)->Unit(benchmark::kMillisecond);
// Argument 0: random bytes; 1: a file of one repeated value (zeros).
BENCHMARK(BM_memchr_profile_bytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_count_one_table)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_count_interleaved)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_entropy_profile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_entropy_summary)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
