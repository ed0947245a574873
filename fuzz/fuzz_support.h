// Helpers shared by the fuzz targets: reading the input, private files, plain
// reference versions of the parser and the escaper, and checks that stop the
// run with both values printed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

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
    bool flag() { return byte() & 1; }
    // One of n choices (n >= 1), from one byte.
    int pick(int n) { return byte() % n; }
    uint64_t u64(int nbytes = 8) {
        uint64_t v = 0;
        for (int i = 0; i < nbytes; i++) v = v << 8 | byte();
        return v;
    }
    // 0..n-1 (n >= 1) from a fixed number of bytes, for bounds that depend on
    // the state (a size), so that the input keeps its layout when they change.
    int64_t below(int64_t n, int nbytes) { return static_cast<int64_t>(u64(nbytes) % static_cast<uint64_t>(n)); }
    int64_t range(int64_t lo, int64_t hi) {  // lo..hi inclusive, hi - lo < 2^32
        uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
        return lo + static_cast<int64_t>(u64(span <= 256 ? 1 : span <= 65536 ? 2 : 4) % span);
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

// Builds file contents from the input: pieces of raw bytes and of units of up
// to 64 bytes repeated many times, so that long equal stretches, periodic data
// and files of tens of KiB come out of small inputs. At most `limit` bytes.
std::string fuzz_content(input_reader &in, size_t limit);

// A folder private to this fuzzing process (in /dev/shm when there is one, so
// the saves' flushes cost nothing), and a path in it.
const std::string &fuzz_dir();
std::string fuzz_path(const std::string &name);

void fuzz_write_file(const std::string &path, const std::string &content);
bytes fuzz_read_file(const std::string &path);

// The hex byte-string grammar, written plainly: items are two hex digits or
// "??", separated or not by tab, space, comma or colon; at least one item.
struct parsed_hex {
    bool ok = false;
    bytes values, mask;
};
parsed_hex reference_parse_hex(const std::string &text);

// The JSON string-body escaper as the rule reads, for a destination of `cap`
// bytes: the text it writes, without the terminator.
std::string reference_json_escape(const std::string &src, size_t cap);

std::string lower_hex(const uint8_t *b, size_t n);
std::string format_offset(const char *fmt, uint64_t v);  // "0x%016llx" and the like

// Open file descriptors of the process, and mappings of files in fuzz_dir().
int fuzz_open_fds();
int fuzz_mapped_files();

[[noreturn]] void fuzz_fail(const char *what, const char *file, int line, const std::string &detail);

#define FUZZ_CHECK(cond)                                          \
    do {                                                          \
        if (!(cond)) fuzz_fail(#cond, __FILE__, __LINE__, "");    \
    } while (0)

// Stops with both values printed when they differ.
#define FUZZ_EQ(a, b)                                                                   \
    do {                                                                                \
        const auto &fuzz_a_ = (a);                                                      \
        const auto &fuzz_b_ = (b);                                                      \
        if (!(fuzz_a_ == fuzz_b_)) {                                                    \
            std::ostringstream fuzz_s_;                                                 \
            fuzz_s_ << "  left:  " << fuzz_a_ << "\n  right: " << fuzz_b_;              \
            fuzz_fail(#a " == " #b, __FILE__, __LINE__, fuzz_s_.str());                 \
        }                                                                               \
    } while (0)
