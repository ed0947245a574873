#include "analysis/entropy.h"

#include <cmath>
#include <cstring>

namespace {

constexpr int64_t kEstimateSample = 1048576;  // 1 MiB from each end
constexpr int64_t kProfileBlockMax = 2097152; // 2 MiB per block
constexpr int kProfileBlocks = 8;

// Counters of one interleaved table; a chunk never holds more bytes than a
// 32-bit counter can count.
constexpr uint64_t kCountChunk = uint64_t{1} << 30;
constexpr int kTables = 4;

inline uint32_t load32(const uint8_t *p) {
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// The four bytes of a word go to four different tables. The byte order of the
// load does not matter: every byte is counted once.
inline void count_word(uint32_t (&t)[kTables][256], uint32_t w) {
    t[0][w & 0xff]++;
    t[1][(w >> 8) & 0xff]++;
    t[2][(w >> 16) & 0xff]++;
    t[3][w >> 24]++;
}

// Runs of one value would make every increment wait for the one before it on
// the same counter; spreading neighbouring bytes over four tables breaks that
// chain on processors that do not forward such stores early.
void count_chunk(const uint8_t *data, uint64_t n, uint64_t hist[256]) {
    uint32_t t[kTables][256] = {};
    uint64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        count_word(t, load32(data + i));
        count_word(t, load32(data + i + 4));
        count_word(t, load32(data + i + 8));
        count_word(t, load32(data + i + 12));
    }
    for (; i < n; i++) t[0][data[i]]++;
    for (int v = 0; v < 256; v++) hist[v] += uint64_t{t[0][v]} + t[1][v] + t[2][v] + t[3][v];
}

}  // namespace

void hv_count_bytes(const uint8_t *data, uint64_t n, uint64_t hist[256]) {
    while (n > 0) {
        uint64_t k = n < kCountChunk ? n : kCountChunk;
        count_chunk(data, k, hist);
        data += k;
        n -= k;
    }
}

double hv_entropy_of_counts(const uint64_t hist[256], uint64_t length) {
    double h = 0.0;
    for (int v = 0; v < 256; v++) {
        if (hist[v] == 0) continue;
        double p = static_cast<double>(hist[v]) / static_cast<double>(length);
        h = h - std::log2(p) * p;
    }
    return h;
}

double hv_entropy_of(const uint8_t *data, int64_t length) {
    uint64_t hist[256] = {};
    hv_count_bytes(data, static_cast<uint64_t>(length), hist);
    return hv_entropy_of_counts(hist, static_cast<uint64_t>(length));
}

double hv_entropy_estimate(const uint8_t *view, int64_t size) {
    if (!view || size <= 0) return 0.0;
    int64_t n = size < kEstimateSample ? size : kEstimateSample;
    double head = hv_entropy_of(view, n);
    if (size - n <= n) return head;  // the size is not greater than 2 x n
    double tail = hv_entropy_of(view + (size - n), n);
    return (head + tail) * 0.5;
}

hv_profile hv_entropy_profile(const uint8_t *view, int64_t size) {
    int64_t readable = view && size > 0 ? size : 0;
    int64_t block = readable / kProfileBlocks;
    if (block > kProfileBlockMax) block = kProfileBlockMax;

    hv_profile r{};
    r.min = 100.0;
    uint64_t total[256] = {};
    double sum = 0.0;
    for (int j = 0; j < kProfileBlocks; j++) {
        double h = 0.0;
        if (block > 0) {
            uint64_t hist[256] = {};
            hv_count_bytes(view + j * block, static_cast<uint64_t>(block), hist);
            h = hv_entropy_of_counts(hist, static_cast<uint64_t>(block));
            for (int v = 0; v < 256; v++) total[v] += hist[v];
        }
        sum += h;
        if (h > r.max) r.max = h;
        if (h < r.min) r.min = h;
        r.sampled += block;
    }
    r.avg = sum / kProfileBlocks;
    for (int k = 0; k < 16; k++) r.buckets[k] = total[16 * k];
    return r;
}
