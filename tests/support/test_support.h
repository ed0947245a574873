// Shared helpers for the tests: temporary folders and files, and scoped
// replacements of the OS and allocation tables for fault injection.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "platform/os.h"
#include "support/thread_barrier.h"

using bytes = std::vector<uint8_t>;

// The system's codes that messages carry after "win error".
#ifdef _WIN32
constexpr unsigned long kMissingFileCode = 2;    // ERROR_FILE_NOT_FOUND
constexpr unsigned long kMissingFolderCode = 3;  // ERROR_PATH_NOT_FOUND
constexpr unsigned long kFolderCode = 5;         // ERROR_ACCESS_DENIED
#else
constexpr unsigned long kMissingFileCode = ENOENT;
constexpr unsigned long kMissingFolderCode = ENOENT;
constexpr unsigned long kFolderCode = EISDIR;
#endif

// A fresh folder under the system's temporary folder, removed with its contents.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes `data` to a file in the folder and returns its path.
    std::string write(const std::string &name, const bytes &data) const;
    std::string write(const std::string &name, const std::string &text) const;

private:
    std::string path_;
};

bytes read_file(const std::string &path);

// The folder where journals go when they cannot lie beside their file: a
// fresh one for each test process, and for each test of hexview_test.
std::string journal_state_folder();
// The path of `name` in that folder, joined as the library joins it.
std::string journal_state_file(const std::string &name);
// Makes `root` the user's state folder (XDG_STATE_HOME, or LOCALAPPDATA).
void point_state_folder_at(const std::string &root);

// Data at one offset of a file that is a hole everywhere else.
struct island {
    int64_t at;
    bytes data;
};
// Writes a file of `size` bytes that holds the islands and is a hole (where
// the file system keeps holes) elsewhere; returns its path.
std::string write_sparse(const temp_dir &dir, const std::string &name, int64_t size,
                         const std::vector<island> &islands);
// What such a file reads as: zeros but for the islands.
bytes sparse_bytes(int64_t size, const std::vector<island> &islands);
bool file_exists(const std::string &path);
bytes to_bytes(const std::string &text);
bytes iota_bytes(std::size_t n, uint8_t first = 0);
// The bytes as lowercase hex digits, two a byte, no separators.
std::string hex_string(const bytes &b);

// A test fixture that closes whatever is open around each test and gives it a
// temporary folder.
class hexview_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    temp_dir dir;
    temp_dir state_root;
};

// Replaces the OS table for the life of the object; `table` starts as a copy
// of the native one, so a test changes only the entries it cares about.
class scoped_os {
public:
    scoped_os();
    ~scoped_os();
    hv_os_table table;
};

// Makes every allocation fail after `allow` more have succeeded.
class scoped_alloc_failure {
public:
    explicit scoped_alloc_failure(int allow);
    ~scoped_alloc_failure();
};

// The page's rows, split at the "}, {" between elements.
std::vector<std::string> split_rows(const std::string &list);

// The string value of "key" in a flat JSON object text, or "" when missing.
std::string json_field(const std::string &object, const std::string &key);
