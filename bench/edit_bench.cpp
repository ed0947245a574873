// Saving an edited 256 MiB file, beside a plain write of the same bytes to a
// file (with and without the flush to disk) measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_files.h"
#include "core/logical.h"
#include "core/state.h"
#include "platform/os.h"
#include "quillmar_hexview.h"

namespace {

// Files of this benchmark's own, removed when it ends.
std::string own_file(const char *name) {
    return (std::filesystem::temp_directory_path() / (std::string("hexview-bench-edit-") + name)).string();
}

struct own_file_guard {
    std::string path;
    ~own_file_guard() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
};

// An overwrite, an insert and a delete, as a user's session would leave.
void stage_edits() {
    hx_write("de ad be ef", 1000);
    hx_insert("01 02 03 04 05 06 07 08", kBenchFileSize / 2);
    hx_delete(kBenchFileSize - 4096, 100);
}

// The content is built outside the timing: the save writes the cache.
void stage_and_materialize(benchmark::State &state) {
    state.PauseTiming();
    stage_edits();
    if (hv_materialize() != 0) state.SkipWithError("materialize failed");
    state.ResumeTiming();
}

void BM_save_as_edited(benchmark::State &state) {
    hx_open_rw(bench_random_file(kBenchFileSize).c_str());
    own_file_guard out{own_file("save-as.bin")};
    int64_t bytes = 0;
    for (auto _ : state) {
        stage_and_materialize(state);
        bytes += S.logical_len;
        if (hx_save(out.path.c_str()) != 0) state.SkipWithError(hx_last_error());
    }
    state.SetBytesProcessed(bytes);
    hx_close();
}

void BM_save_in_place_edited(benchmark::State &state) {
    own_file_guard copy{own_file("in-place.bin")};
    hx_open(bench_random_file(kBenchFileSize).c_str());
    hx_save(copy.path.c_str());
    hx_open_rw(copy.path.c_str());
    int64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        hx_write("00", 0);  // no change of size, so every round writes 256 MiB
        if (hv_materialize() != 0) state.SkipWithError("materialize failed");
        state.ResumeTiming();
        bytes += S.logical_len;
        if (hx_save(nullptr) != 0) state.SkipWithError(hx_last_error());
    }
    state.SetBytesProcessed(bytes);
    hx_close();
}

// The baseline: one write of the same buffer to a file, optionally flushed.
void plain_write(benchmark::State &state, bool flush) {
    hx_open_rw(bench_random_file(kBenchFileSize).c_str());
    stage_edits();
    hv_materialize();
    std::vector<uint8_t> content(static_cast<std::size_t>(S.logical_len));
    hv_logical_read(0, content.data(), S.logical_len);
    own_file_guard out{own_file("plain.bin")};
    for (auto _ : state) {
        hv_handle h = hv_os_native.create_for_write(out.path.c_str());
        const uint8_t *at = content.data();
        std::size_t left = content.size(), done = 0;
        while (left > 0 && hv_os_native.write(h, at, left, &done) && done > 0) {
            at += done;
            left -= done;
        }
        if (flush) hv_os_native.flush(h);
        hv_os_native.close(h);
    }
    state.SetBytesProcessed(state.iterations() * S.logical_len);
    hx_close();
}

void BM_plain_write(benchmark::State &s) { plain_write(s, false); }
void BM_plain_write_flushed(benchmark::State &s) { plain_write(s, true); }

}  // namespace

BENCHMARK(BM_plain_write)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_plain_write_flushed)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_save_as_edited)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_save_in_place_edited)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
