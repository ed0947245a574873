#include "core/json.h"

#include <cstdio>
#include <cstring>

void hv_json_escape(char *dst, uint64_t cap, const uint8_t *src, uint64_t n) {
    uint64_t w = 0;
    for (uint64_t i = 0; i < n; i++) {
        uint8_t b = src[i];
        if (b == '"' || b == '\\') {
            if (w + 2 < cap) {
                dst[w++] = '\\';
                dst[w++] = static_cast<char>(b);
            }
        } else if (b < 0x20) {
            std::snprintf(dst + w, cap - w, "\\u%04x", b);
            w += 6;
        } else {
            dst[w++] = static_cast<char>(b);
        }
        if (i + 1 < n && w + 8 >= cap) break;
    }
    dst[w] = '\0';
}

namespace {

// The longest text a list may have, its terminator not counted.
constexpr std::size_t kListMax(std::size_t cap) { return cap - 2; }

void list_append(hv_list &list, const char *text, std::size_t n) {
    if (list.failed) return;
    std::size_t room = list.cap - 1 - list.len;  // the last byte is never written
    if (list.len < list.cap - 1) {
        std::size_t k = n < room - 1 ? n : room - 1;
        std::memcpy(list.out + list.len, text, k);
        list.out[list.len + k] = '\0';
    }
    list.len += n;
    if (list.len > kListMax(list.cap)) {
        list.failed = true;
        list.out[0] = '\0';
    }
}

}  // namespace

hv_list hv_list_begin(char *buf, std::size_t cap) {
    buf[0] = '\0';
    return hv_list{buf, cap, 0, false, 0};
}

namespace {

void put_lead(hv_list &list) {
    if (list.count == 0)
        list_append(list, "[", 1);
    else
        list_append(list, ", ", 2);
}

}  // namespace

void hv_list_add(hv_list &list, const char *element, std::size_t n) {
    put_lead(list);
    list_append(list, element, n);
    list.count++;
}

char *hv_list_place(hv_list &list, std::size_t max_n) {
    if (list.failed || list.len + 2 + max_n > kListMax(list.cap)) return nullptr;
    char *w = list.out + list.len;
    if (list.count == 0) {
        *w++ = '[';
    } else {
        *w++ = ',';
        *w++ = ' ';
    }
    list.len = static_cast<std::size_t>(w - list.out);
    return w;
}

void hv_list_placed(hv_list &list, std::size_t n) {
    list.len += n;
    list.out[list.len] = '\0';
    list.count++;
}

const char *hv_list_end(hv_list &list) {
    if (list.count == 0) list_append(list, "[", 1);
    list_append(list, "]", 1);
    if (list.failed) list.out[0] = '\0';
    return list.out;
}
