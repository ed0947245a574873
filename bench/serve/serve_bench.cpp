// The server's answer time for a page of 64 rows at random row offsets, over
// one kept-alive loopback connection, on a 1 GiB file of random bytes and a
// 64 GiB sparse file. Baselines measured in the same run: a memcpy of the
// page's 1 KiB, and the round trip of the smallest route (the staged list).
// And the answer time of a page while a search of a 16 GiB sparse file runs
// in the background: median, p99 and worst of 100 requests, beside the same
// requests made with no search running. And the read tools: the hash of
// 1 GiB and of 4 GiB of the 64 GiB sparse file beside the libraries and
// memcpy on memory, and the entropy map of both files.
// Under hostile local load from clients with no token (BM_preauth_flood, one
// kind of flood per argument, 192 connections against the server's cap of
// 128): the server's resident memory idle, at its peak and after the flood
// closes, and the answer time of a good request beside the same requests made
// with no flood. And the memory 8 staged fills of 16 MiB and their 8 undos
// hold, beside the 128 MiB of bytes staged (BM_staged_fill_rss).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "serve/serve_process.h"
#include "serve_flood.h"

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

std::string sparse_file(int64_t size, const char *name = "hexview-serve-bench-64g.bin") {
    std::string path = bench_path(name);
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

// The answer times in microseconds of 100 page requests at random offsets.
std::vector<double> page_times(serve_process &server, int64_t size, std::mt19937_64 &rng) {
    httplib::Client client = server.client();
    httplib::Headers token = server.auth();
    std::vector<double> us;
    for (int i = 0; i < 100; i++) {
        int64_t row = static_cast<int64_t>(rng() % static_cast<uint64_t>(size / 16 - 64));
        auto t0 = std::chrono::steady_clock::now();
        auto r = client.Get("/api/page?rows=64&offset=" + std::to_string(row * 16), token);
        auto t1 = std::chrono::steady_clock::now();
        if (!r || r->status != 200) return {};
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    std::sort(us.begin(), us.end());
    return us;
}

bool search_running(serve_process &server) {
    auto r = server.get("/api/job");
    return r && r->body.find("\"state\":\"running\"") != std::string::npos;
}

// Each iteration: 100 pages with no search running, then 100 while a search
// of 256 zero bytes (which reads every hole) runs, then the search cancelled.
void BM_page_while_searching(benchmark::State &state) {
    const int64_t size = 16 * kGiB;
    static serve_process server(HEXVIEW_TOOL_PATH, {sparse_file(size, "hexview-serve-bench-16g.bin"), "--read-only"});
    if (!server.started()) return state.SkipWithError("hexview serve did not start");
    std::string zeros;
    for (int i = 0; i < 256; i++) zeros += "00";
    std::mt19937_64 rng(3);
    std::vector<double> idle, busy;
    for (auto _ : state) {
        std::vector<double> quiet = page_times(server, size, rng);
        auto started = server.post("/api/search", "{\"mode\":\"hex\",\"pattern\":\"" + zeros + "\"}");
        if (!started || started->status != 202) return state.SkipWithError("the search did not run in the background");
        std::vector<double> during = page_times(server, size, rng);
        bool still = search_running(server);
        server.post("/api/cancel", "{}");
        while (search_running(server)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (quiet.empty() || during.empty()) return state.SkipWithError("page request failed");
        if (!still) return state.SkipWithError("the search ended before the 100 pages did");
        idle.insert(idle.end(), quiet.begin(), quiet.end());
        busy.insert(busy.end(), during.begin(), during.end());
    }
    std::sort(idle.begin(), idle.end());
    std::sort(busy.begin(), busy.end());
    auto at = [](const std::vector<double> &v, double q) { return v[static_cast<size_t>(q * (v.size() - 1))]; };
    state.counters["idle_median_us"] = at(idle, 0.5);
    state.counters["idle_worst_us"] = idle.back();
    state.counters["search_median_us"] = at(busy, 0.5);
    state.counters["search_p99_us"] = at(busy, 0.99);
    state.counters["search_worst_us"] = busy.back();
    state.counters["median_ratio"] = at(busy, 0.5) / at(idle, 0.5);
    state.SetLabel("100 pages of 64 rows per iteration, 16 GiB sparse file");
}
BENCHMARK(BM_page_while_searching)->Iterations(3)->Unit(benchmark::kMillisecond);

// ---- The read tools: hashes, and the entropy map -----------------------------

// Runs a request that may become a job to its end: false when it failed.
bool run_to_end(served &s, const std::string &path, const std::string &body) {
    auto r = s.server->post(path, body);
    if (!r || (r->status != 200 && r->status != 202)) return false;
    if (r->status == 200) return true;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        auto j = s.server->get("/api/job");
        if (!j) return false;
        if (j->body.find("\"state\":\"running\"") == std::string::npos)
            return j->body.find("\"state\":\"done\"") != std::string::npos;
    }
}

const char *const kHashSets[] = {"crc32", "sha256", "crc32,md5,sha1,sha256"};

// The server's hash of 1 GiB (the file in the page cache after the first
// run), and of 4 GiB in the middle of the 64 GiB sparse file (every hole is
// read as zeros through pages, so the whole file takes 16 times as long).
void BM_hash(benchmark::State &state) {
    served &s = serve(static_cast<int>(state.range(0)));
    if (!s.server->started()) return state.SkipWithError("hexview serve did not start");
    const char *set = kHashSets[state.range(1)];
    int64_t offset = state.range(0) == 0 ? 0 : 32 * kGiB, length = state.range(0) == 0 ? kGiB : 4 * kGiB;
    std::string body = "{\"offset\":" + std::to_string(offset) + ",\"length\":" + std::to_string(length) +
                       ",\"algorithms\":\"" + set + "\"}";
    for (auto _ : state)
        if (!run_to_end(s, "/api/hash", body)) return state.SkipWithError("the hash failed");
    state.SetBytesProcessed(state.iterations() * length);
    state.SetLabel(std::string(state.range(0) == 0 ? "1 GiB random file, " : "4 GiB of a 64 GiB sparse file, ") + set);
}
BENCHMARK(BM_hash)->ArgsProduct({{0, 1}, {0, 1, 2}})->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baselines: the libraries and memcpy on 64 MiB in memory.
void BM_baseline_in_memory(benchmark::State &state) {
    std::vector<unsigned char> a(64 << 20), b(64 << 20);
    std::mt19937_64 rng(5);
    for (auto &c : a) c = static_cast<unsigned char>(rng());
    for (auto _ : state) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        switch (state.range(0)) {
        case 0: std::memcpy(b.data(), a.data(), a.size()); break;
        case 1: benchmark::DoNotOptimize(crc32_z(0, a.data(), a.size())); break;
        case 2: EVP_Digest(a.data(), a.size(), md, &len, EVP_sha256(), nullptr); break;
        default:
            benchmark::DoNotOptimize(crc32_z(0, a.data(), a.size()));
            EVP_Digest(a.data(), a.size(), md, &len, EVP_md5(), nullptr);
            EVP_Digest(a.data(), a.size(), md, &len, EVP_sha1(), nullptr);
            EVP_Digest(a.data(), a.size(), md, &len, EVP_sha256(), nullptr);
        }
        benchmark::DoNotOptimize(md);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(a.size()));
    static const char *const names[] = {"memcpy", "zlib crc32", "EVP sha256", "crc32 + md5 + sha1 + sha256"};
    state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_baseline_in_memory)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();

// The entropy strip: 1024 regions of the whole file.
void BM_entropy_map(benchmark::State &state) {
    served &s = serve(static_cast<int>(state.range(0)));
    if (!s.server->started()) return state.SkipWithError("hexview serve did not start");
    httplib::Headers token = s.server->auth();
    for (auto _ : state) {
        auto r = s.client->Get("/api/entropy-map?regions=1024", token);
        if (!r || r->status != 200) return state.SkipWithError("entropy map request failed");
    }
    state.SetLabel(state.range(0) == 0 ? "1 GiB random file" : "64 GiB sparse file");
}
BENCHMARK(BM_entropy_map)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// ---- Hostile local load: the server's memory, and a good request's time ----

constexpr int kFloodConnections = 192;  // half again the server's cap of 128
constexpr auto kFloodTime = std::chrono::seconds(4);
constexpr int kGoodRequests = 50;

// The answer times of the good requests, sorted, and how many got no answer.
struct good_times {
    std::vector<double> us;
    int failed = 0;
    double median() const { return us.empty() ? 0 : us[us.size() / 2]; }
    double worst() const { return us.empty() ? 0 : us.back(); }
};

// `GET /api/info` with the session token, one every 20 ms, each on a
// connection of its own (the server answers one request per connection).
good_times time_good_requests(const serve_process &server) {
    good_times t;
    for (int i = 0; i < kGoodRequests; i++) {
        auto t0 = std::chrono::steady_clock::now();
        auto r = server.get("/api/info");
        auto t1 = std::chrono::steady_clock::now();
        if (r && r->status == 200)
            t.us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        else
            t.failed++;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::sort(t.us.begin(), t.us.end());
    return t;
}

// The resident memory once the connections just closed are gone.
long settled_rss(pid_t pid) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return resident_kib(pid);
}

struct flood_figures {
    long idle_kib = 0, peak_kib = 0, after_kib = 0;
    good_times quiet, loud;
    flood_tally tally;
};

// The memory idle, at its peak under the flood and after it; the good
// requests with no flood, then under it once it runs at full strength.
flood_figures run_flood(const serve_process &server, flood_kind kind) {
    flood_figures f;
    f.idle_kib = settled_rss(server.pid());
    f.quiet = time_good_requests(server);
    rss_watch watch(server.pid());
    auto started = std::chrono::steady_clock::now();
    flood attack(server.port(), kind, kFloodConnections);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    f.loud = time_good_requests(server);
    std::this_thread::sleep_until(started + kFloodTime);
    attack.stop();
    f.tally = attack.tally();
    f.peak_kib = watch.peak_kib();
    f.after_kib = settled_rss(server.pid());
    return f;
}

void print_flood(flood_kind kind, const flood_figures &f) {
    auto times = [&](long kib) { return static_cast<double>(kib) / static_cast<double>(f.idle_kib); };
    auto slower = [&](double us) { return us / f.quiet.median(); };
    std::printf("\nflood before authentication: %s; %d connections, %lld s\n", flood_name(kind), kFloodConnections,
                static_cast<long long>(kFloodTime.count()));
    std::printf("  server RSS           idle %6ld KiB | peak %6ld KiB (x%.2f) | after close %6ld KiB (x%.2f)\n",
                f.idle_kib, f.peak_kib, times(f.peak_kib), f.after_kib, times(f.after_kib));
    std::printf("  flood connections    opened %ld | answered 413: %ld | other answers: %ld | closed unanswered: %ld\n",
                f.tally.opened, f.tally.refused_413, f.tally.answered_other, f.tally.closed_unanswered);
    std::printf("  GET /api/info x%d    no flood: median %6.0f us, worst %7.0f us | flood: median %6.0f us (x%.1f), "
                "worst %7.0f us (x%.1f), failed %d\n",
                kGoodRequests, f.quiet.median(), f.quiet.worst(), f.loud.median(), slower(f.loud.median()),
                f.loud.worst(), slower(f.loud.worst()), f.loud.failed);
    std::fflush(stdout);
}

// One kind of flood per argument, each on a server of its own so that no
// flood's peak carries what an earlier one left.
void BM_preauth_flood(benchmark::State &state) {
    auto kind = static_cast<flood_kind>(state.range(0));
    serve_process server(HEXVIEW_TOOL_PATH, {sparse_file(1 << 20, "hexview-serve-bench-1m.bin"), "--read-only"});
    if (!server.started()) return state.SkipWithError("hexview serve did not start");
    flood_figures f;
    for (auto _ : state) f = run_flood(server, kind);
    print_flood(kind, f);
    if (f.quiet.failed) return state.SkipWithError("a good request failed with no flood");
    state.counters["peak_rss_ratio"] = static_cast<double>(f.peak_kib) / static_cast<double>(f.idle_kib);
    state.counters["good_median_ratio"] = f.loud.median() / f.quiet.median();
    state.counters["good_failed"] = f.loud.failed;
    state.SetLabel(flood_name(kind));
}
BENCHMARK(BM_preauth_flood)->DenseRange(0, kFloodKinds - 1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- Staged fills: the memory they hold, beside the bytes staged --------------

constexpr int64_t kFillBytes = 16 << 20;
constexpr int kFills = 8;

void print_growth(const char *when, long rss, long idle, int64_t staged) {
    double growth = static_cast<double>(rss - idle) * 1024.0;
    std::printf("  %-22s RSS %7ld KiB | growth %7ld KiB | staged %4lld MiB | growth / staged %.2f\n", when, rss,
                rss - idle, static_cast<long long>(staged >> 20), growth / static_cast<double>(staged));
}

// Eight fills of the same 16 MiB, then eight undos, on a 64 MiB file. The
// baseline is the 128 MiB of bytes the fills staged.
bool fill_then_undo(const serve_process &server) {
    const pid_t pid = server.pid();
    const int64_t staged = kFills * kFillBytes;
    long idle = settled_rss(pid);
    std::printf("\n8 fills of 16 MiB staged on a 64 MiB file, then 8 undos (idle RSS %ld KiB)\n", idle);
    rss_watch fills(pid);
    for (int i = 1; i <= kFills; i++) {
        auto r = server.post("/api/fill", "{\"offset\":0,\"length\":" + std::to_string(kFillBytes) + ",\"hex\":\"ab\"}");
        if (!r || r->status != 200) return false;
        std::string when = "after fill " + std::to_string(i);
        print_growth(when.c_str(), resident_kib(pid), idle, i * kFillBytes);
    }
    print_growth("peak during the fills", fills.peak_kib(), idle, staged);
    rss_watch undos(pid);
    for (int i = 0; i < kFills; i++) {
        auto r = server.post("/api/undo", "{}");
        if (!r || r->status != 200) return false;
    }
    print_growth("peak during the undos", undos.peak_kib(), idle, staged);
    print_growth("after the 8 undos", settled_rss(pid), idle, staged);
    std::fflush(stdout);
    return true;
}

void BM_staged_fill_rss(benchmark::State &state) {
    for (auto _ : state) {
        serve_process server(HEXVIEW_TOOL_PATH, {sparse_file(64 << 20, "hexview-serve-bench-64m.bin")});
        if (!server.started()) return state.SkipWithError("hexview serve did not start");
        if (!fill_then_undo(server)) return state.SkipWithError("a fill or an undo failed");
    }
}
BENCHMARK(BM_staged_fill_rss)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
