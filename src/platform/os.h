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

// What a path names, as the save sees it (links followed).
enum hv_path_kind {
    HV_PATH_MISSING = 0,  // nothing exists under the name (yet)
    HV_PATH_REGULAR = 1,  // a regular file
    HV_PATH_OTHER = 2,    // a folder, device, FIFO, socket, ...
};

struct hv_path_info {
    hv_path_kind kind;
    int64_t links;    // hard links to the file (1 for an ordinary file)
    uint32_t mode;    // permission bits (POSIX: st_mode & 07777; Win32: file attributes)
    uint32_t owner;   // POSIX: owning user id; 0 where the platform has none
    uint32_t group;   // POSIX: owning group id; 0 where the platform has none
    uint64_t volume;  // with file_id, the file's identity: two paths name the
    uint64_t file_id; // same file when both numbers are equal
    int64_t birth;    // when the file was made (POSIX: ns since the epoch, statx);
                      // 0 where the system does not tell (Win32, whose file ids
                      // change when a file record is reused)
    int32_t mine;     // owned by the effective user (Win32: the process token's user)
    int32_t others_may_write;  // POSIX: group or others may write it; Win32: 0
};

// What a file the save makes beside its target is for; part of its name.
enum hv_temp_kind : int32_t {
    HV_TEMP_SAVE = 0,     // the new content of a whole save, renamed over the target
    HV_TEMP_COPY = 1,     // the copy of the content a rewrite in place restores from
    HV_TEMP_JOURNAL = 2,  // a journal being written, renamed into place when whole
};
constexpr uint32_t hv_temp_kind_bit(hv_temp_kind kind) { return 1u << kind; }

// Outcome of taking a file's save lock.
enum hv_lock_result {
    HV_LOCK_OK = 0,
    HV_LOCK_HELD = 1,    // another open file (any process, this one too) holds it
    HV_LOCK_FAILED = 2,  // see last_error
};

// Outcome of a step of the save that has a way around it.
enum hv_fs_result {
    HV_FS_OK = 0,
    // The system will not do this here (no permission to add a file to the
    // folder, a name too long, an entry that cannot be replaced by a rename),
    // while rewriting the file in place may still work. Nothing was changed.
    HV_FS_NOT_ALLOWED = 1,
    // Any other failure (disk full, I/O error, read-only volume, missing
    // folder): see last_error. Nothing was changed.
    HV_FS_FAILED = 2,
};

struct hv_os_table {
    // Opens an existing regular file for reading; refuses other kinds of file
    // without blocking. HV_NO_HANDLE on failure (see last_error).
    hv_handle (*open_read)(const char *path);
    // Opens a regular file for reading and writing, creating it when missing.
    hv_handle (*open_rw)(const char *path);
    // The file's size; false on failure.
    bool (*file_size)(hv_handle h, int64_t *size);
    // False when the size reported for the regular file of handle h is not
    // what it holds: a file of the kernel's own file systems (Linux: proc,
    // sysfs, debugfs, tracefs, configfs, securityfs, cgroup, bpf, pstore,
    // efivarfs, ...), whose sizes (0, 4096) say nothing of what a read gives
    // and whose writes act on the system, never read here; or a file
    // reported empty whose first byte can still be read (one byte read at
    // offset 0, without blocking). True otherwise (Win32: always).
    bool (*size_known)(hv_handle h);
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

    // ---- Entries used by the save. Every one sets last_error on failure.

    // Writes to `out` (room for `cap` bytes) the path of the file that `path`
    // finally names when it is a symbolic link, or a chain of them; otherwise
    // (and where the platform has no such links) copies `path` unchanged. The
    // file at the end need not exist. False on a loop of links, a result
    // longer than cap - 1, or a link that cannot be read. A link in a sticky
    // folder that others may write is followed only when the effective user
    // or the folder's owner owns it (what fs.protected_symlinks enforces,
    // whatever the machine's setting); otherwise false with EACCES.
    bool (*resolve_link)(const char *path, char *out, std::size_t cap);
    // Describes the file that `path` names, following links. A missing file
    // is success with kind HV_PATH_MISSING. False when the path cannot be
    // examined (for instance no permission to search a folder on the way).
    bool (*path_info)(const char *path, hv_path_info *info);
    // Creates a new, empty file under a fresh unique name of the given kind
    // in the folder that holds `path`, exclusively (never an existing name),
    // open for writing, readable and writable by its owner only; writes its
    // path (room for `cap` bytes) to temp_path and the handle to *h. The file
    // is locked for as long as that handle is open, so remove_temps_beside
    // leaves it alone.
    hv_fs_result (*create_temp_beside)(const char *path, hv_temp_kind kind, hv_handle *h, char *temp_path,
                                       std::size_t cap);
    // Gives the file of handle h the attributes of `like`: its permission
    // bits and, where the process may set them, its owner and group (skipped
    // silently otherwise). With `like` null, the permissions a newly created
    // file gets by default. False when the permission bits cannot be set.
    bool (*apply_attributes)(hv_handle h, const hv_path_info *like);
    // Renames the file `from` to `to`, replacing whatever `to` names in one
    // step, and makes the rename durable where the platform can do so in the
    // same call (Win32: write-through). Both are in the same folder.
    hv_fs_result (*replace_file)(const char *from, const char *to);
    // Pushes the changed entries of the folder that holds `path` to the
    // disk, so a rename in it survives a crash. True where the platform needs
    // nothing more than replace_file did.
    bool (*sync_folder_of)(const char *path);
    // Removes the name `path` (a file, never a folder).
    bool (*remove_file)(const char *path);
    // Removes the files of the kinds in `kinds` (hv_temp_kind_bit) that
    // create_temp_beside(path) made and a process that is gone left behind:
    // those owned by the effective user that no open handle locks. Gives how
    // many went.
    int (*remove_temps_beside)(const char *path, uint32_t kinds);
    // Creates the file, or empties an existing one, and opens it for writing
    // only, without sharing (Win32: CREATE_ALWAYS). Does not block on a FIFO
    // without a reader. HV_NO_HANDLE on failure.
    hv_handle (*create_for_write)(const char *path);

    // ---- Entries used by the patch in place, its journal and hole-keeping saves.

    // Opens an existing regular file for reading and writing; never creates
    // one. HV_NO_HANDLE on failure.
    hv_handle (*open_existing_rw)(const char *path);
    // Writes up to n bytes at `offset`, leaving the position alone; false on
    // failure, in which case nothing was written.
    bool (*write_at)(hv_handle h, int64_t offset, const uint8_t *data, std::size_t n, std::size_t *written);
    // Reads up to n bytes at `offset`; *got is 0 at the end of the file.
    bool (*read_at)(hv_handle h, int64_t offset, uint8_t *data, std::size_t n, std::size_t *got);
    // Moves the write position n bytes on without writing: what lies between
    // stays a hole where the file system keeps holes, zeros otherwise.
    bool (*skip)(hv_handle h, int64_t n);
    // Sets the file's size (a longer file ends in a hole where holes exist).
    bool (*set_size)(hv_handle h, int64_t size);
    // The first run of data at or after `from` in a file of `size` bytes:
    // [*data_at, *data_end). *data_at == size when only a hole is left. A
    // file system that keeps no holes reports the rest of the file as data.
    bool (*next_data)(hv_handle h, int64_t from, int64_t size, int64_t *data_at, int64_t *data_end);
    // Lets the file keep holes where the platform needs to be asked (Win32:
    // FSCTL_SET_SPARSE); true where it cannot or need not be done.
    bool (*make_sparse)(hv_handle h);

    // ---- Entries of the save lock and of journals.

    // Describes the file of an open handle (kind, links, identity, owner).
    bool (*handle_info)(hv_handle h, hv_path_info *info);
    // Opens an existing regular file for reading, and writing where allowed,
    // without following a symbolic link as its last part, sharing it with
    // every other opener.
    hv_handle (*open_nofollow)(const char *path);
    // Takes the file's save lock through handle h, without waiting. It
    // belongs to the handle (POSIX: flock, a lock of the open file
    // description; Win32: LockFileEx of a byte far past any data, as a
    // mandatory lock there would otherwise block reads), so two handles in
    // one process exclude each other, and it goes when the handle closes or
    // its process ends.
    hv_lock_result (*try_lock)(hv_handle h);
    // True when anything has the name: a file, a folder, a symbolic link
    // (the link itself, dangling or not).
    bool (*name_taken)(const char *path);
    // The user's own folder for journals that cannot lie beside their file
    // (POSIX: $XDG_STATE_HOME/quillmar-hexview, by default
    // ~/.local/state/quillmar-hexview; Win32: %LOCALAPPDATA%\quillmar-hexview),
    // into out (room for cap bytes), without a final separator. With
    // `create` it is made (only its owner may enter it) when missing. False
    // when it is missing (without `create`), cannot be made, or is not a
    // folder that only the effective user owns and may write.
    bool (*state_folder)(bool create, char *out, std::size_t cap);
};

// The table in use. Tests point it at a wrapped copy and restore it after.
extern const hv_os_table *hv_os;

// The platform's own table.
extern const hv_os_table hv_os_native;

// Closes the handle it holds when it goes (or at close()).
struct hv_handle_closer {
    hv_handle h = HV_NO_HANDLE;
    ~hv_handle_closer() { close(); }
    void close() {
        if (h != HV_NO_HANDLE) hv_os->close(h);
        h = HV_NO_HANDLE;
    }
};
