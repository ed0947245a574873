// Whole-file saves of a sparse file keep its holes: the target's disk use
// stays that of its data, and the content is exact around every hole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "quillmar_hexview.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int64_t kSize = int64_t{1} << 30;  // 1 GiB, nearly all hole
constexpr int64_t kData[] = {0, 300000, kSize / 2, kSize - 5000};
constexpr int64_t kDataLen = 4000;

bytes data_at(int64_t at) { return iota_bytes(kDataLen, static_cast<uint8_t>(at / 4096 + 1)); }

void make_sparse(const std::string &path, int64_t size) {
    {
        std::ofstream f(path, std::ios::binary);
        for (int64_t at : kData) {
            if (at + kDataLen > size) continue;
            bytes d = data_at(at);
            f.seekp(at);
            f.write(reinterpret_cast<const char *>(d.data()), kDataLen);
        }
    }
    fs::resize_file(path, static_cast<uintmax_t>(size));
}

bytes read_range(const std::string &path, int64_t at, int64_t n) {
    std::ifstream f(path, std::ios::binary);
    bytes b(static_cast<std::size_t>(n));
    f.seekg(at);
    f.read(reinterpret_cast<char *>(b.data()), n);
    return b;
}

#ifndef _WIN32
int64_t disk_use(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_blocks) * 512 : -1;
}
#endif

struct sparse_case {
    const char *name;
    int64_t size;         // of the source
    int64_t shift;        // of every byte after the first data run
    bool (*edit)();       // stages the edit (or none)
    bool save_as;
};

void PrintTo(const sparse_case &c, std::ostream *os) { *os << c.name; }

class sparse_save : public hexview_test, public ::testing::WithParamInterface<sparse_case> {};

TEST_P(sparse_save, keeps_the_holes_and_the_data) {
    const sparse_case &c = GetParam();
    std::string source = dir.file("disk.img");
    make_sparse(source, c.size);
    ASSERT_EQ(hx_open_rw(source.c_str()), 0) << hx_last_error();
    ASSERT_TRUE(c.edit());
    std::string target = c.save_as ? dir.file("copy.img") : source;
    ASSERT_EQ(hx_save(c.save_as ? target.c_str() : nullptr), 0) << hx_last_error();
    hx_close();
    EXPECT_EQ(static_cast<int64_t>(fs::file_size(target)), c.size + c.shift);
    for (int64_t at : kData) {
        if (at == 0 || at + kDataLen > c.size) continue;
        EXPECT_EQ(read_range(target, at + c.shift, kDataLen), data_at(at)) << "data at " << at;
        EXPECT_EQ(read_range(target, at + c.shift - 64, 64), bytes(64, 0)) << "hole before " << at;
    }
#ifndef _WIN32
    EXPECT_LT(disk_use(target), 1 << 20) << "the holes stay holes";
#endif
}

INSTANTIATE_TEST_SUITE_P(
    edits, sparse_save,
    ::testing::Values(sparse_case{"one_insert", kSize, 1, [] { return hx_insert("ee", 100) == 0; }, false},
                      sparse_case{"one_delete", kSize, -3, [] { return hx_delete(10, 3) == 0; }, false},
                      sparse_case{"ending_in_a_hole", kSize + 4096 * 8, 2,
                                  [] { return hx_insert("ee ee", 5) == 0; }, false},
                      sparse_case{"save_as_without_edits", kSize, 0, [] { return true; }, true},
                      sparse_case{"a_long_hole_at_the_end", 2 * kSize, 1, [] { return hx_insert("ee", 7) == 0; },
                                  false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
