// Hints for a mapping that is read once, from a start to its end (a search,
// a compare, a save's copy): the pages ahead of the reader are brought in
// before it gets there, and the pages behind it are let go of, so the
// process's resident memory stays a few MiB however large the file is. The
// file's bytes stay in the system's cache; a later read of a page let go of
// maps it again. Hints only: when the system cannot follow one, nothing
// changes but the speed.
#pragma once

#include <cstdint>

struct hv_stream {
    const uint8_t *base;  // the mapping, from its first byte
    int64_t size;
    int64_t ahead;        // bytes from base brought in so far
    int64_t behind;       // bytes from base let go of so far
};

// A reader of `base[0..size)` that starts at `from`.
hv_stream hv_stream_begin(const uint8_t *base, int64_t size, int64_t from);

// The reader is at `pos`: every byte before it is read, the next ones follow.
void hv_stream_at(hv_stream &s, int64_t pos);

// The reader is done: what it still has resident is let go of.
void hv_stream_end(hv_stream &s);

// ---- For the platform layers.

// The system's page size or more, a power of two; a hint's start and length
// are whole multiples of it.
int64_t hv_stream_page();
// Asks the system to bring base[0..n) in from the file now.
void hv_stream_prefetch(const uint8_t *base, int64_t n);
// Drops base[0..n) from the process's resident memory (not from the file).
void hv_stream_release(const uint8_t *base, int64_t n);

// A few rows read at a random place (a page of the view): brings in the file's
// pages under base[0..n), any alignment, and only those. Without it the fault
// on the first byte reads the system's whole read-around window (on Linux up
// to the device's read-ahead, often megabytes; in a hole of a sparse file that
// is megabytes of zeroes written) for a page that needs a few KiB.
void hv_stream_pick(const uint8_t *base, int64_t n);
