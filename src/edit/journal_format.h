// The journal's layout (journal.h), shared by its writer and its reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

namespace hv_journal_format {

constexpr char kMagicV1[8] = {'H', 'X', 'J', 'R', 'N', 'L', '0', '1'};
constexpr char kMagicV2[8] = {'H', 'X', 'J', 'R', 'N', 'L', '0', '2'};
constexpr uint64_t kKindPatch = 1, kKindRestore = 2;
constexpr std::size_t kHeaderV1 = 40, kHeaderV2 = 48;
constexpr std::size_t kRangeHeadBytes = 16;
constexpr std::size_t kChecksumBytes = 8;
constexpr std::size_t kRangeHashBytes = 8;  // version 2: the hash of the range's new bytes
// More ranges than any save makes (two a staged edit at most): a journal
// that names more is not one of ours.
constexpr uint64_t kMaxRanges = 1u << 16;
constexpr std::size_t kMaxCopyName = 1024;
constexpr std::size_t kRestoreHeadBytes = 32;  // the copy's hash, the old size and hash, the file's birth

struct fnv1a {
    uint64_t h = 14695981039346656037ull;
    void add(const uint8_t *p, std::size_t n) {
        for (std::size_t i = 0; i < n; i++) {
            h ^= p[i];
            h *= 1099511628211ull;
        }
    }
};

inline void put_u64(uint8_t *at, uint64_t v) {
    for (int i = 0; i < 8; i++) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint64_t get_u64(const uint8_t *at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | at[i];
    return v;
}

// A journal or copy is provably ours when it is a plain file with one name,
// owned by us, that no one else may write. Null, or why not.
inline const char *ownership_fault(const hv_path_info &j) {
    if (j.kind != HV_PATH_REGULAR || j.links != 1) return "not a plain file";
    if (!j.mine) return "owned by another user";
    if (j.others_may_write) return "writable by other users";
    return nullptr;
}

// Length of the folder part of path, its last separator included.
inline std::size_t folder_length(const char *path) {
    std::size_t n = 0;
    for (std::size_t i = 0; path[i]; i++)
        if (path[i] == '/' || path[i] == '\\') n = i + 1;
    return n;
}

}  // namespace hv_journal_format
