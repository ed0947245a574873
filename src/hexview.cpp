// The exported entry points. Each one is thin and hands over to its subsystem.
#include "quillmar_hexview.h"

#include "analysis/compare.h"
#include "analysis/info.h"
#include "core/error.h"
#include "core/logical.h"
#include "core/long_call.h"
#include "core/open.h"
#include "core/state.h"
#include "edit/journal.h"
#include "edit/save.h"
#include "edit/stage.h"
#include "search/results.h"
#include "search/search.h"
#include "view/page.h"

/* ---- Errors -------------------------------------------------------------- */

extern "C" HX_API const char *hx_last_error(void) { return hv_err_text(); }

/* ---- File ---------------------------------------------------------------- */

static int open_file(const char *path, int32_t rw) {
    if (!path) {
        hv_err("NULL path");
        return -1;
    }
    return hv_open_recovering(path, rw);
}

extern "C" HX_API int hx_open(const char *path) {
    hv_call call(HV_TOUCH_FILE);
    if (call.refused()) return -1;
    return open_file(path, 0);
}

extern "C" HX_API int hx_open_rw(const char *path) {
    hv_call call(HV_TOUCH_FILE);
    if (call.refused()) return -1;
    return open_file(path, 1);
}

extern "C" HX_API void hx_close(void) {
    hv_call call(HV_TOUCH_FILE);
    if (call.refused()) return;
    hv_release();
}

extern "C" HX_API int64_t hx_file_size(void) {
    hv_call call(HV_TOUCH_NOTHING);
    return hv_logical_size();
}

/* ---- Pages --------------------------------------------------------------- */

extern "C" HX_API const char *hx_page(int64_t offset, int32_t rows, const char *mode) {
    hv_call call(HV_TOUCH_NOTHING);
    return hv_page(offset, rows, mode);
}

extern "C" HX_API const char *hx_ascii_only(int64_t offset, int32_t rows) {
    hv_call call(HV_TOUCH_NOTHING);
    return hv_ascii_only(offset, rows);
}

/* ---- Search -------------------------------------------------------------- */

extern "C" HX_API int hx_search(const char *mode, const char *pattern, int64_t start) {
    hv_call call(HV_TOUCH_FILE | HV_TOUCH_HITS);
    if (call.refused()) return -1;
    return hv_search(mode, pattern, start);
}

extern "C" HX_API int32_t hx_search_count(void) {
    hv_call call(HV_TOUCH_HITS);
    if (call.refused()) return -1;
    return hv_search_count();
}

extern "C" HX_API int64_t hx_search_next(void) {
    hv_call call(HV_TOUCH_HITS);
    if (call.refused()) return -1;
    return hv_search_next();
}

extern "C" HX_API int64_t hx_search_last(void) {
    hv_call call(HV_TOUCH_HITS);
    if (call.refused()) return -1;
    return hv_search_last();
}

extern "C" HX_API const char *hx_search_field(int32_t index, const char *field) {
    hv_call call(HV_TOUCH_HITS);
    if (call.refused()) return "";
    return hv_search_field(index, field);
}

/* ---- Editing ------------------------------------------------------------- */

extern "C" HX_API int hx_write(const char *hex_bytes, int64_t offset) {
    hv_call call(HV_TOUCH_EDITS);
    if (call.refused()) return -1;
    return hv_stage_hex(HV_EDIT_WRITE, hex_bytes, offset);
}

extern "C" HX_API int hx_insert(const char *hex_bytes, int64_t offset) {
    hv_call call(HV_TOUCH_EDITS);
    if (call.refused()) return -1;
    return hv_stage_hex(HV_EDIT_INSERT, hex_bytes, offset);
}

extern "C" HX_API int hx_delete(int64_t offset, int64_t length) {
    hv_call call(HV_TOUCH_EDITS);
    if (call.refused()) return -1;
    return hv_stage_delete(offset, length);
}

extern "C" HX_API const char *hx_staged_json(void) {
    hv_call call(HV_TOUCH_NOTHING);
    return hv_staged_json();
}

extern "C" HX_API int hx_discard(void) {
    hv_call call(HV_TOUCH_EDITS);
    if (call.refused()) return -1;
    return hv_discard();
}

extern "C" HX_API int hx_save(const char *path) {
    hv_call call(HV_TOUCH_FILE | HV_TOUCH_EDITS);
    if (call.refused()) return -1;
    return hv_save(path);
}

/* ---- Analysis ------------------------------------------------------------ */

extern "C" HX_API const char *hx_info_json(void) {
    hv_call call(HV_TOUCH_NOTHING);
    return hv_info_json();
}

extern "C" HX_API const char *hx_entropy_json(void) {
    hv_call call(HV_TOUCH_NOTHING);
    return hv_entropy_json();
}

extern "C" HX_API int hx_compare(const char *path) {
    hv_call call(HV_TOUCH_FILE | HV_TOUCH_RUNS);
    if (call.refused()) return -1;
    return hv_compare(path);
}

extern "C" HX_API int hx_compare_count(void) {
    hv_call call(HV_TOUCH_RUNS);
    if (call.refused()) return -1;
    return hv_compare_count();
}

extern "C" HX_API const char *hx_compare_field(int index, const char *field) {
    hv_call call(HV_TOUCH_RUNS);
    if (call.refused()) return "";
    return hv_compare_field(index, field);
}

/* ---- Long calls ---------------------------------------------------------- */

extern "C" HX_API int32_t hx_cancel(void) { return hv_cancel(); }

extern "C" HX_API const char *hx_progress_json(void) { return hv_progress_json(); }
