// The name of the temporary file a save writes beside its target, shared by
// the platform layers: "<folder>.<name>.hxsave-<8 hex digits>".
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

constexpr int kTempAttempts = 100;
constexpr int kTempBaseChars = 64;  // of the target's name, so the temp name stays short

// `folder` is the length of path's folder part, separator included. False when
// the name does not fit in cap bytes.
inline bool hv_temp_name_beside(const char *path, std::size_t folder, unsigned random, char *out, std::size_t cap) {
    int n = std::snprintf(out, cap, "%.*s.%.*s.hxsave-%08x", static_cast<int>(folder), path, kTempBaseChars,
                          path + folder, random);
    return n >= 0 && static_cast<std::size_t>(n) < cap;
}

// True when `name` (a name in path's folder, no folder part) is one that
// hv_temp_name_beside gives for `path`, whatever its random part.
inline bool hv_is_temp_name_of(const char *name, const char *path, std::size_t folder) {
    const char *base = path + folder;
    std::size_t base_len = std::strlen(base);
    if (base_len > kTempBaseChars) base_len = kTempBaseChars;
    static const char kMark[] = ".hxsave-";
    constexpr std::size_t kMarkLen = sizeof kMark - 1, kRandomDigits = 8;
    if (name[0] != '.' || std::strncmp(name + 1, base, base_len) != 0) return false;
    const char *rest = name + 1 + base_len;
    if (std::strncmp(rest, kMark, kMarkLen) != 0 || std::strlen(rest) != kMarkLen + kRandomDigits) return false;
    for (const char *c = rest + kMarkLen; *c; c++)
        if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f'))) return false;
    return true;
}
