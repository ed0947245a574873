// Reads of whole files that the save and the recovery share: exact reads,
// the data runs of a file with holes skipped, and the content hash of a file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

// n bytes at offset, all of them; false at a short file or a failure.
bool hv_read_exactly(hv_handle h, int64_t offset, uint8_t *dst, std::size_t n);

// Calls put(at, bytes, n) for every run of data of the file's first `size`
// bytes, in order, in pieces of at most `cap` bytes read into buf; holes are
// skipped. False when a read fails or put returns false.
template <typename Put>
bool hv_for_each_data_run(hv_handle h, int64_t size, uint8_t *buf, std::size_t cap, Put put) {
    int64_t pos = 0;
    while (pos < size) {
        int64_t data_at = pos, data_end = size;
        if (!hv_os->next_data(h, pos, size, &data_at, &data_end)) return false;
        if (data_at >= size) break;
        if (data_end <= data_at) data_end = size;
        for (int64_t at = data_at; at < data_end;) {
            int64_t left = data_end - at;
            std::size_t n = left < static_cast<int64_t>(cap) ? static_cast<std::size_t>(left) : cap;
            if (!hv_read_exactly(h, at, buf, n) || !put(at, buf, n)) return false;
            at += static_cast<int64_t>(n);
        }
        pos = data_end;
    }
    return true;
}

// The content hash of the file's first `size` bytes (holes read as zeros),
// read through buf (cap bytes), and with `prefix` (0 to size) the hash of
// its first `prefix` bytes too. False when a read fails.
bool hv_hash_file(hv_handle h, int64_t size, uint8_t *buf, std::size_t cap, uint64_t *hash, int64_t prefix = -1,
                  uint64_t *prefix_hash = nullptr);
