// Shared pieces of the save tests: an edited file and what it should become,
// and looks at the folder and the files the save leaves.
#pragma once

#include <set>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

// A file of 2.5 MiB, so its content takes three write calls.
constexpr std::size_t kEditedFileSize = 2621440;

bytes original_content();

// The original content written as data.bin and opened for writing.
class opened_original : public hexview_test {
protected:
    void SetUp() override;
    bytes original;
    std::string path;
};

// Stages an insert at 0, a write across the 1 MiB mark and a delete near the
// end on the open file; returns the content they make of `original`.
bytes stage_three_edits(const bytes &original);

// The names in the folder (a temporary file left behind shows up here).
std::set<std::string> names_in(const std::string &folder);
inline std::set<std::string> names_in(const temp_dir &dir) { return names_in(dir.path()); }

// What hx_page(offset, 1, "raw") shows for these bytes: 32 hex digits.
std::string raw_row(const bytes &content, std::size_t offset);

// The "bytes_hex" of the first row that the engine renders at offset.
std::string page_row(int64_t offset);

// The file's identity on its volume (its inode number), 0 when unknown.
unsigned long long file_identity(const std::string &path);

// The names in the journal state folder (none when it was never made).
std::set<std::string> names_in_state_folder();

// True when path lies in the journal state folder of the test process.
bool in_state_folder(const char *path);

// ---- Faults injected into the OS table.

// The system code the injected failures report through last_error.
extern unsigned long g_injected_code;
unsigned long injected_code();
// Records `code` as the failure's code and returns false.
bool fail_with(unsigned long code);

// A fault, and the message it leaves (with placeholders the test fills in).
struct fault_case {
    const char *name;
    void (*inject)(hv_os_table &);
    const char *message;
};
inline void PrintTo(const fault_case &c, std::ostream *os) { *os << c.name; }

// `text` with the first place of each key replaced by its value.
std::string fill_placeholders(std::string text, const std::vector<std::pair<std::string, std::string>> &values);
