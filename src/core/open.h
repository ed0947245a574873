// Opening, mapping and releasing the one open file.
#pragma once

#include <cstdint>

#include "platform/os.h"

// Releases whatever is open, then opens and maps `path` (read-write when rw is
// 1). 0 on success, with `notice` (when not null or empty) as the error text
// that tells the host what the open found; -1 with a message and no file open
// on failure. `path` must not be S.name, which the release frees.
int hv_map(const char *path, int32_t rw, const char *notice = nullptr);

// Drops the open file, its edits and its cached content, and empties the
// calling thread's error text.
void hv_release();

// Frees every staged edit's bytes and the cached content; keeps the array.
void hv_clear_edits();

// True when both describe one existing file (volume and file id).
bool hv_same_file(const hv_path_info &a, const hv_path_info &b);

// True when handle h is on the file the open found (S.identity).
bool hv_is_the_open_file(hv_handle h);

// Maps the open file again after its view was released while the file itself
// was left as it was (a replace that failed). False when it cannot be done;
// the view then stays null.
bool hv_remap_view();

// A read-only handle on the open file once more, for where its holes are:
// HV_NO_HANDLE when it cannot be had or the file is no longer the size it was
// opened at. The caller closes it.
hv_handle hv_open_again();

// True once a read of the open file met a page that the file no longer has:
// another program shrank it since it was opened. Every later read of the file
// fails too, until it is closed or opened again.
bool hv_file_shrank();

// hv_file_shrank, and when true records the message
// "file shrank on disk since it was opened: <path>".
bool hv_check_shrank();
