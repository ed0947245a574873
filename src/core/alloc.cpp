#include "core/alloc.h"

#include <cstdlib>
#include <cstring>

const hv_alloc_table hv_alloc_native = {std::malloc, std::realloc, std::free};
const hv_alloc_table *hv_alloc = &hv_alloc_native;

char *hv_strdup(const char *text) {
    std::size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(hv_malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}
