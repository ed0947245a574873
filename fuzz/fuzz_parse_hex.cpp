// The hex byte-string parser against a plain reference parser: the same count,
// values and masks, or both fail; outputs untouched on failure; the plain
// variant's messages; and allocation failures at any step (first arrays or a
// growth) end in a clean failure with nothing leaked.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/alloc.h"
#include "fuzz_support.h"
#include "quillmar_hexview.h"
#include "core/parse_hex.h"

namespace {

// Lets `allow` allocations (malloc or realloc) succeed, then fails the rest.
int g_allow = -1;
bool g_failed = false;

bool may_allocate() {
    if (g_allow < 0) return true;
    if (g_allow == 0) {
        g_failed = true;
        return false;
    }
    g_allow--;
    return true;
}

void *counted_malloc(std::size_t n) { return may_allocate() ? std::malloc(n) : nullptr; }
void *counted_realloc(void *p, std::size_t n) { return may_allocate() ? std::realloc(p, n) : nullptr; }

const hv_alloc_table counted = {counted_malloc, counted_realloc, std::free};

std::string error_text(const std::string &message) { return message.substr(0, 1023); }

void check_parse(const std::string &text, const parsed_hex &want) {
    int64_t count = -7;
    uint8_t *values = nullptr, *mask = nullptr;
    g_failed = false;
    int r = hv_parse_hex(text.c_str(), &count, &values, &mask);
    bool ok = want.ok && !g_failed;
    FUZZ_EQ(r, ok ? 0 : -1);
    if (r != 0) {
        FUZZ_CHECK(count == -7 && values == nullptr && mask == nullptr);  // untouched
        return;
    }
    FUZZ_EQ(count, static_cast<int64_t>(want.values.size()));
    FUZZ_CHECK(std::memcmp(values, want.values.data(), want.values.size()) == 0);
    FUZZ_CHECK(std::memcmp(mask, want.mask.data(), want.mask.size()) == 0);
    hv_free(values);
    hv_free(mask);
}

void check_plain(const std::string &text, const parsed_hex &want) {
    uint8_t *plain = nullptr;
    int64_t count = -7;
    hx_close();  // empties the error text
    g_failed = false;
    int r = hv_parse_hex_plain(text.c_str(), &plain, &count);
    bool parsed = want.ok && !g_failed;
    bool wildcard = parsed && std::memchr(want.mask.data(), 0, want.mask.size()) != nullptr;
    FUZZ_EQ(r, parsed && !wildcard ? 0 : -1);
    if (!parsed) {
        FUZZ_EQ(std::string(hx_last_error()), error_text("invalid hex bytes: " + text));
    } else if (wildcard) {
        FUZZ_EQ(std::string(hx_last_error()), std::string("wildcards not allowed in patch bytes"));
    } else {
        FUZZ_EQ(std::string(hx_last_error()), std::string(""));
        FUZZ_EQ(count, static_cast<int64_t>(want.values.size()));
        FUZZ_CHECK(std::memcmp(plain, want.values.data(), want.values.size()) == 0);
        hv_free(plain);
    }
}

}  // namespace

// The first byte chooses the allocation budget: below 0x80 none, else the
// low four bits are the number of allocations that succeed.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    int budget = data[0] & 0x80 ? data[0] & 0x0f : -1;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    text = text.substr(0, text.find('\0'));  // the parser sees a NUL-terminated text
    parsed_hex want = reference_parse_hex(text);

    hv_alloc = &counted;
    g_allow = budget;
    check_parse(text, want);
    g_allow = budget;
    check_plain(text, want);
    hv_alloc = &hv_alloc_native;
    return 0;
}
