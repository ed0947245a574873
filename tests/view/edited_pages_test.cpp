// Pages, sizes and saves of edited files against a plain model: the content as
// one byte vector with every edit applied in order. The edits crowd around a
// few places, so rows straddle many piece boundaries, deletes swallow whole
// pieces and writes land on bytes inserted before.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/logical.h"
#include "core/state.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

namespace {

// One row of hx_page or hx_ascii_only, written the plain way.
std::string model_row(const bytes &content, uint64_t p, int kind) {
    char off[32];
    std::snprintf(off, sizeof off, "0x%016llx", static_cast<unsigned long long>(p));
    std::string hex, raw, column, text;
    char pair[4];
    for (uint64_t k = 0; k < 16; k++) {
        bool inside = p + k < content.size();
        uint8_t v = inside ? content[p + k] : 0;
        std::snprintf(pair, sizeof pair, "%02x", v);
        if (k > 0) hex += ' ';
        if (k == 8) hex += ' ';
        hex += pair;
        raw += pair;
        bool printable = inside && v >= 0x20 && v <= 0x7e;
        std::string shown = v == '"' || v == '\\' ? std::string("\\") + static_cast<char>(v)
                                                  : std::string(1, static_cast<char>(v));
        column += printable ? shown : ".";
        if (printable) text += shown;
    }
    std::string row = std::string("{\"off\":\"") + off;
    if (kind == 0) return row + "\",\"hex\":\"" + hex + "\",\"ascii\":\"" + column + "\"}";
    if (kind == 1) return row + "\",\"bytes_hex\":\"" + raw + "\"}";
    return row + "\",\"text\":\"" + text + "\"}";
}

std::string model_page(const bytes &content, uint64_t start, int rows, int kind) {
    std::string list = "[";
    for (int r = 0; r < rows; r++) {
        if (r > 0) list += ", ";
        list += model_row(content, start + 16u * static_cast<uint64_t>(r), kind);
    }
    return list + "]";
}

std::string engine_page(uint64_t start, int rows, int kind) {
    int64_t off = static_cast<int64_t>(start);
    if (kind == 2) return hx_ascii_only(off, rows);
    return hx_page(off, rows, kind == 1 ? "raw" : nullptr);
}

// Bytes that are mostly printable, with quotes, backslashes and controls.
bytes random_bytes(std::mt19937_64 &rng, std::size_t n) {
    static const char kMix[] = "ab\"\\\x01\x7f\xff 09zZ";
    bytes b(n);
    for (auto &v : b) v = rng() % 4 ? static_cast<uint8_t>(kMix[rng() % (sizeof kMix - 1)]) : static_cast<uint8_t>(rng());
    return b;
}

struct model {
    bytes content;
    std::vector<int64_t> spots;  // where earlier edits landed

    int64_t pick_offset(std::mt19937_64 &rng) {
        int64_t L = static_cast<int64_t>(content.size());
        if (spots.empty() || rng() % 4 == 0) return static_cast<int64_t>(rng() % static_cast<uint64_t>(L + 24));
        int64_t near = spots[rng() % spots.size()] + static_cast<int64_t>(rng() % 25) - 12;
        return std::max<int64_t>(near, 0);
    }

    // Stages one random edit through the API and applies it here.
    void stage_one(std::mt19937_64 &rng) {
        int64_t L = static_cast<int64_t>(content.size());
        int64_t off = pick_offset(rng);
        spots.push_back(off);
        int kind = static_cast<int>(rng() % 3);
        if (kind == 2) {
            // Mostly short; now and then long enough to swallow many pieces.
            int64_t len = rng() % 5 == 0 ? static_cast<int64_t>(rng() % 200) : static_cast<int64_t>(rng() % 12);
            ASSERT_EQ(hx_delete(off, len), 0) << hx_last_error();
            int64_t p = std::min(off, L), cut = std::min(len, L - p);
            if (cut > 0) content.erase(content.begin() + p, content.begin() + p + cut);
            return;
        }
        bytes data = random_bytes(rng, 1 + rng() % 20);
        if (kind == 0) {
            ASSERT_EQ(hx_write(hex_string(data).c_str(), off), 0) << hx_last_error();
            for (int64_t i = 0; i < static_cast<int64_t>(data.size()) && off + i < L; i++)
                content[static_cast<size_t>(off + i)] = data[static_cast<size_t>(i)];
        } else {
            ASSERT_EQ(hx_insert(hex_string(data).c_str(), off), 0) << hx_last_error();
            content.insert(content.begin() + std::min(off, L), data.begin(), data.end());
        }
    }
};

class edited_pages : public hexview_test {};

TEST_F(edited_pages, match_a_plain_model_after_every_few_edits) {
    std::mt19937_64 rng(2026);
    for (int round = 0; round < 25; round++) {
        model m{random_bytes(rng, rng() % 400), {}};
        ASSERT_EQ(hx_open_rw(dir.write("f.bin", m.content).c_str()), 0);
        int edits = 1 + static_cast<int>(rng() % 300);
        for (int k = 0; k < edits; k++) {
            ASSERT_NO_FATAL_FAILURE(m.stage_one(rng));
            if (rng() % 3 != 0) continue;  // some pages see several new edits at once
            uint64_t size = m.content.size();
            uint64_t start = m.spots.back() > 8 ? static_cast<uint64_t>(m.spots.back() - 8) : 0;
            if (rng() % 3 == 0) start = rng() % (size + 40);
            int rows = 1 + static_cast<int>(rng() % 6);
            int kind = static_cast<int>(rng() % 3);
            ASSERT_EQ(engine_page(start, rows, kind), model_page(m.content, start, rows, kind))
                << "round " << round << " edit " << k << " start " << start;
            ASSERT_EQ(hx_file_size(), static_cast<int64_t>(size));
        }
        ASSERT_EQ(hv_materialize(), 0);
        bytes whole(static_cast<size_t>(S.logical_len));
        hv_logical_read(0, whole.data(), S.logical_len);
        ASSERT_EQ(whole, m.content) << "round " << round;
        std::string copy = dir.file("copy.bin");
        ASSERT_EQ(hx_save(copy.c_str()), 0) << hx_last_error();
        ASSERT_EQ(read_file(copy), m.content) << "round " << round;
        hx_close();
    }
}

// A rebuild that takes the newer edits onto the cached pieces gives the same
// content as one from the file.
TEST_F(edited_pages, a_rebuild_from_the_cache_equals_one_from_the_file) {
    std::mt19937_64 rng(77);
    for (int round = 0; round < 20; round++) {
        model m{random_bytes(rng, rng() % 200), {}};
        ASSERT_EQ(hx_open_rw(dir.write("f.bin", m.content).c_str()), 0);
        for (int k = 0; k < 120; k++) {
            ASSERT_NO_FATAL_FAILURE(m.stage_one(rng));
            if (k % 7 == 0) {
                ASSERT_EQ(hv_materialize(), 0);
            }
        }
        ASSERT_EQ(hv_materialize(), 0);
        int64_t pieces = S.n_pieces;
        bytes incremental(static_cast<size_t>(S.logical_len));
        hv_logical_read(0, incremental.data(), S.logical_len);
        hv_logical_drop();
        S.logical_stale = 1;
        ASSERT_EQ(hv_materialize(), 0);
        bytes scratch(static_cast<size_t>(S.logical_len));
        hv_logical_read(0, scratch.data(), S.logical_len);
        EXPECT_EQ(incremental, scratch);
        EXPECT_EQ(scratch, m.content);
        EXPECT_EQ(S.n_pieces, pieces);
        EXPECT_LE(S.n_pieces, 1 + 2 * S.n_edits);
        hx_close();
    }
}

}  // namespace
