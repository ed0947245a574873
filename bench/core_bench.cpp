// Paging through a large file and materializing many edits, each beside a
// memcpy of the same number of bytes measured in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench_files.h"
#include "core/alloc.h"
#include "core/logical.h"
#include "core/state.h"
#include "quillmar_hexview.h"

namespace {

void walk_pages(benchmark::State &state, const char *mode, bool text_only) {
    hx_open(bench_random_file(kBenchFileSize).c_str());
    const int64_t size = hx_file_size();
    for (auto _ : state) {
        for (int64_t off = 0; off < size; off += 16000) {
            const char *page = text_only ? hx_ascii_only(off, 1000) : hx_page(off, 1000, mode);
            benchmark::DoNotOptimize(page);
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
    hx_close();
}

void BM_page_walk_hex(benchmark::State &s) { walk_pages(s, nullptr, false); }
void BM_page_walk_raw(benchmark::State &s) { walk_pages(s, "raw", false); }
void BM_page_walk_text(benchmark::State &s) { walk_pages(s, nullptr, true); }

void BM_memcpy_file(benchmark::State &state) {
    hx_open(bench_random_file(kBenchFileSize).c_str());
    std::vector<uint8_t> dst(static_cast<size_t>(S.file_size));
    for (auto _ : state) {
        std::memcpy(dst.data(), S.view, dst.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * S.file_size);
    hx_close();
}

// The fair baseline for a rebuild: a copy into a freshly allocated buffer,
// whose pages are touched for the first time.
void BM_memcpy_fresh_buffer(benchmark::State &state) {
    hx_open(bench_random_file(kBenchFileSize).c_str());
    for (auto _ : state) {
        void *dst = hv_malloc(static_cast<size_t>(S.file_size));
        std::memcpy(dst, S.view, static_cast<size_t>(S.file_size));
        benchmark::DoNotOptimize(dst);
        hv_free(dst);
    }
    state.SetBytesProcessed(state.iterations() * S.file_size);
    hx_close();
}

// 1000 inserts and deletes at random offsets, appended as staging does.
void stage_random_edits(int n) {
    std::mt19937_64 rng(7);
    S.edits = static_cast<hv_edit *>(hv_malloc(sizeof(hv_edit) * 1024));
    S.cap_edits = 1024;
    for (int i = 0; i < n; i++) {
        hv_edit &e = S.edits[i];
        e.offset = static_cast<int64_t>(rng() % static_cast<uint64_t>(S.file_size));
        if (i % 2 == 0) {
            e.kind = HV_EDIT_INSERT;
            e.len = 16;
            e.bytes = static_cast<uint8_t *>(hv_malloc(16));
            std::memset(e.bytes, 0xab, 16);
        } else {
            e.kind = HV_EDIT_DELETE;
            e.len = 16;
            e.bytes = nullptr;
        }
    }
    S.n_edits = n;
}

void BM_materialize_1000_edits(benchmark::State &state) {
    hx_open_rw(bench_random_file(kBenchFileSize).c_str());
    stage_random_edits(1000);
    for (auto _ : state) {
        S.logical_stale = 1;
        if (hv_materialize() != 0) state.SkipWithError("materialize failed");
        benchmark::DoNotOptimize(S.logical);
    }
    state.SetBytesProcessed(state.iterations() * S.file_size);
    hx_close();
}

}  // namespace

BENCHMARK(BM_memcpy_file)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_page_walk_hex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_page_walk_raw)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_page_walk_text)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_memcpy_fresh_buffer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_materialize_1000_edits)->Unit(benchmark::kMillisecond);
