// Makes the file behind one of the engine's mappings lose its tail, the way
// the platform lets that happen.
//   POSIX: another process truncates the file; reading the lost pages raises
//   SIGBUS.
//   Windows refuses to truncate a mapped file (tested on its own); what does
//   happen there is a file on a network share or removable disk going away,
//   whose pages then raise EXCEPTION_IN_PAGE_ERROR. Wine cannot produce that
//   fault, so the pages are made inaccessible and a vectored handler, ahead of
//   the engine's, passes each access violation on them on as that exception.
#pragma once

#include <cstdint>
#include <string>

// `view` maps `size` bytes of `path`; everything from `keep` (a multiple of
// 4096) on is lost. True when that could be arranged.
bool lose_file_tail(const std::string &path, const uint8_t *view, int64_t size, int64_t keep);

// Forgets the ranges made to fail (Windows); nothing to do on POSIX.
void forget_page_loss();

// True where the loss is a real truncation, so a new open sees the shorter file.
constexpr bool page_loss_truncates() {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}
