// File compare against a plain reference compare of the same two files.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "quillmar_hexview.h"

namespace {

struct run {
    int64_t offset;
    std::string this_hex, other_hex;
};

std::string hex2(uint8_t b) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02x", b);
    return buf;
}

// Differing offsets in runs of at most 64 bytes; past the end reads as 0x00;
// at most 10000 runs, and the last one is not extended.
std::vector<run> reference(const std::string &a, const std::string &b) {
    std::vector<run> runs;
    size_t total = std::max(a.size(), b.size());
    for (size_t i = 0; i < total; i++) {
        uint8_t x = i < a.size() ? static_cast<uint8_t>(a[i]) : 0;
        uint8_t y = i < b.size() ? static_cast<uint8_t>(b[i]) : 0;
        if (x == y || runs.size() == 10000) continue;
        if (!runs.empty()) {
            run &last = runs.back();
            int64_t len = static_cast<int64_t>(last.this_hex.size() / 2);
            if (last.offset + len == static_cast<int64_t>(i) && len < 64) {
                last.this_hex += hex2(x);
                last.other_hex += hex2(y);
                continue;
            }
        }
        runs.push_back(run{static_cast<int64_t>(i), hex2(x), hex2(y)});
    }
    return runs;
}

// Stretches the input into larger files so runs reach 64 bytes and the cap.
std::string expand(input_reader &in) {
    std::string s;
    int pieces = static_cast<int>(in.range(0, 6));
    for (int i = 0; i < pieces; i++) {
        uint8_t b = in.byte();
        size_t n = static_cast<size_t>(in.range(0, 300));
        if (in.byte() & 1) n *= 64;
        s.append(n, static_cast<char>(b));
        s += in.take(static_cast<size_t>(in.range(0, 40)));
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input_reader in(data, size);
    std::string a = expand(in), b = expand(in);
    std::string pa = fuzz_path("cmp-a.bin"), pb = fuzz_path("cmp-b.bin");
    fuzz_write_file(pa, a);
    fuzz_write_file(pb, b);
    FUZZ_CHECK(hx_open(pa.c_str()) == 0);
    FUZZ_CHECK(hx_compare(pb.c_str()) == 0);
    std::vector<run> want = reference(a, b);
    FUZZ_CHECK(hx_compare_count() == static_cast<int>(want.size()));
    char off[32];
    for (size_t i = 0; i < want.size(); i++) {
        int k = static_cast<int>(i);
        std::snprintf(off, sizeof off, "0x%016llx", static_cast<unsigned long long>(want[i].offset));
        FUZZ_CHECK(std::string(hx_compare_field(k, "offset")) == off);
        FUZZ_CHECK(hx_compare_field(k, "this_hex") == want[i].this_hex);
        FUZZ_CHECK(hx_compare_field(k, "other_hex") == want[i].other_hex);
    }
    FUZZ_CHECK(*hx_compare_field(static_cast<int>(want.size()), "offset") == '\0');
    hx_close();
    std::remove(pa.c_str());
    std::remove(pb.c_str());
    return 0;
}
