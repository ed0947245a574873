// The long calls against the two ways a program reads a big file in the same
// run: memchr/memcmp over a mapping (one fresh mapping a pass, with the
// sequential hint) and read() into a 1 MiB buffer. Files: a 16 GiB sparse
// file and a cached 1 GiB file of random bytes. Then the time from hx_cancel
// to the cancelled search's return, and the resident memory while a 64 GiB
// sparse file is searched.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_files.h"
#include "quillmar_hexview.h"

namespace {

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr size_t kReadBuffer = 1 << 20;

// A sparse file of `size` bytes with "ca fe" as its last two, made once.
const std::string &sparse_file(int64_t size, const char *tag) {
    static std::string paths[2];
    std::string &p = paths[tag[0] == 'b' ? 1 : 0];
    if (!p.empty()) return p;
    p = (std::filesystem::temp_directory_path() / ("hexview-bench-sparse-" + std::string(tag) + ".bin")).string();
    std::ofstream(p).close();
    std::filesystem::resize_file(p, static_cast<uintmax_t>(size));
    std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(size - 2);
    f.write("\xca\xfe", 2);
    return p;
}

const std::string &sparse_16g() { return sparse_file(16 * kGiB, "a16g"); }
const std::string &random_1g() { return bench_random_file(kGiB); }

using file_getter = const std::string &(*)();

// Every occurrence of the pattern's first byte, as a scan for it visits them.
int64_t count_byte(const uint8_t *p, size_t n) {
    int64_t seen = 0;
    for (const void *at = p; (at = std::memchr(at, 0xca, n - static_cast<size_t>(static_cast<const uint8_t *>(at) - p)));) {
        seen++;
        at = static_cast<const uint8_t *>(at) + 1;
        if (at == p + n) break;
    }
    return seen;
}

int64_t file_size(const std::string &path) { return static_cast<int64_t>(std::filesystem::file_size(path)); }

// ---- baselines ---------------------------------------------------------------

const uint8_t *map_file(const std::string &path, int64_t size, int *fd) {
    *fd = open(path.c_str(), O_RDONLY);
    void *p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, *fd, 0);
    madvise(p, static_cast<size_t>(size), MADV_SEQUENTIAL);
    return static_cast<const uint8_t *>(p);
}

void memchr_mapped(benchmark::State &state, file_getter file) {
    const std::string &path = file();
    int64_t size = file_size(path);
    for (auto _ : state) {
        int fd;
        const uint8_t *p = map_file(path, size, &fd);
        benchmark::DoNotOptimize(count_byte(p, static_cast<size_t>(size)));
        munmap(const_cast<uint8_t *>(p), static_cast<size_t>(size));
        close(fd);
    }
    state.SetBytesProcessed(state.iterations() * size);
}

void memchr_read(benchmark::State &state, file_getter file) {
    const std::string &path = file();
    int64_t size = file_size(path);
    std::vector<uint8_t> buf(kReadBuffer);
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY);
        ssize_t n;
        int64_t at = 0;
        while ((n = pread(fd, buf.data(), buf.size(), at)) > 0) {
            benchmark::DoNotOptimize(count_byte(buf.data(), static_cast<size_t>(n)));
            at += n;
        }
        close(fd);
    }
    state.SetBytesProcessed(state.iterations() * size);
}

void memcmp_mapped(benchmark::State &state, file_getter file) {
    const std::string &path = file();
    int64_t size = file_size(path);
    for (auto _ : state) {
        int fa, fb;
        const uint8_t *a = map_file(path, size, &fa);
        const uint8_t *b = map_file(path, size, &fb);
        benchmark::DoNotOptimize(std::memcmp(a, b, static_cast<size_t>(size)));
        munmap(const_cast<uint8_t *>(a), static_cast<size_t>(size));
        munmap(const_cast<uint8_t *>(b), static_cast<size_t>(size));
        close(fa);
        close(fb);
    }
    state.SetBytesProcessed(state.iterations() * size);
}

void memcmp_read(benchmark::State &state, file_getter file) {
    const std::string &path = file();
    int64_t size = file_size(path);
    std::vector<uint8_t> a(kReadBuffer), b(kReadBuffer);
    for (auto _ : state) {
        int fa = open(path.c_str(), O_RDONLY), fb = open(path.c_str(), O_RDONLY);
        ssize_t n;
        int64_t at = 0;
        while ((n = pread(fa, a.data(), a.size(), at)) > 0 && pread(fb, b.data(), b.size(), at) == n) {
            benchmark::DoNotOptimize(std::memcmp(a.data(), b.data(), static_cast<size_t>(n)));
            at += n;
        }
        close(fa);
        close(fb);
    }
    state.SetBytesProcessed(state.iterations() * size);
}

// ---- the engine ----------------------------------------------------------------

// A pattern that can match zeros: the search reads every byte, holes too.
const std::string &zeros_pattern() {
    static const std::string hex = [] {
        std::string h;
        for (int i = 0; i < 256; i++) h += "00";
        return h;
    }();
    return hex;
}

// "ca fe de ad be ef" cannot lie wholly in zeros, so a sparse file's holes
// are skipped; the zeros pattern reads them.
void engine_search(benchmark::State &state, file_getter file, bool read_holes) {
    const std::string &path = file();
    const char *pattern = read_holes ? zeros_pattern().c_str() : "ca fe de ad be ef";
    hx_open(path.c_str());
    for (auto _ : state)
        if (hx_search("hex", pattern, 0) != 0) state.SkipWithError(hx_last_error());
    state.SetBytesProcessed(state.iterations() * hx_file_size());
    hx_close();
}

void engine_compare(benchmark::State &state, file_getter file) {
    const std::string &path = file();
    hx_open(path.c_str());
    for (auto _ : state)
        if (hx_compare(path.c_str()) != 0) state.SkipWithError(hx_last_error());
    state.SetBytesProcessed(state.iterations() * hx_file_size());
    hx_close();
}

// ---- cancel and resident memory ------------------------------------------------

// Runs a search of `path` on another thread; `during` runs once it scans.
template <typename During>
void during_a_search(const std::string &path, During during) {
    hx_open(path.c_str());
    std::thread worker([] { hx_search("hex", zeros_pattern().c_str(), 0); });
    while (std::strstr(hx_progress_json(), "\"op\":\"search\"") == nullptr) std::this_thread::yield();
    during();
    hx_cancel();
    worker.join();
    hx_close();
}

// From hx_cancel to the search's return, 100 ms into a 16 GiB search.
void BM_cancel_to_return(benchmark::State &state) {
    for (auto _ : state) {
        std::chrono::steady_clock::time_point asked;
        hx_open(sparse_16g().c_str());
        std::thread worker([] { hx_search("hex", zeros_pattern().c_str(), 0); });
        while (std::strstr(hx_progress_json(), "\"op\":\"search\"") == nullptr) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        asked = std::chrono::steady_clock::now();
        hx_cancel();
        worker.join();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count());
        hx_close();
    }
}

int64_t resident_bytes() {
    long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f && std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    if (f) std::fclose(f);
    return static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE);
}

// The most resident memory seen while a 64 GiB sparse file is searched for
// four seconds (about half of it at this machine's speed), in MiB.
void BM_resident_during_64g_search(benchmark::State &state) {
    const std::string &path = sparse_file(64 * kGiB, "b64g");
    int64_t before = resident_bytes(), peak = 0;
    for (auto _ : state) {
        during_a_search(path, [&] {
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
            while (std::chrono::steady_clock::now() < end) {
                peak = std::max(peak, resident_bytes());
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    state.counters["resident_before_MiB"] = static_cast<double>(before >> 20);
    state.counters["resident_peak_MiB"] = static_cast<double>(peak >> 20);
}

}  // namespace

BENCHMARK_CAPTURE(engine_search, sparse_16g, sparse_16g, false)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(engine_search, sparse_16g_reading_holes, sparse_16g, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(memchr_mapped, sparse_16g, sparse_16g)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(memchr_read, sparse_16g, sparse_16g)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(engine_compare, sparse_16g, sparse_16g)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(memcmp_mapped, sparse_16g, sparse_16g)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(memcmp_read, sparse_16g, sparse_16g)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK_CAPTURE(engine_search, random_1g, random_1g, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(memchr_mapped, random_1g, random_1g)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(memchr_read, random_1g, random_1g)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(engine_compare, random_1g, random_1g)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(memcmp_mapped, random_1g, random_1g)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(memcmp_read, random_1g, random_1g)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_cancel_to_return)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_resident_during_64g_search)->Unit(benchmark::kMillisecond)->Iterations(1);
