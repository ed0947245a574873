// The server's answer time for a page of 64 rows at random row offsets, over
// one kept-alive loopback connection, on a 1 GiB file of random bytes and a
// 64 GiB sparse file. Baselines measured in the same run: a memcpy of the
// page's 1 KiB, and the round trip of the smallest route (the staged list).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "serve/serve_process.h"

namespace {

constexpr int64_t kGiB = 1ll << 30;

std::string bench_path(const char *name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

// A 1 GiB file of random bytes, written once and kept for later runs.
std::string random_gib_file() {
    std::string path = bench_path("hexview-serve-bench-1g.bin");
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) == static_cast<uintmax_t>(kGiB)) return path;
    FILE *f = std::fopen(path.c_str(), "wb");
    std::mt19937_64 rng(7);
    std::vector<uint64_t> chunk(1 << 17);
    for (int64_t done = 0; done < kGiB; done += static_cast<int64_t>(chunk.size() * 8)) {
        for (auto &w : chunk) w = rng();
        std::fwrite(chunk.data(), 8, chunk.size(), f);
    }
    std::fclose(f);
    return path;
}

std::string sparse_file(int64_t size) {
    std::string path = bench_path("hexview-serve-bench-64g.bin");
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fclose(f);
    std::filesystem::resize_file(path, static_cast<uintmax_t>(size));
    return path;
}

struct served {
    std::unique_ptr<serve_process> server;
    std::unique_ptr<httplib::Client> client;
    int64_t size;
};

served &serve(int which) {
    static served files[2];
    served &s = files[which];
    if (!s.server) {
        s.size = which == 0 ? kGiB : 64 * kGiB;
        std::string path = which == 0 ? random_gib_file() : sparse_file(s.size);
        s.server = std::make_unique<serve_process>(HEXVIEW_TOOL_PATH, std::vector<std::string>{path, "--read-only"});
        s.client = std::make_unique<httplib::Client>(s.server->client());
        s.client->set_keep_alive(true);
        s.client->set_tcp_nodelay(true);
    }
    return s;
}

void BM_page_64_rows(benchmark::State &state) {
    served &s = serve(static_cast<int>(state.range(0)));
    if (!s.server->started()) return state.SkipWithError("hexview serve did not start");
    std::mt19937_64 rng(1);
    httplib::Headers token = s.server->auth();
    size_t bytes = 0;
    for (auto _ : state) {
        int64_t row = static_cast<int64_t>(rng() % static_cast<uint64_t>(s.size / 16 - 64));
        auto r = s.client->Get("/api/page?rows=64&offset=" + std::to_string(row * 16), token);
        if (!r || r->status != 200) return state.SkipWithError("page request failed");
        bytes += r->body.size();
    }
    state.counters["answer_bytes"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
    state.SetLabel(state.range(0) == 0 ? "1 GiB random file" : "64 GiB sparse file");
}
BENCHMARK(BM_page_64_rows)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_baseline_staged_round_trip(benchmark::State &state) {
    served &s = serve(0);
    httplib::Headers token = s.server->auth();
    for (auto _ : state) {
        auto r = s.client->Get("/api/staged", token);
        if (!r || r->status != 200) return state.SkipWithError("request failed");
    }
}
BENCHMARK(BM_baseline_staged_round_trip)->Unit(benchmark::kMicrosecond);

void BM_baseline_memcpy_1KiB(benchmark::State &state) {
    std::vector<char> a(1024, 'a'), b(1024);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), a.size());
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_baseline_memcpy_1KiB);

}  // namespace

BENCHMARK_MAIN();
