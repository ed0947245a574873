// The operating-system layer: every file and mapping call the engine makes goes
// through this table, so tests can wrap one entry to make a chosen call fail.
#pragma once

#include <cstddef>
#include <cstdint>

using hv_handle = intptr_t;  // a file descriptor, or a Win32 HANDLE
constexpr hv_handle HV_NO_HANDLE = -1;

// Outcome of mapping a file, by the step that failed.
enum hv_map_result {
    HV_MAP_OK = 0,
    HV_MAP_MAPPING_FAILED = 1,  // the mapping object could not be made
    HV_MAP_VIEW_FAILED = 2,     // the view could not be mapped
};

struct hv_os_table {
    // Opens an existing regular file for reading; refuses other kinds of file
    // without blocking. HV_NO_HANDLE on failure (see last_error).
    hv_handle (*open_read)(const char *path);
    // Opens a regular file for reading and writing, creating it when missing.
    hv_handle (*open_rw)(const char *path);
    // The file's size; false on failure.
    bool (*file_size)(hv_handle h, int64_t *size);
    // Maps `size` (> 0) bytes of the file from offset 0. The handle may be
    // closed afterwards; the view stays valid until unmap.
    hv_map_result (*map)(hv_handle h, int64_t size, bool writable, uint8_t **view);
    void (*unmap)(uint8_t *view, int64_t size);
    // Writes up to n bytes at the current position; false on failure.
    bool (*write)(hv_handle h, const uint8_t *data, std::size_t n, std::size_t *written);
    // Pushes written data to the disk; false on failure.
    bool (*flush)(hv_handle h);
    void (*close)(hv_handle h);
    // The system's code for the last failed call on this thread.
    unsigned long (*last_error)();
};

// The table in use. Tests point it at a wrapped copy and restore it after.
extern const hv_os_table *hv_os;

// The platform's own table.
extern const hv_os_table hv_os_native;
