// The names of the files a save makes beside its target, shared by the
// platform layers: "<folder>.<name>~<hash>.<kind>-<8 hex digits>", where
// <name> is the target's name cut to 40 characters and <hash> the FNV-1a 32
// of its whole name, so two targets whose names share a beginning never
// take each other's files. The kind says what the file is for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/os.h"

constexpr int kTempAttempts = 100;
constexpr int kTempBaseChars = 40;  // of the target's name, so the temp name stays short

inline const char *hv_temp_kind_mark(hv_temp_kind kind) {
    switch (kind) {
    case HV_TEMP_COPY:
        return "hxcopy";
    case HV_TEMP_JOURNAL:
        return "hxjrnl";
    default:
        return "hxsave";
    }
}

inline uint32_t hv_name_hash(const char *name) {
    uint32_t h = 2166136261u;
    for (const char *c = name; *c; c++) {
        h ^= static_cast<uint8_t>(*c);
        h *= 16777619u;
    }
    return h;
}

// `folder` is the length of path's folder part, separator included. False when
// the name does not fit in cap bytes.
inline bool hv_temp_name_beside(const char *path, std::size_t folder, hv_temp_kind kind, unsigned random, char *out,
                                std::size_t cap) {
    const char *base = path + folder;
    int n = std::snprintf(out, cap, "%.*s.%.*s~%08x.%s-%08x", static_cast<int>(folder), path, kTempBaseChars, base,
                          hv_name_hash(base), hv_temp_kind_mark(kind), random);
    return n >= 0 && static_cast<std::size_t>(n) < cap;
}

// The kind of `name` (a name in path's folder, no folder part) when it is one
// that hv_temp_name_beside gives for `path`, whatever its random part; -1
// when it is not.
inline int hv_temp_kind_of(const char *name, const char *path, std::size_t folder) {
    char expected[kTempBaseChars + 32];
    const char *base = path + folder;
    int n = std::snprintf(expected, sizeof expected, ".%.*s~%08x.", kTempBaseChars, base, hv_name_hash(base));
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof expected) return -1;
    if (std::strncmp(name, expected, static_cast<std::size_t>(n)) != 0) return -1;
    const char *rest = name + n;
    constexpr std::size_t kMarkLen = 6, kRandomDigits = 8;
    if (std::strlen(rest) != kMarkLen + 1 + kRandomDigits || rest[kMarkLen] != '-') return -1;
    for (const char *c = rest + kMarkLen + 1; *c; c++)
        if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f'))) return -1;
    for (hv_temp_kind kind : {HV_TEMP_SAVE, HV_TEMP_COPY, HV_TEMP_JOURNAL})
        if (std::strncmp(rest, hv_temp_kind_mark(kind), kMarkLen) == 0) return kind;
    return -1;
}
