// Staging edits: appending overwrites, inserts and deletes to the edit list,
// listing them and discarding them. The file itself changes only on a save.
#pragma once

#include <cstdint>

// Appends one edit (a copy of `len` bytes for a write or an insert). 0 when
// staged; -1 with a message, and the list exactly as it was, when refused.
int hv_stage(int32_t kind, int64_t offset, const uint8_t *bytes, int64_t len);

// True when `adding` more bytes fit beside the `held` ones (0 <= held <= cap)
// under `cap`; otherwise false with the "staged bytes cap reached" message.
// No sum is formed, so no `adding` can make it wrap.
bool hv_staged_bytes_fit(int64_t held, int64_t adding, int64_t cap);

// Parses `hex_bytes` (no wildcards) and stages it as a write or an insert.
int hv_stage_hex(int32_t kind, const char *hex_bytes, int64_t offset);

// Stages the removal of `len` bytes at `offset`.
int hv_stage_delete(int64_t offset, int64_t len);

// The staged edits as a JSON list in the calling thread's own buffer.
const char *hv_staged_json();

// Drops every staged edit and the cached content; the array is kept.
int hv_discard();
