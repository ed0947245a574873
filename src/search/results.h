// Queries on the hits of the last search.
#pragma once

#include <cstdint>

// Every hit of the last search, 2147483647 when there are more; -1 with
// "no file open".
int32_t hv_search_count();

// The next stored hit, advancing the cursor; -1 when they are used up (no
// message) or with "no file open".
int64_t hv_search_next();

// The last hit, also beyond the stored ones; -1 without a message when no file
// is open or there was no hit.
int64_t hv_search_last();

// "offset", "context_hex" or "context_ascii" of stored hit `index`, in the
// calling thread's 512-byte buffer; "" on failure.
const char *hv_search_field(int32_t index, const char *field);
