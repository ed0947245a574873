// Pages of the logical content as JSON rows of 16 bytes.
#pragma once

#include <cstdint>

// Hex-and-text rows, or raw hex rows when mode is exactly "raw".
const char *hv_page(int64_t offset, int32_t rows, const char *mode);

// Rows of the printable bytes only.
const char *hv_ascii_only(int64_t offset, int32_t rows);
