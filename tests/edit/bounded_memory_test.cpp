// Edits on files far larger than memory: the engine's heap holds the edits,
// the piece list and the save's 1 MiB buffer, and nothing that grows with the
// file. Every allocation goes through a counting table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/state.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// Each block carries its size in front, so frees can be counted.
struct heap_count {
    std::size_t held, peak, largest;
};
heap_count g_heap;
constexpr std::size_t kHeader = 16;

void note(std::size_t n) {
    g_heap.held += n;
    g_heap.peak = std::max(g_heap.peak, g_heap.held);
    g_heap.largest = std::max(g_heap.largest, n);
}

void *counted_malloc(std::size_t n) {
    auto *p = static_cast<unsigned char *>(std::malloc(n + kHeader));
    if (!p) return nullptr;
    std::memcpy(p, &n, sizeof n);
    note(n);
    return p + kHeader;
}

void counted_free(void *q) {
    if (!q) return;
    auto *p = static_cast<unsigned char *>(q) - kHeader;
    std::size_t n = 0;
    std::memcpy(&n, p, sizeof n);
    g_heap.held -= n;
    std::free(p);
}

void *counted_realloc(void *q, std::size_t n) {
    void *fresh = counted_malloc(n);
    if (!fresh || !q) return fresh;
    std::size_t old = 0;
    std::memcpy(&old, static_cast<unsigned char *>(q) - kHeader, sizeof old);
    std::memcpy(fresh, q, std::min(old, n));
    counted_free(q);
    return fresh;
}

const hv_alloc_table kCounted = {counted_malloc, counted_realloc, counted_free};

class counted_heap : public hexview_test {
protected:
    void SetUp() override {
        hexview_test::SetUp();
        g_heap = {};
        hv_alloc = &kCounted;
    }
    void TearDown() override {
        hexview_test::TearDown();
        EXPECT_EQ(g_heap.held, 0u) << "all of it is given back at close";
        hv_alloc = &hv_alloc_native;
    }

    // A file of `size` bytes that takes no room on the disk.
    std::string sparse_file(const char *name, int64_t size) {
        std::string path = dir.file(name);
        std::FILE *f = std::fopen(path.c_str(), "wb");
        std::fclose(f);
        fs::resize_file(path, static_cast<std::uintmax_t>(size));
        return path;
    }
};

std::string first_hex_bytes(int64_t offset, std::size_t count) {
    std::vector<std::string> rows = split_rows(hx_page(offset, 1, "raw"));
    return rows.empty() ? "" : json_field(rows[0], "bytes_hex").substr(0, 2 * count);
}

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr std::size_t kMiB = std::size_t{1} << 20;

#ifdef _WIN32
constexpr int64_t kHugeFile = 16 * kGiB;  // Wine maps no view of 64 GiB
#else
constexpr int64_t kHugeFile = 64 * kGiB;
#endif

TEST_F(counted_heap, a_thousand_edits_on_a_huge_file_cost_by_the_edits) {
    constexpr int64_t size = kHugeFile;
    ASSERT_EQ(hx_open_rw(sparse_file("huge.bin", size).c_str()), 0);
    for (int i = 0; i < 1000; i++) {
        int64_t at = (size / 1000) * i + 4093;  // crosses no earlier edit
        // A write, an insert or a delete, and what the page at it shows next.
        static const struct {
            int (*stage)(int64_t at);
            const char *shown;
        } kSteps[] = {{[](int64_t at) { return hx_write("c0 ff ee", at); }, "c0ffee"},
                      {[](int64_t at) { return hx_insert("be ef", at); }, "beef00"},
                      {[](int64_t at) { return hx_delete(at, 7); }, "000000"}};
        ASSERT_EQ(kSteps[i % 3].stage(at), 0) << hx_last_error();
        ASSERT_EQ(first_hex_bytes(at, 3), kSteps[i % 3].shown) << "edit " << i;
    }
    int64_t inserted = 333 * 2, deleted = 333 * 7;
    EXPECT_EQ(hx_file_size(), size + inserted - deleted);
    EXPECT_LE(g_heap.largest, 2 * kMiB) << "no allocation grows with the file";
    EXPECT_LT(g_heap.peak, 4 * kMiB) << "the heap holds the edits and their pieces";
    std::printf("heap after 1000 edits on %lld GiB: %zu bytes held, %zu at most, largest block %zu\n",
                static_cast<long long>(size / kGiB), g_heap.held, g_heap.peak, g_heap.largest);
}

// The save's writes go to a sink that keeps the size and every byte that is
// not zero, with its position: 4 GiB are checked as they stream, at the speed
// of memory rather than of the disk, and the sizes read back are the sink's.
struct write_sink {
    int64_t size;
    std::vector<std::pair<int64_t, uint8_t>> nonzero;
};
write_sink g_sink;

hv_handle g_sink_handle = HV_NO_HANDLE;  // the handle the save writes through

bool sink_write(hv_handle h, const uint8_t *data, std::size_t n, std::size_t *written) {
    static const std::vector<uint8_t> zeros(kMiB);
    g_sink_handle = h;
    if (n > kMiB) return false;  // the save writes at most 1 MiB a call
    if (std::memcmp(data, zeros.data(), n) != 0) {
        for (std::size_t i = 0; i < n; i++)
            if (data[i]) g_sink.nonzero.emplace_back(g_sink.size + static_cast<int64_t>(i), data[i]);
    }
    g_sink.size += static_cast<int64_t>(n);
    *written = n;
    return true;
}

// The save reads the size of its finished file through the handle it wrote
// it with, or back through a handle of open_read; the sink answers for
// those. Any other handle (the file opened again after an in-place save) is
// the file itself.
hv_handle g_read_back = HV_NO_HANDLE;

hv_handle sink_open_read(const char *path) {
    g_read_back = hv_os_native.open_read(path);
    return g_read_back;
}

void sink_close(hv_handle h) {
    if (h == g_read_back) g_read_back = HV_NO_HANDLE;  // the system reuses handle values
    if (h == g_sink_handle) g_sink_handle = HV_NO_HANDLE;
    hv_os_native.close(h);
}

bool sink_size(hv_handle h, int64_t *size) {
    if (h != g_read_back && h != g_sink_handle) return hv_os_native.file_size(h, size);
    *size = g_sink.size;
    return true;
}

enum class save_mode { save_as, in_place };

class counted_heap_save : public counted_heap, public ::testing::WithParamInterface<save_mode> {};

TEST_P(counted_heap_save, an_edited_4_gib_file_saves_with_bounded_memory_and_the_right_bytes) {
    constexpr int64_t size = 4 * kGiB;
    std::string path = sparse_file("big.bin", size);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    ASSERT_EQ(hx_insert("11 22", kGiB), 0);             // shifts what follows by 2
    ASSERT_EQ(hx_delete(2 * kGiB, 4096), 0);             // then by -4094
    ASSERT_EQ(hx_write("33 44 55", 3 * kGiB), 0);
    ASSERT_EQ(hx_write("66", 3 * kGiB + 1), 0);          // over the bytes written just before
    ASSERT_EQ(hx_insert("77", size + 100), 0);           // past the end: lands at the end
    const std::vector<std::pair<int64_t, uint8_t>> expected = {
        {kGiB, 0x11}, {kGiB + 1, 0x22}, {3 * kGiB, 0x33}, {3 * kGiB + 1, 0x66}, {3 * kGiB + 2, 0x55},
        {size - 4094, 0x77}};
    g_sink = {};
    g_sink_handle = HV_NO_HANDLE;
    {
        scoped_os os;
        os.table.write = sink_write;
        os.table.open_read = sink_open_read;
        os.table.close = sink_close;
        os.table.file_size = sink_size;
        ASSERT_EQ(hx_save(GetParam() == save_mode::in_place ? nullptr : dir.file("copy.bin").c_str()), 0)
            << hx_last_error();
    }
    EXPECT_LE(g_heap.largest, 2 * kMiB);
    EXPECT_LT(g_heap.peak, 4 * kMiB);
    EXPECT_EQ(g_sink.size, size - 4094 + 1);
    EXPECT_EQ(g_sink.nonzero, expected);
}

INSTANTIATE_TEST_SUITE_P(modes, counted_heap_save, ::testing::Values(save_mode::save_as, save_mode::in_place),
                         [](const auto &info) { return info.param == save_mode::in_place ? "in_place" : "save_as"; });

}  // namespace
