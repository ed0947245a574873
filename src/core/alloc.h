// Heap calls of the engine, through a table that tests can wrap to make a
// chosen allocation fail.
#pragma once

#include <cstddef>

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
