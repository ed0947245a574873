// Win32 implementation of the OS layer. The number reported after
// "win error" is the code from GetLastError.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/os.h"
#include "platform/thread_slot.h"

namespace {

HANDLE as_handle(hv_handle h) { return reinterpret_cast<HANDLE>(h); }

// INVALID_HANDLE_VALUE is (HANDLE)-1, the same value as HV_NO_HANDLE.
hv_handle from_handle(HANDLE h) { return h == INVALID_HANDLE_VALUE ? HV_NO_HANDLE : reinterpret_cast<hv_handle>(h); }

// Closes a handle without losing the code of the failure that made us close it.
void close_keeping_error(HANDLE h, DWORD code) {
    CloseHandle(h);
    SetLastError(code);
}

// The code for a handle that is not an ordinary file on a disk, or 0 when it
// is one. A folder gets ERROR_ACCESS_DENIED, as CreateFileA itself reports for
// it; a device, pipe or console gets ERROR_INVALID_FUNCTION: such handles
// cannot be sized or mapped, and the name would only block or mislead.
DWORD not_a_disk_file(HANDLE h) {
    if (GetFileType(h) != FILE_TYPE_DISK) return ERROR_INVALID_FUNCTION;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        DWORD e = GetLastError();
        return e ? e : ERROR_INVALID_FUNCTION;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
    return 0;
}

// Opens with the given access and disposition, sharing reading only, and
// refuses anything but a regular file.
hv_handle open_disk_file(const char *path, DWORD access, DWORD disposition) {
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return HV_NO_HANDLE;
    if (DWORD e = not_a_disk_file(h)) {
        close_keeping_error(h, e);
        return HV_NO_HANDLE;
    }
    return from_handle(h);
}

hv_handle win32_open_read(const char *path) { return open_disk_file(path, GENERIC_READ, OPEN_EXISTING); }

hv_handle win32_open_rw(const char *path) {
    return open_disk_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
}

bool win32_file_size(hv_handle h, int64_t *size) {
    LARGE_INTEGER li;
    if (!GetFileSizeEx(as_handle(h), &li)) return false;
    *size = static_cast<int64_t>(li.QuadPart);
    return true;
}

// The mapping object lives only until the view is made: the view keeps the
// file mapped after both handles are closed.
hv_map_result win32_map(hv_handle h, int64_t size, bool writable, uint8_t **view) {
    *view = nullptr;
    HANDLE mapping = CreateFileMappingA(as_handle(h), nullptr, writable ? PAGE_READWRITE : PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) return HV_MAP_MAPPING_FAILED;
    DWORD access = writable ? (FILE_MAP_READ | FILE_MAP_WRITE) : FILE_MAP_READ;
    void *p = MapViewOfFile(mapping, access, 0, 0, static_cast<SIZE_T>(size));
    if (!p) {
        close_keeping_error(mapping, GetLastError());
        return HV_MAP_VIEW_FAILED;
    }
    CloseHandle(mapping);
    *view = static_cast<uint8_t *>(p);
    return HV_MAP_OK;
}

void win32_unmap(uint8_t *view, int64_t) { UnmapViewOfFile(view); }

// One synchronous WriteFile; callers pass at most 1 MiB, the clamp only keeps
// the count within a DWORD.
bool win32_write(hv_handle h, const uint8_t *data, std::size_t n, std::size_t *written) {
    DWORD chunk = n > MAXDWORD ? MAXDWORD : static_cast<DWORD>(n);
    DWORD done = 0;
    BOOL ok = WriteFile(as_handle(h), data, chunk, &done, nullptr);
    *written = ok ? done : 0;
    return ok != 0;
}

bool win32_flush(hv_handle h) { return FlushFileBuffers(as_handle(h)) != 0; }

void win32_close(hv_handle h) { CloseHandle(as_handle(h)); }

unsigned long win32_last_error() { return GetLastError(); }

// The slot is a fiber-local storage index, whose callback the system calls at
// thread exit with the thread's value, for threads made by any means.
hv_thread_release g_release = nullptr;
DWORD g_fls_index = FLS_OUT_OF_INDEXES;
INIT_ONCE g_fls_once = INIT_ONCE_STATIC_INIT;

void WINAPI release_at_thread_exit(void *p) {
    if (p && g_release) g_release(p);
}

BOOL CALLBACK alloc_fls_index(PINIT_ONCE, PVOID, PVOID *) {
    g_fls_index = FlsAlloc(release_at_thread_exit);
    return TRUE;
}

DWORD fls_index() {
    InitOnceExecuteOnce(&g_fls_once, alloc_fls_index, nullptr, nullptr);
    return g_fls_index;
}

// Frees the index when the DLL unloads (or the program ends). FlsFree hands
// every thread's value to the callback first, so no callback into unloaded
// code is left behind; later calls get no slot.
struct fls_index_owner {
    ~fls_index_owner() {
        if (g_fls_index == FLS_OUT_OF_INDEXES) return;
        FlsFree(g_fls_index);
        g_fls_index = FLS_OUT_OF_INDEXES;
    }
} g_fls_owner;

}  // namespace

void *hv_thread_slot_get() {
    DWORD index = fls_index();
    return index == FLS_OUT_OF_INDEXES ? nullptr : FlsGetValue(index);
}

bool hv_thread_slot_set(void *p, hv_thread_release release) {
    g_release = release;
    DWORD index = fls_index();
    return index != FLS_OUT_OF_INDEXES && FlsSetValue(index, p);
}

const hv_os_table hv_os_native = {
    win32_open_read, win32_open_rw, win32_file_size, win32_map, win32_unmap,
    win32_write,     win32_flush,   win32_close,     win32_last_error,
};

const hv_os_table *hv_os = &hv_os_native;
