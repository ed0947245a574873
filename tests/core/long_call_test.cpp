// The long calls (search, compare, save): progress, cancel, and the calls
// other threads may make while one runs.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/long_call.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

namespace {

constexpr int64_t kMiB = 1 << 20;

// A file of `size` bytes, zeros (holes where the file system allows) but for
// the given pieces.
std::string sparse_file(const temp_dir &dir, const std::string &name, int64_t size,
                        const std::vector<std::pair<int64_t, bytes>> &pieces) {
    std::string p = dir.file(name);
    { std::ofstream create(p, std::ios::binary | std::ios::trunc); }
    std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
    // A byte written at the end makes the size (MinGW's resize_file stops at 2 GiB).
    f.seekp(size - 1);
    f.put('\0');
    for (const auto &[offset, data] : pieces) {
        f.seekp(offset);
        f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    return p;
}

const char *kIdle = R"({"op":"","done":0,"total":0,"hits":0})";

// Every report the running long call made, and a cancel sent from inside
// it once `done` reaches the given share of the total.
struct recorder {
    std::vector<hv_progress> seen;
    double cancel_at = -1;  // share of the total; negative: never
    int cancel_answer = 1;
};
recorder *g_recorder = nullptr;

void record(const hv_progress &p) {
    recorder &r = *g_recorder;
    r.seen.push_back(p);
    if (r.cancel_at >= 0 && r.cancel_answer == 1 && p.done >= static_cast<int64_t>(r.cancel_at * p.total))
        r.cancel_answer = hx_cancel();
}

class long_calls : public hexview_test {
protected:
    void SetUp() override {
        hexview_test::SetUp();
        g_recorder = &rec;
        hv_progress_observer = record;
    }
    void TearDown() override {
        hv_progress_observer = nullptr;
        g_recorder = nullptr;
        hexview_test::TearDown();
    }
    recorder rec;
};

// 64 MiB with a hit and a difference near each end and in the middle.
constexpr int64_t kSize = 64 * kMiB;
const std::vector<std::pair<int64_t, bytes>> kMarks = {
    {100, {0xca, 0xfe}}, {kSize / 2, {0xca, 0xfe}}, {kSize - 100, {0xca, 0xfe}}};

struct long_op {
    const char *name;
    int (*run)(const std::string &other);
    // The state a failed call leaves: no hit or run that could pass for a result.
    void (*expect_nothing_kept)();
    // The state after the call ran whole on the marked file.
    void (*expect_whole)();
};

const long_op kSearch{
    "search", [](const std::string &) { return hx_search("hex", "ca fe", 0); },
    [] {
        EXPECT_EQ(hx_search_count(), 0);
        EXPECT_EQ(hx_search_last(), -1);
        EXPECT_EQ(hx_search_next(), -1);
    },
    [] {
        EXPECT_EQ(hx_search_count(), 3);
        EXPECT_EQ(hx_search_last(), kSize - 100);
    }};

const long_op kCompare{
    "compare", [](const std::string &other) { return hx_compare(other.c_str()); },
    [] { EXPECT_EQ(hx_compare_count(), 0); },
    [] {
        ASSERT_EQ(hx_compare_count(), 3);
        EXPECT_STREQ(hx_compare_field(2, "offset"), "0x0000000003ffff9c");
    }};

struct cancel_case {
    const long_op *op;
    double at;
    const char *when;
};

class cancel_table : public long_calls, public ::testing::WithParamInterface<cancel_case> {};

TEST_P(cancel_table, leaves_nothing_that_passes_for_a_result_and_the_next_call_works) {
    const cancel_case &c = GetParam();
    std::string path = sparse_file(dir, "big.bin", kSize, kMarks);
    std::string other = sparse_file(dir, "zeros.bin", kSize, {});
    ASSERT_EQ(hx_open(path.c_str()), 0);
    ASSERT_EQ(c.op->run(other), 0);  // a whole run first: its result must go
    rec.cancel_at = c.at;
    EXPECT_EQ(c.op->run(other), -1);
    EXPECT_EQ(rec.cancel_answer, 0) << "the cancel found the call running";
    EXPECT_EQ(std::string(hx_last_error()), std::string("cancelled: ") + c.op->name + " stopped before its end");
    c.op->expect_nothing_kept();
    EXPECT_STREQ(hx_progress_json(), kIdle);
    EXPECT_EQ(hx_cancel(), -1);
    rec.cancel_at = -1;
    ASSERT_EQ(c.op->run(other), 0) << hx_last_error();
    c.op->expect_whole();
}

INSTANTIATE_TEST_SUITE_P(long_calls, cancel_table,
                         ::testing::Values(cancel_case{&kSearch, 0.0, "start"}, cancel_case{&kSearch, 0.5, "middle"},
                                           cancel_case{&kSearch, 0.9, "near_end"},
                                           cancel_case{&kCompare, 0.0, "start"},
                                           cancel_case{&kCompare, 0.5, "middle"},
                                           cancel_case{&kCompare, 0.95, "near_end"}),
                         [](const auto &info) { return std::string(info.param.op->name) + "_" + info.param.when; });

class progress_table : public long_calls, public ::testing::WithParamInterface<const long_op *> {};

TEST_P(progress_table, only_goes_up_ends_at_the_total_and_counts_the_hits) {
    std::string path = sparse_file(dir, "big.bin", kSize, kMarks);
    std::string other = sparse_file(dir, "zeros.bin", kSize, {});
    ASSERT_EQ(hx_open(path.c_str()), 0);
    ASSERT_EQ(GetParam()->run(other), 0);
    ASSERT_GE(rec.seen.size(), 4u) << "a 64 MiB scan reports a few times";
    for (std::size_t i = 1; i < rec.seen.size(); i++) {
        EXPECT_GE(rec.seen[i].done, rec.seen[i - 1].done);
        EXPECT_GE(rec.seen[i].hits, rec.seen[i - 1].hits);
        EXPECT_EQ(rec.seen[i].op, rec.seen[0].op);
    }
    const hv_progress &last = rec.seen.back();
    EXPECT_EQ(last.total, kSize);
    EXPECT_EQ(last.done, kSize);
    EXPECT_EQ(last.hits, GetParam() == &kSearch ? hx_search_count() : 0);
    EXPECT_STREQ(hx_progress_json(), kIdle) << "idle once the call returned";
}

INSTANTIATE_TEST_SUITE_P(long_calls, progress_table, ::testing::Values(&kSearch, &kCompare),
                         [](const auto &info) { return std::string(info.param->name); });

TEST_F(long_calls, a_cancel_with_nothing_running_is_forgotten) {
    ASSERT_EQ(hx_open(dir.write("f.bin", to_bytes("xxcafexx")).c_str()), 0);
    EXPECT_EQ(hx_cancel(), -1);
    EXPECT_STREQ(hx_progress_json(), kIdle);
    ASSERT_EQ(hx_search("ascii", "cafe", 0), 0);
    EXPECT_EQ(hx_search_count(), 1);
}

TEST_F(long_calls, a_search_from_its_start_offset_counts_the_bytes_after_it) {
    ASSERT_EQ(hx_open(sparse_file(dir, "big.bin", kSize, kMarks).c_str()), 0);
    ASSERT_EQ(hx_search("hex", "ca fe", kSize - 10 * kMiB), 0);
    EXPECT_EQ(rec.seen.back().total, 10 * kMiB);
    EXPECT_EQ(rec.seen.back().done, 10 * kMiB);
    EXPECT_EQ(rec.seen.back().hits, 1);
}

// ---- other threads while a long call runs --------------------------------

// Holds the long call at its first report from inside the scan (the engine
// lock is not held there) until the test lets it go.
struct hold {
    std::mutex m;
    std::condition_variable cv;
    bool holding = false;
    bool released = false;
};
hold *g_hold = nullptr;

void hold_in_the_scan(const hv_progress &p) {
    if (p.done == 0 || p.done >= p.total) return;
    std::unique_lock lock(g_hold->m);
    g_hold->holding = true;
    g_hold->cv.notify_all();
    g_hold->cv.wait(lock, [] { return g_hold->released; });
}

class beside_a_long_call : public hexview_test {
protected:
    void SetUp() override {
        hexview_test::SetUp();
        g_hold = &h;
    }
    void TearDown() override {
        release();
        if (worker.joinable()) worker.join();
        hv_progress_observer = nullptr;
        g_hold = nullptr;
        hexview_test::TearDown();
    }
    // Starts `call` on another thread and waits until it is scanning.
    void start(int (*call)(const std::string &), const std::string &arg) {
        hv_progress_observer = hold_in_the_scan;
        worker = std::thread([this, call, arg] {
            result = call(arg);
            message = hx_last_error();
        });
        std::unique_lock lock(h.m);
        h.cv.wait(lock, [this] { return h.holding; });
    }
    void release() {
        std::lock_guard lock(h.m);
        h.released = true;
        h.cv.notify_all();
    }
    int finish() {
        release();
        worker.join();
        return result;
    }
    hold h;
    std::thread worker;
    int result = 0;
    std::string message;
};

std::string busy(const char *op) { return std::string("busy: a ") + op + " is running (cancel it or wait for its end)"; }

TEST_F(beside_a_long_call, a_search_lets_pages_and_staging_run_and_refuses_what_conflicts) {
    std::string path = sparse_file(dir, "big.bin", kSize, kMarks);
    std::string other = sparse_file(dir, "zeros.bin", kSize, {});
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    ASSERT_EQ(hx_compare(other.c_str()), 0);
    start(kSearch.run, "");
    // Allowed beside it.
    EXPECT_NE(std::string(hx_page(kSize - 100, 1, nullptr)).find("ca fe"), std::string::npos);
    EXPECT_NE(std::string(hx_ascii_only(0, 2)), "");
    EXPECT_EQ(hx_write("11 22", 0), 0);
    EXPECT_EQ(hx_file_size(), kSize);
    EXPECT_NE(std::string(hx_staged_json()).find("\"op\":\"write\""), std::string::npos);
    EXPECT_NE(std::string(hx_info_json()), "");
    EXPECT_EQ(hx_compare_count(), 3);
    EXPECT_NE(std::string(hx_progress_json()).find("\"op\":\"search\""), std::string::npos);
    // Refused, and nothing changes.
    const std::string refused = busy("search");
    EXPECT_EQ(hx_search("ascii", "x", 0), -1);
    EXPECT_EQ(hx_last_error(), refused);
    EXPECT_EQ(hx_search_count(), -1);
    EXPECT_EQ(hx_search_last(), -1);
    EXPECT_STREQ(hx_search_field(0, "offset"), "");
    EXPECT_EQ(hx_compare(other.c_str()), -1);
    EXPECT_EQ(hx_save(nullptr), -1);
    EXPECT_EQ(hx_last_error(), refused);
    EXPECT_EQ(hx_open(path.c_str()), -1);
    hx_close();
    EXPECT_EQ(hx_last_error(), refused);
    EXPECT_EQ(hx_file_size(), kSize) << "the refused close left the file open";
    EXPECT_EQ(hx_discard(), 0);
    ASSERT_EQ(finish(), 0) << message;
    EXPECT_EQ(hx_search_count(), 3);
}

TEST_F(beside_a_long_call, a_compare_lets_the_hits_be_read_and_refuses_its_runs) {
    std::string path = sparse_file(dir, "big.bin", kSize, kMarks);
    std::string other = sparse_file(dir, "zeros.bin", kSize, {});
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    ASSERT_EQ(hx_search("hex", "ca fe", 0), 0);
    start(kCompare.run, other);
    EXPECT_EQ(hx_search_count(), 3);
    EXPECT_STREQ(hx_search_field(1, "offset"), "0x0000000002000000");
    EXPECT_EQ(hx_insert("00", 0), 0);
    EXPECT_EQ(hx_compare_count(), -1);
    EXPECT_EQ(hx_last_error(), busy("compare"));
    EXPECT_STREQ(hx_compare_field(0, "offset"), "");
    EXPECT_EQ(hx_search("ascii", "x", 0), -1);
    EXPECT_EQ(hx_last_error(), busy("compare"));
    ASSERT_EQ(finish(), 0) << message;
    EXPECT_EQ(hx_compare_count(), 3);
    EXPECT_EQ(hx_file_size(), kSize + 1);
}

// Under ThreadSanitizer this is the proof that pages read beside a scan of a
// large file share nothing unguarded with it.
TEST_F(beside_a_long_call, pages_are_read_while_a_multi_gib_search_runs_until_it_is_cancelled) {
    constexpr int64_t kBig = 4096 * kMiB;
    std::string path = sparse_file(dir, "huge.bin", kBig, {{kBig - 2, {0xca, 0xfe}}});
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    start(kSearch.run, "");
    hv_progress_observer = nullptr;  // the scan runs freely from here
    release();
    std::string last_progress;
    for (int i = 0; i < 200; i++) {
        std::string page = hx_page(static_cast<int64_t>(i) * 20 * kMiB, 4, nullptr);
        ASSERT_NE(page, "") << hx_last_error();
        ASSERT_EQ(hx_write("01", i), 0);
        last_progress = hx_progress_json();
    }
    std::string tail = hx_page(kBig - 16, 1, "raw");
    EXPECT_NE(tail.find("cafe"), std::string::npos) << tail;
    int cancelled = hx_cancel();
    if (finish() == 0) {
        // The machine scanned 4 GiB before 200 pages were read: the cancel
        // came after the end, or too late to stop it, and changed nothing.
        EXPECT_EQ(hx_search_count(), 1) << last_progress;
    } else {
        EXPECT_EQ(cancelled, 0);
        EXPECT_EQ(message, "cancelled: search stopped before its end");
        EXPECT_EQ(hx_search_count(), 0);
    }
    EXPECT_EQ(hx_search("hex", "ca fe", kBig - 100), 0);
    EXPECT_EQ(hx_search_last(), kBig - 2);
}

}  // namespace
