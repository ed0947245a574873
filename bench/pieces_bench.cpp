// Edits at any file size: staging an edit and rendering the page at it, on
// files of 1 MiB, 1 GiB and 64 GiB (sparse) with 0, 100 and 999 edits staged
// before; walking an edited 1 GiB file; saving it; and the heap that 1000
// edits hold. Each beside its baseline in the same run: the same page of the
// unedited file, the unedited walk, a plain flushed write of the same bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_files.h"
#include "core/alloc.h"
#include "core/logical.h"
#include "core/state.h"
#include "platform/os.h"
#include "quillmar_hexview.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kGiB = int64_t{1} << 30;

const std::string &sparse_file(int64_t size) {
    static std::string path;
    if (path.empty()) {
        path = (fs::temp_directory_path() / "hexview-bench-sparse-64g.bin").string();
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (!f) std::abort();
        std::fclose(f);
        fs::resize_file(path, static_cast<std::uintmax_t>(size));
    }
    return path;
}

// 0: 1 MiB, 1: 1 GiB (random bytes), 2: 64 GiB (sparse).
std::string file_of_kind(int64_t kind) {
    if (kind == 0) return bench_random_file(kMiB);
    if (kind == 1) return bench_random_file(kGiB);
    return sparse_file(64 * kGiB);
}

// Edit i of n, spread over the file: writes, inserts and deletes in turn.
void stage_spread_edit(int i, int n, int64_t size) {
    int64_t at = size / (n + 1) * (i + 1) + 5;
    switch (i % 3) {
    case 0: hx_write("de ad be ef", at); break;
    case 1: hx_insert("01 02 03 04 05 06 07 08", at); break;
    default: hx_delete(at, 24); break;
    }
}

void stage_spread(int n, int64_t size) {
    for (int i = 0; i < n; i++) stage_spread_edit(i, n, size);
}

void BM_page_of_unedited_file(benchmark::State &state) {
    hx_open_rw(file_of_kind(state.range(0)).c_str());
    int64_t at = hx_file_size() / 2 + 5;
    for (auto _ : state) benchmark::DoNotOptimize(hx_page(at, 64, nullptr));
    hx_close();
}

// One more edit on top of `before` staged ones, and the page at it. The
// extra edit is dropped outside the timing by staging the others again.
void BM_edit_and_page(benchmark::State &state) {
    hx_open_rw(file_of_kind(state.range(0)).c_str());
    const int before = static_cast<int>(state.range(1));
    const int64_t size = hx_file_size();
    const int64_t at = size / 2 + 5;
    for (auto _ : state) {
        state.PauseTiming();
        hx_discard();
        stage_spread(before, size);
        hx_page(0, 1, nullptr);  // the cache holds the earlier edits
        state.ResumeTiming();
        hx_write("c0 ff ee", at);
        const char *page = hx_page(at, 64, nullptr);
        benchmark::DoNotOptimize(page);
    }
    hx_close();
}

void walk(benchmark::State &state, int edits) {
    hx_open_rw(bench_random_file(kGiB).c_str());
    stage_spread(edits, hx_file_size());
    const int64_t size = hx_file_size();
    for (auto _ : state) {
        for (int64_t off = 0; off < size; off += 16000) benchmark::DoNotOptimize(hx_page(off, 1000, nullptr));
    }
    state.SetBytesProcessed(state.iterations() * size);
    hx_close();
}

void BM_walk_1gib_unedited(benchmark::State &s) { walk(s, 0); }
void BM_walk_1gib_1000_edits(benchmark::State &s) { walk(s, 1000); }

std::string bench_out(const char *name) {
    return (fs::temp_directory_path() / (std::string("hexview-bench-pieces-") + name)).string();
}

void BM_save_as_1gib_1000_edits(benchmark::State &state) {
    hx_open_rw(bench_random_file(kGiB).c_str());
    std::string out = bench_out("save-as.bin");
    int64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        stage_spread(1000, kGiB);
        state.ResumeTiming();
        bytes += hx_file_size();
        if (hx_save(out.c_str()) != 0) state.SkipWithError(hx_last_error());
    }
    state.SetBytesProcessed(bytes);
    hx_close();
    fs::remove(out);
}

// The same bytes from one buffer, written in 1 MiB calls and flushed.
void BM_plain_flushed_write_1gib(benchmark::State &state) {
    hx_open_rw(bench_random_file(kGiB).c_str());
    stage_spread(1000, kGiB);
    hv_materialize();
    std::vector<uint8_t> content(static_cast<std::size_t>(S.logical_len));
    hv_logical_read(0, content.data(), S.logical_len);
    hx_close();
    std::string out = bench_out("plain.bin");
    for (auto _ : state) {
        hv_handle h = hv_os_native.create_for_write(out.c_str());
        for (std::size_t at = 0; at < content.size();) {
            std::size_t done = 0;
            std::size_t ask = std::min<std::size_t>(content.size() - at, kMiB);
            if (!hv_os_native.write(h, content.data() + at, ask, &done) || done == 0) break;
            at += done;
        }
        hv_os_native.flush(h);
        hv_os_native.close(h);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(content.size()));
    fs::remove(out);
}

// The engine's heap, counted block by block.
std::size_t g_held;
void *held_malloc(std::size_t n) {
    auto *p = static_cast<std::size_t *>(std::malloc(n + 16));
    if (!p) return nullptr;
    *p = n;
    g_held += n;
    return reinterpret_cast<char *>(p) + 16;
}
void held_free(void *q) {
    if (!q) return;
    auto *p = reinterpret_cast<std::size_t *>(static_cast<char *>(q) - 16);
    g_held -= *p;
    std::free(p);
}
void *held_realloc(void *q, std::size_t n) {
    void *fresh = held_malloc(n);
    if (fresh && q) {
        std::memcpy(fresh, q, std::min(n, *reinterpret_cast<std::size_t *>(static_cast<char *>(q) - 16)));
        held_free(q);
    }
    return fresh;
}
const hv_alloc_table kHeld = {held_malloc, held_realloc, held_free};

void BM_heap_after_1000_edits_on_64gib(benchmark::State &state) {
    hv_alloc = &kHeld;
    g_held = 0;
    hx_open_rw(sparse_file(64 * kGiB).c_str());
    std::size_t before = g_held;
    for (auto _ : state) {
        hx_discard();
        stage_spread(1000, 64 * kGiB);
        benchmark::DoNotOptimize(hx_page(64 * kGiB / 2, 64, nullptr));
    }
    state.counters["heap_bytes"] = static_cast<double>(g_held - before);
    state.counters["file_bytes"] = static_cast<double>(64 * kGiB);
    hx_close();
    hv_alloc = &hv_alloc_native;
}

}  // namespace

BENCHMARK(BM_page_of_unedited_file)->ArgName("file")->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_edit_and_page)
    ->ArgNames({"file", "before"})
    ->ArgsProduct({{0, 1, 2}, {0, 100, 999}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_walk_1gib_unedited)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_walk_1gib_1000_edits)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_plain_flushed_write_1gib)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_save_as_1gib_1000_edits)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_heap_after_1000_edits_on_64gib)->Unit(benchmark::kMillisecond);
