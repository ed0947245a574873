// tools/hexview/common: what both hosts of the engine share, the hexview
// command (cli/) and its web editor `hexview serve` (serve/): the error a host
// reports to its user, offsets as people type them, the record of one edit
// and the one way to stage it, and system errors in the system's words.
// Like the hosts, it reaches the engine only through the hx_ functions.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// A failure caused by what the user asked for: the command prints it and
// exits with status 2, the server answers it with 400.
struct host_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Decimal or 0x-prefixed hex, 0 to INT64_MAX; throws host_error
// "invalid <what>: <text>" on anything else.
int64_t parse_offset(std::string_view text, const char *what);

// UTF-8 text as UTF-16LE bytes in hex digits ("63 00 61 00"), characters
// beyond U+FFFF as surrogate pairs: the hosts search UTF-16 text as hex, since
// the engine's own utf16 mode widens single bytes. Throws host_error on text
// that is not UTF-8.
std::string utf16le_hex(std::string_view utf8);

// One edit as a host stages it, with its whole bytes (the engine's list shows
// at most the first 64 of each).
struct edit_record {
    enum kind_t { write, insert, erase } kind;
    int64_t offset = 0;
    std::string hex;     // write, insert
    int64_t length = 0;  // erase
};
// Stages `e` in the engine: 0, or -1 with the engine's message in hx_last_error().
int stage_edit(const edit_record &e);

// The system's own text for an error code (errno on POSIX, a Windows error
// code on Windows), as std::system_category words it.
std::string system_message(int code);
