#include "edit/stage.h"

#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "core/json.h"
#include "core/logical.h"
#include "core/open.h"
#include "core/parse_hex.h"
#include "core/state.h"
#include "core/thread_buffers.h"

namespace {

constexpr int64_t kFirstEditCapacity = 64;
constexpr int64_t kListedBytes = 64;  // of each edit's bytes, in the listing

// Makes room for one more record; the array doubles when full.
bool grow_edits() {
    if (S.n_edits < S.cap_edits) return true;
    int64_t cap = S.n_edits == 0 ? kFirstEditCapacity : 2 * S.n_edits;
    void *grown = hv_realloc(S.edits, sizeof(hv_edit) * static_cast<std::size_t>(cap));
    if (!grown) return false;
    S.edits = static_cast<hv_edit *>(grown);
    S.cap_edits = cap;
    return true;
}

const char *op_name(int32_t kind) {
    switch (kind) {
    case HV_EDIT_WRITE: return "write";
    case HV_EDIT_INSERT: return "insert";
    default: return "delete";
    }
}

// One listing entry; at most 212 characters.
std::size_t format_entry(const hv_edit &e, char *entry, std::size_t cap) {
    int n = std::snprintf(entry, cap, "{\"op\":\"%s\",\"offset\":\"0x%012llx\",\"len\":%lld", op_name(e.kind),
                          static_cast<unsigned long long>(e.offset), static_cast<long long>(e.len));
    if (e.kind != HV_EDIT_DELETE) {
        n += std::snprintf(entry + n, cap - n, ",\"bytes\":\"");
        int64_t shown = e.len < kListedBytes ? e.len : kListedBytes;
        if (e.bytes) n = static_cast<int>(hv_put_hex(entry + n, e.bytes, static_cast<std::size_t>(shown)) - entry);
        n += std::snprintf(entry + n, cap - n, "\"");
    }
    n += std::snprintf(entry + n, cap - n, "}");
    return static_cast<std::size_t>(n);
}

}  // namespace

bool hv_staged_bytes_fit(int64_t held, int64_t adding, int64_t cap) {
    if (adding <= cap - held) return true;
    hv_err("staged bytes cap reached: %lld bytes are staged and this edit adds %lld, past the cap of %lld "
           "(save first, or stage less)",
           static_cast<long long>(held), static_cast<long long>(adding), static_cast<long long>(cap));
    return false;
}

int hv_stage(int32_t kind, int64_t offset, const uint8_t *bytes, int64_t len) {
    if (!hv_require_open()) return -1;
    if (!S.is_rw) {
        hv_err("file opened read-only - use hx_open_rw");
        return -1;
    }
    if (offset < 0) {
        hv_err("negative offset");
        return -1;
    }
    if (S.n_edits >= HV_MAX_EDITS) {
        hv_err("staged edits cap reached (%d)", static_cast<int>(HV_MAX_EDITS));
        return -1;
    }
    int64_t holds = bytes ? len : 0;  // a delete holds no bytes
    if (!hv_staged_bytes_fit(S.held_bytes, holds, HV_MAX_STAGED_BYTES)) return -1;
    if (hv_content_unavailable()) {
        // A new edit would need a rebuild from the released view; the cached
        // content must stay whole until it is saved.
        hv_err("%s", HV_CONTENT_UNAVAILABLE);
        return -1;
    }
    if (!grow_edits()) {
        hv_err("out of memory");
        return -1;
    }
    hv_edit &e = S.edits[S.n_edits];
    e = hv_edit{kind, offset, nullptr, len};
    if (bytes && len > 0) {
        e.bytes = static_cast<uint8_t *>(hv_malloc(static_cast<std::size_t>(len)));
        if (!e.bytes) {
            hv_err("out of memory");
            return -1;
        }
        std::memcpy(e.bytes, bytes, static_cast<std::size_t>(len));
    }
    S.logical_stale = 1;
    S.held_bytes += holds;
    S.n_edits++;
    return 0;
}

int hv_stage_hex(int32_t kind, const char *hex_bytes, int64_t offset) {
    if (!hex_bytes) {
        hv_err("NULL hex_bytes");
        return -1;
    }
    uint8_t *values = nullptr;
    int64_t count = 0;
    if (hv_parse_hex_plain(hex_bytes, &values, &count) != 0) return -1;
    int r = hv_stage(kind, offset, values, count);
    hv_free(values);
    return r;
}

int hv_stage_delete(int64_t offset, int64_t len) {
    if (len < 0) {
        hv_err("negative length");
        return -1;
    }
    return hv_stage(HV_EDIT_DELETE, offset, nullptr, len);
}

const char *hv_staged_json() {
    char *out = hv_thread_buffer(HV_BUF_STAGED);
    if (!out) return "";
    out[0] = '\0';
    if (!hv_require_open()) return out;
    hv_list list = hv_list_begin(out, hv_thread_buffer_size(HV_BUF_STAGED));
    char entry[256];
    for (int64_t i = 0; i < S.n_edits && i < HV_MAX_EDITS; i++)
        hv_list_add(list, entry, format_entry(S.edits[i], entry, sizeof entry));
    return hv_list_end(list);
}

int hv_discard() {
    if (!hv_require_open()) return -1;
    hv_clear_edits();
    return 0;
}
