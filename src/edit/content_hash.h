// A 61-bit hash of a byte string, for telling whether bytes on disk are the
// ones a journal expects. A polynomial over the string's 8-byte words modulo
// the prime 2^61 - 1, so a run of zeros (a hole of a sparse file) is hashed
// by one power rather than read; with the length mixed in at the end.
#pragma once

#include <cstddef>
#include <cstdint>

class hv_content_hash {
public:
    void add(const uint8_t *p, std::size_t n);
    void add_zeros(uint64_t n);
    uint64_t value() const;

    // The hash of n bytes at p.
    static uint64_t of(const uint8_t *p, std::size_t n);

private:
    void add_word(uint64_t w);
    uint64_t h_ = 0;
    uint64_t length_ = 0;
    uint8_t partial_[8] = {};
    unsigned used_ = 0;  // bytes in partial_
};
