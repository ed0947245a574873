#include "edit/file_reads.h"

#include "edit/content_hash.h"

bool hv_read_exactly(hv_handle h, int64_t offset, uint8_t *dst, std::size_t n) {
    std::size_t at = 0;
    while (at < n) {
        std::size_t got = 0;
        if (!hv_os->read_at(h, offset + static_cast<int64_t>(at), dst + at, n - at, &got) || got == 0) return false;
        at += got;
    }
    return true;
}

namespace {

// Hashes bytes in order, noting the hash where it has taken `mark` bytes.
struct marked_hash {
    hv_content_hash hash;
    int64_t pos = 0;
    int64_t mark;
    uint64_t *at_mark;

    void note() {
        if (pos == mark && at_mark) *at_mark = hash.value();
    }
    // The next piece ends before the mark, or at it.
    int64_t stop(int64_t end) const { return mark > pos && mark < end ? mark : end; }
    void zeros_to(int64_t end) {
        while (pos < end) {
            int64_t to = stop(end);
            hash.add_zeros(static_cast<uint64_t>(to - pos));
            pos = to;
            note();
        }
    }
    void bytes(const uint8_t *p, int64_t n) {
        const int64_t end = pos + n;
        while (pos < end) {
            int64_t to = stop(end);
            hash.add(p, static_cast<std::size_t>(to - pos));
            p += to - pos;
            pos = to;
            note();
        }
    }
};

}  // namespace

bool hv_hash_file(hv_handle h, int64_t size, uint8_t *buf, std::size_t cap, uint64_t *hash, int64_t prefix,
                  uint64_t *prefix_hash) {
    marked_hash m{{}, 0, prefix, prefix_hash};
    m.note();
    bool read = hv_for_each_data_run(h, size, buf, cap, [&](int64_t at, const uint8_t *p, std::size_t n) {
        m.zeros_to(at);
        m.bytes(p, static_cast<int64_t>(n));
        return true;
    });
    if (!read) return false;
    m.zeros_to(size);
    *hash = m.hash.value();
    return true;
}
