// The name of the temporary file a save writes beside its target, shared by
// the platform layers: "<folder>.<name>.hxsave-<8 hex digits>".
#pragma once

#include <cstddef>
#include <cstdio>

constexpr int kTempAttempts = 100;
constexpr int kTempBaseChars = 64;  // of the target's name, so the temp name stays short

// `folder` is the length of path's folder part, separator included. False when
// the name does not fit in cap bytes.
inline bool hv_temp_name_beside(const char *path, std::size_t folder, unsigned random, char *out, std::size_t cap) {
    int n = std::snprintf(out, cap, "%.*s.%.*s.hxsave-%08x", static_cast<int>(folder), path, kTempBaseChars,
                          path + folder, random);
    return n >= 0 && static_cast<std::size_t>(n) < cap;
}
