#include "edit/content_hash.h"

#include <cstring>

namespace {

constexpr uint64_t kPrime = (1ull << 61) - 1;
constexpr uint64_t kBase = 0x1e3779b97f4a7c15ull % kPrime;

uint64_t mul_mod(uint64_t a, uint64_t b) {
    unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    uint64_t lo = static_cast<uint64_t>(p) & kPrime, hi = static_cast<uint64_t>(p >> 61);
    uint64_t r = lo + hi;
    return r >= kPrime ? r - kPrime : r;
}

uint64_t add_mod(uint64_t a, uint64_t b) {
    uint64_t r = a + b;  // both below 2^61: no overflow
    return r >= kPrime ? r - kPrime : r;
}

uint64_t pow_mod(uint64_t base, uint64_t e) {
    uint64_t r = 1;
    while (e) {
        if (e & 1) r = mul_mod(r, base);
        base = mul_mod(base, base);
        e >>= 1;
    }
    return r;
}

uint64_t load_le(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

}  // namespace

void hv_content_hash::add_word(uint64_t w) {
    // The word in two halves, so no two words are the same modulo the prime.
    h_ = add_mod(mul_mod(h_, kBase), w & 0xffffffffu);
    h_ = add_mod(mul_mod(h_, kBase), w >> 32);
}

void hv_content_hash::add(const uint8_t *p, std::size_t n) {
    length_ += n;
    while (n > 0 && used_ > 0) {
        partial_[used_++] = *p++;
        n--;
        if (used_ == 8) {
            add_word(load_le(partial_));
            used_ = 0;
        }
    }
    if (used_ > 0) return;  // all of it went into the partial word
    for (; n >= 8; p += 8, n -= 8) add_word(load_le(p));
    std::memcpy(partial_, p, n);
    used_ = static_cast<unsigned>(n);
}

void hv_content_hash::add_zeros(uint64_t n) {
    static const uint8_t zeros[8] = {};
    while (n > 0 && used_ > 0) {
        add(zeros, 1);
        n--;
    }
    uint64_t words = n / 8;
    // A zero word only multiplies: two halves, two factors of the base.
    h_ = mul_mod(h_, pow_mod(kBase, 2 * words));
    length_ += words * 8;
    add(zeros, static_cast<std::size_t>(n % 8));
}

uint64_t hv_content_hash::value() const {
    uint64_t h = h_;
    if (used_ > 0) {
        uint8_t last[8] = {};
        std::memcpy(last, partial_, used_);
        uint64_t w = load_le(last);
        h = add_mod(mul_mod(h, kBase), w & 0xffffffffu);
        h = add_mod(mul_mod(h, kBase), w >> 32);
    }
    return add_mod(mul_mod(h, kBase), length_ % kPrime);
}

uint64_t hv_content_hash::of(const uint8_t *p, std::size_t n) {
    hv_content_hash h;
    h.add(p, n);
    return h.value();
}
