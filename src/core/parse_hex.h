// The hex byte-string: pairs of hex digits, "??" for a wildcard byte where
// allowed, with tab, space, comma or colon as optional separators between items.
#pragma once

#include <cstdint>

// Parses text into a value array and a parallel mask array (0xFF for a literal
// byte, 0x00 for "??"); the caller frees both with hv_free. -1 and no message
// on failure, when the outputs are left untouched.
int hv_parse_hex(const char *text, int64_t *count, uint8_t **values, uint8_t **mask);

// As hv_parse_hex but for edit bytes: wildcards are refused. Hands back the
// bytes (caller frees with hv_free) and their count; -1 with a message on failure.
int hv_parse_hex_plain(const char *text, uint8_t **values, int64_t *count);
