// Saves that cost by the edits: an overwrite of 1 byte or 1 MiB saved in place
// on a 1 GiB and a 64 GiB sparse file, beside a plain pwrite + fsync of the
// same bytes to the same file; and a whole-file save of a 64 GiB sparse file
// with one insert, with the disk use of the file it writes.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/os.h"
#include "quillmar_hexview.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;

// A sparse file of its own, made for the benchmark and removed after it.
struct sparse_file {
    std::string path;
    explicit sparse_file(int64_t size, const char *name)
        : path((fs::temp_directory_path() / (std::string("hexview-bench-save-") + name)).string()) {
        std::error_code ec;
        fs::remove(path, ec);
        hv_handle h = hv_os_native.open_rw(path.c_str());
        hv_os_native.make_sparse(h);
        hv_os_native.set_size(h, size);
        hv_os_native.close(h);
    }
    ~sparse_file() {
        std::error_code ec;
        fs::remove(path, ec);
    }
};

std::string hex_of(std::size_t n, int round) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * n);
    for (std::size_t i = 0; i < n; i++) {
        unsigned v = static_cast<unsigned>((i * 31 + static_cast<std::size_t>(round)) & 0xff);
        hex += digits[v >> 4];
        hex += digits[v & 15];
    }
    return hex;
}

constexpr int64_t kGiB = int64_t{1} << 30;

// Each round stages a fresh overwrite in the middle of the file and saves.
void BM_save_overwrite_in_place(benchmark::State &state) {
    int64_t size = state.range(0) * kGiB;
    std::size_t n = static_cast<std::size_t>(state.range(1));
    sparse_file file(size, "patch.img");
    if (hx_open_rw(file.path.c_str()) != 0) state.SkipWithError(hx_last_error());
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string hex = hex_of(n, round++);
        if (hx_write(hex.c_str(), size / 2) != 0) state.SkipWithError(hx_last_error());
        state.ResumeTiming();
        if (hx_save(nullptr) != 0) state.SkipWithError(hx_last_error());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
    hx_close();
}

// The baseline: the same bytes written where they go, and one flush.
void BM_pwrite_fsync(benchmark::State &state) {
    int64_t size = state.range(0) * kGiB;
    std::size_t n = static_cast<std::size_t>(state.range(1));
    sparse_file file(size, "pwrite.img");
    std::vector<uint8_t> bytes(n, 0x5a);
    hv_handle h = hv_os_native.open_rw(file.path.c_str());
    for (auto _ : state) {
        std::size_t done = 0;
        while (done < n) {
            std::size_t wrote = 0;
            if (!hv_os_native.write_at(h, size / 2 + static_cast<int64_t>(done), bytes.data() + done, n - done,
                                       &wrote))
                break;
            done += wrote;
        }
        hv_os_native.flush(h);
        bytes[0]++;
    }
    hv_os_native.close(h);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

constexpr int64_t kOneMiB = 1 << 20;
void overwrite_sizes(benchmark::internal::Benchmark *b) {
    for (int64_t gib : {1, 64})
        for (int64_t n : {int64_t{1}, kOneMiB}) b->Args({gib, n});
}

BENCHMARK(BM_save_overwrite_in_place)->Apply(overwrite_sizes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_pwrite_fsync)->Apply(overwrite_sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

// One insert into a 64 GiB sparse file: the whole file is written anew (with
// its holes kept); "target_disk_MiB" is the disk use of the file written.
void BM_save_insert_whole_file(benchmark::State &state) {
    sparse_file file(64 * kGiB, "insert.img");
    std::string target = file.path + ".saved";
    if (hx_open_rw(file.path.c_str()) != 0) state.SkipWithError(hx_last_error());
    for (auto _ : state) {
        state.PauseTiming();
        if (hx_insert("01", 4096) != 0) state.SkipWithError(hx_last_error());
        state.ResumeTiming();
        if (hx_save(target.c_str()) != 0) state.SkipWithError(hx_last_error());
    }
    hx_close();
#ifndef _WIN32
    struct stat st;
    if (::stat(target.c_str(), &st) == 0)
        state.counters["target_disk_MiB"] = static_cast<double>(st.st_blocks) * 512 / kOneMiB;
#endif
    std::error_code ec;
    fs::remove(target, ec);
}

BENCHMARK(BM_save_insert_whole_file)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
