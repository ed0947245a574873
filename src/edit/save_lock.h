// The save lock of a file: every save that writes a file holds it from
// before its journal or copy exists until they are gone, and an open holds it
// while it recovers an interrupted save, so a journal is rolled back only
// when no living save owns it (a "hot" journal). It is the platform's lock of
// one open handle (os.h try_lock), so it excludes other processes and other
// handles of this one alike, and a killed process lets go of it.
#pragma once

#include "platform/os.h"

enum class hv_lock_state {
    locked,          // held by us
    held,            // another save holds it still after the wait
    not_the_file,    // the path names another file than `expected` (or changed while we waited)
    failed,          // the file cannot be opened or locked: see last_error
};

class hv_save_lock {
public:
    // Opens `real` (its last part not followed) and takes its lock, trying
    // again for up to wait_ms while another holds it. With `expected`, the
    // file must be that one.
    hv_lock_state take(const char *real, const hv_path_info *expected, int wait_ms);
    const hv_path_info &file() const { return info_; }
    hv_handle handle() const { return handle_.h; }  // read-only, on the locked file
    void release() { handle_.close(); }

private:
    hv_handle_closer handle_;
    hv_path_info info_{};
};

// How long an open waits for another process's save to end, and a save for
// another save of the same file.
constexpr int HV_LOCK_WAIT_MS = 1500;
