// Heap calls of the engine, through a table that tests can wrap to make a
// chosen allocation fail.
#pragma once

#include <cstddef>
#include <cstdint>

struct hv_alloc_table {
    void *(*malloc)(std::size_t n);
    void *(*realloc)(void *p, std::size_t n);
    void (*free)(void *p);
};

extern const hv_alloc_table *hv_alloc;
extern const hv_alloc_table hv_alloc_native;

inline void *hv_malloc(std::size_t n) { return hv_alloc->malloc(n); }
inline void *hv_realloc(void *p, std::size_t n) { return hv_alloc->realloc(p, n); }
inline void hv_free(void *p) { hv_alloc->free(p); }

// A heap copy of a NUL-terminated text, or null when memory ran out.
char *hv_strdup(const char *text);

// Heap bytes freed with the object.
struct hv_heap_bytes {
    uint8_t *p = nullptr;
    std::size_t len = 0;
    hv_heap_bytes() = default;
    explicit hv_heap_bytes(std::size_t n) : p(n ? static_cast<uint8_t *>(hv_malloc(n)) : nullptr), len(p ? n : 0) {}
    ~hv_heap_bytes() { hv_free(p); }
    hv_heap_bytes(const hv_heap_bytes &) = delete;
    hv_heap_bytes &operator=(const hv_heap_bytes &) = delete;
};
