// The logical content: the file with the staged edits applied in order, kept
// as a list of pieces of the mapped file and of the edits' bytes.
#pragma once

#include <cstdint>

#include "core/state.h"

// -1 when no file is open; the materialized length when the cache is fresh;
// otherwise the estimate file_size + inserted - deleted, never below 0.
// Never materializes and never sets the error text.
int64_t hv_logical_size();

// Builds the piece list of the logical content into S.logical; 0 when the
// cache is fresh afterwards, -1 with a message when it cannot be built. A
// cache that holds the first edits of the list only takes the newer ones, so
// a rebuild costs by the edits, never by the file. Called only while a file
// is open.
int hv_materialize();

// The first byte of piece p, or null when its source is gone.
const uint8_t *hv_piece_bytes(const hv_piece &p);

// Index of the first of the n pieces (in order) that ends after pos, or n
// when none does.
int64_t hv_find_piece(const hv_piece *pieces, int64_t n, int64_t pos);

// Index of the cached piece that holds logical offset pos, or S.n_pieces when
// pos is at or past the end.
int64_t hv_piece_at(int64_t pos);

// Copies up to n bytes of the cached content from pos into dst; returns how
// many were there.
int64_t hv_logical_read(int64_t pos, uint8_t *dst, int64_t n);

// True when a cached piece reads the mapped file.
bool hv_logical_uses_file();

// Makes a mapping of a file that holds exactly the cached content (the save's
// finished temporary file) the content's source; `path` is its name while it
// still has to be removed (null when it is gone already). Takes ownership.
void hv_logical_adopt_spare(uint8_t *mapping, int64_t len, char *path);

// Drops the cached pieces and the spare copy.
void hv_logical_drop();

// True while a file is open whose view a failed in-place save released: the
// cached content, if any, is then the only whole copy of the edited file.
bool hv_content_unavailable();

constexpr const char *HV_CONTENT_UNAVAILABLE =
    "file content unavailable after a failed save - save again or reopen the file";
