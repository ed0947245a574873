// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Reads little pieces of the fuzz input in order; zeros once it runs out.
class input_reader {
public:
    input_reader(const uint8_t *data, size_t size) : p_(data), n_(size) {}
    bool empty() const { return n_ == 0; }
    size_t left() const { return n_; }
    uint8_t byte() {
        if (!n_) return 0;
        n_--;
        return *p_++;
    }
    uint64_t u64(int nbytes = 8) {
        uint64_t v = 0;
        for (int i = 0; i < nbytes; i++) v = v << 8 | byte();
        return v;
    }
    int64_t range(int64_t lo, int64_t hi) {  // lo..hi inclusive
        uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
        return lo + static_cast<int64_t>(span ? u64(4) % span : u64(4));
    }
    std::string take(size_t n) {
        n = n < n_ ? n : n_;
        std::string s(reinterpret_cast<const char *>(p_), n);
        p_ += n;
        n_ -= n;
        return s;
    }

private:
    const uint8_t *p_;
    size_t n_;
};

// A file path private to this fuzzing process.
std::string fuzz_path(const char *name);

// Writes bytes to a file; aborts if it cannot.
void fuzz_write_file(const std::string &path, const std::string &bytes);

#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "check failed: %s at %s:%d\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)
