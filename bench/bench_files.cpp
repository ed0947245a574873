#include "bench_files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <vector>

namespace {

std::string make_file(const std::string &kind, int64_t size, bool random) {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("hexview-bench-" + kind + "-" + std::to_string(size) + ".bin"))
                           .string();
    std::error_code ec;
    if (std::filesystem::file_size(path, ec) == static_cast<uintmax_t>(size)) return path;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::mt19937_64 rng(42);
    std::vector<uint64_t> chunk(1 << 17);
    for (int64_t done = 0; done < size;) {
        if (random)
            for (auto &w : chunk) w = rng();
        else
            std::fill(chunk.begin(), chunk.end(), 0);
        int64_t n = std::min<int64_t>(size - done, static_cast<int64_t>(chunk.size() * 8));
        std::fwrite(chunk.data(), 1, static_cast<size_t>(n), f);
        done += n;
    }
    std::fclose(f);
    return path;
}

}  // namespace

const std::string &bench_random_file(int64_t size) {
    static std::map<int64_t, std::string> made;
    auto it = made.find(size);
    if (it == made.end()) it = made.emplace(size, make_file("random", size, true)).first;
    return it->second;
}

const std::string &bench_zero_file(int64_t size) {
    static std::map<int64_t, std::string> made;
    auto it = made.find(size);
    if (it == made.end()) it = made.emplace(size, make_file("zero", size, false)).first;
    return it->second;
}
