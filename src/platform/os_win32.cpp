// Win32 implementation of the OS layer. The number reported after
// "win error" is the code from GetLastError.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "platform/guard.h"
#include "platform/os.h"
#include "platform/temp_name.h"
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

// A disk file's size is what it holds: Windows has no files like those of
// Linux's /proc, and devices are refused at the open.
bool win32_size_known(hv_handle) { return true; }

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

// A view whose file went away under a protected read is zero memory now.
void win32_unmap(uint8_t *view, int64_t) {
    if (hv_guard_take_replaced(view))
        VirtualFree(view, 0, MEM_RELEASE);
    else
        UnmapViewOfFile(view);
}

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

// ---- Entries used by the save.

bool failed(DWORD code) {
    SetLastError(code);
    return false;
}

bool copy_path(char *out, std::size_t cap, const char *text) {
    int n = std::snprintf(out, cap, "%s", text);
    return n >= 0 && static_cast<std::size_t>(n) < cap ? true : failed(ERROR_FILENAME_EXCED_RANGE);
}

// Length of the folder part of path, its last separator included.
std::size_t folder_length(const char *path) {
    std::size_t n = 0;
    for (std::size_t i = 0; path[i]; i++)
        if (path[i] == '\\' || path[i] == '/' || (i == 1 && path[i] == ':')) n = i + 1;
    return n;
}

// A handle for reading the file's information only: it neither reads nor
// writes, so it shares with every other opener, the library's own included.
HANDLE open_for_query(const char *path) {
    return CreateFileA(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Whether the path names a pipe (\\.\pipe\...). Any open of one, even to
// ask for its attributes, takes one of the server's instances as a client,
// so only the real open may touch it.
bool names_a_pipe(const char *path) {
    return is_separator(path[0]) && is_separator(path[1]) && (path[2] == '.' || path[2] == '?') &&
           is_separator(path[3]) && _strnicmp(path + 4, "pipe", 4) == 0 && is_separator(path[8]);
}

// A symbolic link (a reparse point) is replaced by the path of the file it
// finally names; any other path is kept as it is.
bool win32_resolve_link(const char *path, char *out, std::size_t cap) {
    if (names_a_pipe(path)) return copy_path(out, cap, path);
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return copy_path(out, cap, path);
    HANDLE h = open_for_query(path);
    if (h == INVALID_HANDLE_VALUE) return copy_path(out, cap, path);  // a dangling link: its own name
    char final_path[MAX_PATH * 8];
    DWORD n = GetFinalPathNameByHandleA(h, final_path, sizeof final_path, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    close_keeping_error(h, n ? ERROR_SUCCESS : GetLastError());
    if (n == 0) return false;
    if (n >= sizeof final_path) return failed(ERROR_FILENAME_EXCED_RANGE);
    return copy_path(out, cap, final_path);
}

// The token's user, or its default owner of new objects (an elevated
// administrator's files belong to the Administrators group).
bool token_has_sid(PSID sid, TOKEN_INFORMATION_CLASS which) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(8) unsigned char buffer[512];
    DWORD n = 0;
    bool same = false;
    if (GetTokenInformation(token, which, buffer, sizeof buffer, &n)) {
        PSID mine = which == TokenUser ? reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid
                                       : reinterpret_cast<TOKEN_OWNER *>(buffer)->Owner;
        same = EqualSid(sid, mine) != 0;
    }
    CloseHandle(token);
    return same;
}

// Whether the file of h (opened with READ_CONTROL) belongs to this process's
// user. A volume that keeps no access lists (FAT, exFAT) has no owners: anyone
// who reaches a file there may write it and every file beside it, so a journal
// found there can do nothing its maker could not do to the file directly.
bool owned_by_me(HANDLE h) {
    DWORD volume_flags = 0;
    if (GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &volume_flags, nullptr, 0) &&
        !(volume_flags & FILE_PERSISTENT_ACLS))
        return true;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD e = GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd);
    if (e != ERROR_SUCCESS) return false;
    bool mine = owner && (token_has_sid(owner, TokenUser) || token_has_sid(owner, TokenOwner));
    LocalFree(sd);
    return mine;
}

void describe(const BY_HANDLE_FILE_INFORMATION &fi, DWORD type, hv_path_info *info) {
    bool regular = type == FILE_TYPE_DISK && !(fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    info->kind = regular ? HV_PATH_REGULAR : HV_PATH_OTHER;
    info->links = fi.nNumberOfLinks;
    info->mode = fi.dwFileAttributes;
    info->volume = fi.dwVolumeSerialNumber;
    info->file_id = (static_cast<uint64_t>(fi.nFileIndexHigh) << 32) | fi.nFileIndexLow;
    // No birth time: NTFS file ids carry a sequence number that a reused
    // record changes, and the creation time is not one a file keeps on
    // every volume (Wine's changes with the file's content).
    info->birth = 0;
}

bool win32_handle_info(hv_handle h, hv_path_info *info) {
    *info = hv_path_info{};
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(as_handle(h), &fi)) return false;
    describe(fi, GetFileType(as_handle(h)), info);
    info->mine = owned_by_me(as_handle(h)) ? 1 : 0;
    return true;
}

bool win32_path_info(const char *path, hv_path_info *info) {
    *info = hv_path_info{};
    if (names_a_pipe(path)) {
        info->kind = HV_PATH_OTHER;
        return true;
    }
    HANDLE h = open_for_query(path);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        // A missing folder on the way is as missing as the file: creating it
        // fails later with the folder's own code.
        if (e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND) return false;
        info->kind = HV_PATH_MISSING;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION fi;
    bool ok = GetFileInformationByHandle(h, &fi);
    DWORD type = GetFileType(h);
    bool mine = ok && owned_by_me(h);
    close_keeping_error(h, ok ? ERROR_SUCCESS : GetLastError());
    if (!ok) return false;
    describe(fi, type, info);
    info->mine = mine ? 1 : 0;
    return true;
}

// Whether rewriting the file in place may still work where this failed: the
// folder takes no new file, the name is too long, or the target is in use or
// mapped (a rename cannot replace a mapped file on Windows).
hv_fs_result classify(DWORD code) {
    SetLastError(code);
    switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_NOT_SAME_DEVICE:
        return HV_FS_NOT_ALLOWED;
    default:
        return HV_FS_FAILED;
    }
}

// The file shares nothing but deletion: its maker may rename it while the
// handle is open (a journal is renamed into place before it is closed), and
// while that handle is open no one can open it to read, which is its lock
// (see remove_if_abandoned).
hv_fs_result win32_create_temp_beside(const char *path, hv_temp_kind kind, hv_handle *h, char *temp_path,
                                      std::size_t cap) {
    std::size_t folder = folder_length(path);
    std::random_device random;
    for (int attempt = 0; attempt < kTempAttempts; attempt++) {
        if (!hv_temp_name_beside(path, folder, kind, static_cast<unsigned>(random()), temp_path, cap))
            return classify(ERROR_FILENAME_EXCED_RANGE);
        HANDLE file = CreateFileA(temp_path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            *h = from_handle(file);
            return HV_FS_OK;
        }
        DWORD e = GetLastError();
        if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) return classify(e);
    }
    return classify(ERROR_FILE_EXISTS);
}

// Windows keeps no owner bits in the information the save carries: the file
// attributes (read-only, hidden, system, archive) are what is copied. Access
// rights come from the folder, as for any new file.
bool win32_apply_attributes(hv_handle h, const hv_path_info *like) {
    if (!like) return true;
    constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                            FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = like->mode & kKept;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(as_handle(h), FileBasicInfo, &basic, sizeof basic) != 0;
}

hv_fs_result win32_replace_file(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return HV_FS_OK;
    return classify(GetLastError());
}

// MOVEFILE_WRITE_THROUGH already made the rename durable.
bool win32_sync_folder_of(const char *) { return true; }

bool win32_remove_file(const char *path) { return DeleteFileA(path) != 0; }

// A file in use by its maker cannot be opened for reading (its handle shares
// deletion only); one that opens is checked to be ours and removed through
// its handle. Asking for no data access would open a file in use too.
bool remove_if_abandoned(const char *name) {
    HANDLE h = CreateFileA(name, FILE_READ_DATA | READ_CONTROL | DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION fi;
    bool removed = false;
    if (GetFileInformationByHandle(h, &fi) && !(fi.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        owned_by_me(h)) {
        FILE_DISPOSITION_INFO dispose{};
        dispose.DeleteFile = TRUE;
        removed = SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose) != 0;
    }
    CloseHandle(h);
    return removed;
}

int win32_remove_temps_beside(const char *path, uint32_t kinds) {
    std::size_t folder = folder_length(path);
    char pattern[MAX_PATH * 8], name[MAX_PATH * 8];
    int n = std::snprintf(pattern, sizeof pattern, "%.*s.*", static_cast<int>(folder), path);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof pattern) return 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int removed = 0;
    do {
        int kind = hv_temp_kind_of(found.cFileName, path, folder);
        if (kind < 0 || !(kinds & hv_temp_kind_bit(static_cast<hv_temp_kind>(kind)))) continue;
        n = std::snprintf(name, sizeof name, "%.*s%s", static_cast<int>(folder), path, found.cFileName);
        if (n > 0 && static_cast<std::size_t>(n) < sizeof name && remove_if_abandoned(name)) removed++;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return removed;
}

hv_handle win32_create_for_write(const char *path) {
    return from_handle(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// ---- Entries used by the patch in place and hole-keeping saves.

hv_handle win32_open_existing_rw(const char *path) {
    return open_disk_file(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
}

OVERLAPPED at_offset(int64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xffffffffu);
    o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    return o;
}

bool win32_write_at(hv_handle h, int64_t offset, const uint8_t *data, std::size_t n, std::size_t *written) {
    DWORD chunk = n > MAXDWORD ? MAXDWORD : static_cast<DWORD>(n);
    DWORD done = 0;
    OVERLAPPED o = at_offset(offset);
    BOOL ok = WriteFile(as_handle(h), data, chunk, &done, &o);
    *written = ok ? done : 0;
    return ok != 0;
}

bool win32_read_at(hv_handle h, int64_t offset, uint8_t *data, std::size_t n, std::size_t *got) {
    DWORD chunk = n > MAXDWORD ? MAXDWORD : static_cast<DWORD>(n);
    DWORD done = 0;
    OVERLAPPED o = at_offset(offset);
    *got = 0;
    if (ReadFile(as_handle(h), data, chunk, &done, &o)) {
        *got = done;
        return true;
    }
    return GetLastError() == ERROR_HANDLE_EOF;
}

bool win32_skip(hv_handle h, int64_t n) {
    LARGE_INTEGER by;
    by.QuadPart = n;
    return SetFilePointerEx(as_handle(h), by, nullptr, FILE_CURRENT) != 0;
}

bool win32_set_size(hv_handle h, int64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    return SetFileInformationByHandle(as_handle(h), FileEndOfFileInfo, &end, sizeof end) != 0;
}

// Asks for the first allocated range from `from` on. A volume or a version of
// the system that cannot tell has every byte allocated: all data.
bool win32_next_data(hv_handle h, int64_t from, int64_t size, int64_t *data_at, int64_t *data_end) {
    *data_at = from;
    *data_end = size;
    if (from >= size) {
        *data_at = size;
        return true;
    }
    FILE_ALLOCATED_RANGE_BUFFER ask{};
    ask.FileOffset.QuadPart = from;
    ask.Length.QuadPart = size - from;
    FILE_ALLOCATED_RANGE_BUFFER got{};
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(as_handle(h), FSCTL_QUERY_ALLOCATED_RANGES, &ask, sizeof ask, &got, sizeof got, &bytes,
                              nullptr);
    if (!ok && GetLastError() != ERROR_MORE_DATA) return true;
    if (bytes < sizeof got) {
        *data_at = size;
        return true;
    }
    int64_t start = got.FileOffset.QuadPart, end = start + got.Length.QuadPart;
    *data_at = start < from ? from : (start > size ? size : start);
    *data_end = end > size ? size : end;
    if (*data_end < *data_at) *data_end = *data_at;
    return true;
}

bool win32_make_sparse(hv_handle h) {
    DWORD bytes = 0;
    return DeviceIoControl(as_handle(h), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr) != 0;
}

// ---- Entries of the save lock and of journals.

// Reading only: the save lock is this handle, held while the library opens
// the same file to write it, and those opens share reading only, so a handle
// that may write would refuse them (ERROR_SHARING_VIOLATION). LockFileEx
// needs no write access.
hv_handle win32_open_nofollow(const char *path) {
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return HV_NO_HANDLE;
    BY_HANDLE_FILE_INFORMATION fi;
    if (GetFileInformationByHandle(h, &fi) && (fi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        close_keeping_error(h, ERROR_CANT_RESOLVE_FILENAME);
        return HV_NO_HANDLE;
    }
    if (DWORD e = not_a_disk_file(h)) {
        close_keeping_error(h, e);
        return HV_NO_HANDLE;
    }
    return from_handle(h);
}

// Byte-range locks are mandatory on Windows: the lock takes one byte far past
// any data, so it blocks no read or write of the file.
constexpr DWORD kLockOffsetHigh = 0x7fffffff, kLockOffsetLow = 0xfffffff0;

hv_lock_result win32_try_lock(hv_handle h) {
    OVERLAPPED o{};
    o.Offset = kLockOffsetLow;
    o.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(as_handle(h), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &o))
        return HV_LOCK_OK;
    DWORD e = GetLastError();
    return e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING ? HV_LOCK_HELD : HV_LOCK_FAILED;
}

bool win32_name_taken(const char *path) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
    DWORD e = GetLastError();
    return e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND;
}

bool win32_state_folder(bool create, char *out, std::size_t cap) {
    char base[MAX_PATH * 4];
    DWORD n = GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
    if (n == 0 || n >= sizeof base) return failed(ERROR_ENVVAR_NOT_FOUND);
    int k = std::snprintf(out, cap, "%s\\quillmar-hexview", base);
    if (k < 0 || static_cast<std::size_t>(k) >= cap) return failed(ERROR_FILENAME_EXCED_RANGE);
    if (create && !CreateDirectoryA(out, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    // The folder itself, never where a link of that name leads; ours, or the
    // journals in it could be anyone's.
    HANDLE h = CreateFileA(out, READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(h, &fi)) {
        close_keeping_error(h, GetLastError());
        return false;
    }
    bool usable = (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                  !(fi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && owned_by_me(h);
    CloseHandle(h);
    return usable ? true : failed(ERROR_ACCESS_DENIED);
}

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
    .open_read = win32_open_read,
    .open_rw = win32_open_rw,
    .file_size = win32_file_size,
    .size_known = win32_size_known,
    .map = win32_map,
    .unmap = win32_unmap,
    .write = win32_write,
    .flush = win32_flush,
    .close = win32_close,
    .last_error = win32_last_error,
    .resolve_link = win32_resolve_link,
    .path_info = win32_path_info,
    .create_temp_beside = win32_create_temp_beside,
    .apply_attributes = win32_apply_attributes,
    .replace_file = win32_replace_file,
    .sync_folder_of = win32_sync_folder_of,
    .remove_file = win32_remove_file,
    .remove_temps_beside = win32_remove_temps_beside,
    .create_for_write = win32_create_for_write,
    .open_existing_rw = win32_open_existing_rw,
    .write_at = win32_write_at,
    .read_at = win32_read_at,
    .skip = win32_skip,
    .set_size = win32_set_size,
    .next_data = win32_next_data,
    .make_sparse = win32_make_sparse,
    .handle_info = win32_handle_info,
    .open_nofollow = win32_open_nofollow,
    .try_lock = win32_try_lock,
    .name_taken = win32_name_taken,
    .state_folder = win32_state_folder,
};

const hv_os_table *hv_os = &hv_os_native;
