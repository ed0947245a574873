#include "core/open.h"

#include "core/alloc.h"
#include "core/error.h"
#include "core/logical.h"
#include "core/state.h"
#include "platform/guard.h"
#include "platform/os.h"


void hv_clear_edits() {
    for (int64_t i = 0; i < S.n_edits; i++) {
        hv_free(S.edits[i].bytes);
        S.edits[i].bytes = nullptr;
    }
    S.n_edits = 0;
    S.held_bytes = 0;
    hv_logical_drop();
    S.logical_stale = 0;
    // A copy left on disk stays there: the failure's message named it.
    hv_free(S.rescue_path);
    S.rescue_path = nullptr;
    hv_free(S.rescue_journal);
    S.rescue_journal = nullptr;
}

void hv_release() {
    if (S.view) {
        hv_os->unmap(S.view, S.file_size);
        S.view = nullptr;
    }
    hv_guard_watch(HV_GUARD_VIEW, nullptr, 0);
    hv_free(S.name);
    S.name = nullptr;
    hv_free(S.real_path);
    S.real_path = nullptr;
    S.identity = hv_path_info{};
    hv_clear_edits();
    hv_free(S.edits);
    S.edits = nullptr;
    S.cap_edits = 0;
    S.file_size = 0;
    S.is_open = 0;
    S.is_rw = 0;
    hv_err_clear();
}

namespace {

constexpr std::size_t kPathRoom = 4096;

int fail_cannot_open(const char *path, unsigned long code) {
    hv_release();
    hv_err("cannot open file: %s (win error %lu)", path, code);
    return -1;
}

}  // namespace

int hv_map(const char *path, int32_t rw, const char *notice) {
    hv_guard_install();
    hv_release();
    // The file is found once, here: saves go to this file and check it is
    // still the one the path names.
    char real[kPathRoom];
    if (!hv_os->resolve_link(path, real, sizeof real)) return fail_cannot_open(path, hv_os->last_error());
    S.name = hv_strdup(path);
    S.real_path = hv_strdup(real);
    if (!S.name || !S.real_path) {
        hv_release();
        hv_err("out of memory");
        return -1;
    }
    hv_handle_closer file{rw ? hv_os->open_rw(real) : hv_os->open_read(real)};
    if (file.h == HV_NO_HANDLE) return fail_cannot_open(path, hv_os->last_error());
    if (!hv_os->handle_info(file.h, &S.identity)) return fail_cannot_open(path, hv_os->last_error());
    // A file of /proc or /sys is never shown as the empty (or 4 KiB) file
    // its size says, nor written: refused in both modes.
    if (!hv_os->size_known(file.h)) {
        hv_release();
        hv_err("not a regular file with a known size: %s (a file of the system's own, as in /proc or /sys, whose "
               "reported size is not what it holds)",
               path);
        return -1;
    }
    int64_t size = 0;
    if (!hv_os->file_size(file.h, &size)) {
        hv_release();
        hv_err("GetFileSizeEx failed: %s", path);
        return -1;
    }
    S.file_size = size;
    if (size > 0) {
        uint8_t *view = nullptr;
        hv_map_result r = hv_os->map(file.h, size, rw != 0, &view);
        if (r != HV_MAP_OK) {
            unsigned long e = hv_os->last_error();
            hv_release();
            if (r == HV_MAP_MAPPING_FAILED)
                hv_err("CreateFileMapping failed (win error %lu)", e);
            else
                hv_err("MapViewOfFile failed (win error %lu)", e);
            return -1;
        }
        S.view = view;
        hv_guard_watch(HV_GUARD_VIEW, view, size);
    }
    S.is_rw = rw;
    S.is_open = 1;
    // A successful open tells the host what it found in the error text.
    if (notice && notice[0]) hv_err("%s", notice);
    return 0;
}

bool hv_same_file(const hv_path_info &a, const hv_path_info &b) {
    return a.kind != HV_PATH_MISSING && b.kind != HV_PATH_MISSING && a.volume == b.volume && a.file_id == b.file_id;
}

bool hv_is_the_open_file(hv_handle h) {
    hv_path_info info{};
    return S.is_open && hv_os->handle_info(h, &info) && hv_same_file(info, S.identity);
}

bool hv_remap_view() {
    if (!S.is_open || S.view || S.file_size == 0) return true;
    hv_handle_closer file{S.is_rw ? hv_os->open_existing_rw(S.real_path) : hv_os->open_read(S.real_path)};
    if (file.h == HV_NO_HANDLE || !hv_is_the_open_file(file.h)) return false;
    int64_t size = 0;
    if (!hv_os->file_size(file.h, &size) || size != S.file_size) return false;
    uint8_t *view = nullptr;
    if (hv_os->map(file.h, size, S.is_rw != 0, &view) != HV_MAP_OK) return false;
    S.view = view;
    hv_guard_watch(HV_GUARD_VIEW, view, size);
    return true;
}

bool hv_file_shrank() { return S.is_open && S.view && hv_guard_lost(HV_GUARD_VIEW); }

bool hv_check_shrank() {
    if (!hv_file_shrank()) return false;
    hv_err("file shrank on disk since it was opened: %s", S.name);
    return true;
}

hv_handle hv_open_again() {
    if (!S.is_open || !S.real_path) return HV_NO_HANDLE;
    hv_handle h = hv_os->open_read(S.real_path);
    int64_t size = -1;
    if (h != HV_NO_HANDLE && (!hv_is_the_open_file(h) || !hv_os->file_size(h, &size) || size != S.file_size)) {
        hv_os->close(h);
        return HV_NO_HANDLE;
    }
    return h;
}
