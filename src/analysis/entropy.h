// Shannon entropy of byte ranges, in bits per byte: the summary's quick
// estimate and the profile of eight blocks. Both read the file as on disk.
#pragma once

#include <cstdint>

// Adds the occurrences of each byte value of data[0..n) to hist.
void hv_count_bytes(const uint8_t *data, uint64_t n, uint64_t hist[256]);

// Entropy of a histogram of `length` bytes (length >= 1): for each value
// present, in ascending order, H = H - log2(p) * p with p = count / length.
double hv_entropy_of_counts(const uint64_t hist[256], uint64_t length);

// Entropy of data[0..length); length must be at least 1.
double hv_entropy_of(const uint8_t *data, int64_t length);

// The summary's estimate: a file of up to 1 MiB measured whole; above that
// the first 1 MiB, and when the size is greater than 2 MiB also the last 1 MiB
// by itself, the two entropies averaged. 0.0 when there are no bytes to read
// (an empty file, or a view that is gone: `view` null).
double hv_entropy_estimate(const uint8_t *view, int64_t size);

// The profile: eight blocks of B = min(size / 8, 2 MiB) bytes end to end from
// offset 0, their mean, minimum and maximum entropy, the total count of each
// of the single values 0x00, 0x10, ..., 0xF0, and the bytes sampled (8 x B).
struct hv_profile {
    double avg;
    double min;
    double max;
    uint64_t buckets[16];
    int64_t sampled;
};

// `view` null reads as no bytes at all: eight empty blocks.
hv_profile hv_entropy_profile(const uint8_t *view, int64_t size);
