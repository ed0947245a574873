// The logical content: the file with the staged edits applied in order.
#pragma once

#include <cstdint>

// -1 when no file is open; the materialized length when the cache is fresh;
// otherwise the estimate file_size + inserted - deleted, never below 0.
// Never materializes and never sets the error text.
int64_t hv_logical_size();

// Builds the logical content into S.logical once; 0 when the cache is fresh
// afterwards, -1 with a message when it cannot be built. Called only while a
// file is open.
int hv_materialize();

// True while a file is open whose view a failed in-place save released: the
// cached content, if any, is then the only whole copy of the edited file.
bool hv_content_unavailable();

constexpr const char *HV_CONTENT_UNAVAILABLE =
    "file content unavailable after a failed save - save again or reopen the file";
