// File compare against a plain reference compare of the same two files: every
// run's offset and bytes, the 64-byte split, the 10000-run cap, 0x00 past the
// end of the shorter file, staged edits ignored, the field queries' failures,
// and the runs kept across a close and a new open.
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

// Differing offsets in runs of at most 64 bytes; past the end reads as 0x00;
// at most 10000 runs, and once the last is stored nothing grows it.
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
                last.this_hex += lower_hex(&x, 1);
                last.other_hex += lower_hex(&y, 1);
                continue;
            }
        }
        runs.push_back(run{static_cast<int64_t>(i), lower_hex(&x, 1), lower_hex(&y, 1)});
    }
    return runs;
}

// A copy of `a` with stretches changed, cut or extended, so runs fall at
// chosen places between otherwise equal files.
std::string mutate(input_reader &in, std::string a) {
    int changes = in.pick(8);
    for (int i = 0; i < changes; i++) {
        size_t at = static_cast<size_t>(in.below(static_cast<int64_t>(a.size()) + 1, 3));
        size_t n = static_cast<size_t>(in.range(0, 200));
        uint8_t with = in.byte();
        switch (in.pick(4)) {
        case 0:
            for (size_t k = at; k < a.size() && k < at + n; k++) a[k] = static_cast<char>(a[k] ^ (with | 1));
            break;
        case 1: a.resize(std::min(a.size(), at)); break;
        case 2: a.append(n, static_cast<char>(with)); break;
        default:
            for (size_t k = at; k < a.size() && k < at + n; k += 2) a[k] = static_cast<char>(with);
            break;
        }
    }
    return a;
}

void check_runs(const std::vector<run> &want) {
    FUZZ_EQ(hx_compare_count(), static_cast<int>(want.size()));
    for (size_t i = 0; i < want.size(); i++) {
        int k = static_cast<int>(i);
        FUZZ_EQ(std::string(hx_compare_field(k, "offset")), format_offset("0x%016llx", want[i].offset));
        FUZZ_EQ(std::string(hx_compare_field(k, "this_hex")), want[i].this_hex);
        FUZZ_EQ(std::string(hx_compare_field(k, "other_hex")), want[i].other_hex);
    }
}

void check_field_failures(int count, input_reader &in) {
    hx_close();
    FUZZ_EQ(std::string(hx_compare_field(count, "offset")), std::string(""));
    FUZZ_EQ(std::string(hx_last_error()), std::string("no file open"));
    FUZZ_EQ(hx_compare_count(), -1);
    std::string empty = fuzz_path("cmp-empty.bin");
    fuzz_write_file(empty, "");
    FUZZ_EQ(hx_open(empty.c_str()), 0);  // any file makes the runs readable again
    FUZZ_EQ(hx_compare_count(), count);
    int bad = in.flag() ? count : -1 - in.pick(3);
    FUZZ_EQ(std::string(hx_compare_field(bad, "offset")), std::string(""));
    FUZZ_EQ(std::string(hx_last_error()), std::string("diff index out of range"));
    if (count == 0) return;
    FUZZ_EQ(std::string(hx_compare_field(0, "OFFSET")), std::string(""));
    FUZZ_EQ(std::string(hx_last_error()), std::string("unknown field: OFFSET (offset|this_hex|other_hex)"));
    FUZZ_EQ(std::string(hx_compare_field(0, nullptr)), std::string(""));
    FUZZ_EQ(std::string(hx_last_error()), std::string("unknown field: OFFSET (offset|this_hex|other_hex)"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input_reader in(data, size);
    std::string a = fuzz_content(in, 1 << 17);
    std::string b = in.flag() ? mutate(in, a) : fuzz_content(in, 1 << 17);
    std::string pa = fuzz_path("cmp-a.bin"), pb = fuzz_path("cmp-b.bin");
    fuzz_write_file(pa, a);
    fuzz_write_file(pb, b);
    if (in.flag()) {
        // Staged edits play no part: the file is compared as on disk.
        FUZZ_EQ(hx_open_rw(pa.c_str()), 0);
        FUZZ_EQ(hx_insert("de ad", in.range(0, 100)), 0);
        FUZZ_EQ(hx_delete(in.range(0, 100), in.range(0, 100)), 0);
        FUZZ_EQ(hx_write("01", in.range(0, 100)), 0);
    } else {
        FUZZ_EQ(hx_open(pa.c_str()), 0);
    }
    FUZZ_EQ(hx_compare(pb.c_str()), 0);
    std::vector<run> want = reference(a, b);
    check_runs(want);
    check_field_failures(static_cast<int>(want.size()), in);
    hx_close();
    return 0;
}
