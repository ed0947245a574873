// POSIX implementation of the OS layer. The number reported after
// "win error" is errno.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/os.h"
#include "platform/temp_name.h"
#include "platform/thread_slot.h"

namespace {

thread_local int t_last_error = 0;

hv_handle fail(int code) {
    t_last_error = code;
    return HV_NO_HANDLE;
}

// O_NONBLOCK keeps a FIFO without a writer from blocking the open; anything
// but a regular file is then refused by its type.
hv_handle open_regular(const char *path, int flags, mode_t mode) {
    int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0) return fail(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return fail(e);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(S_ISDIR(st.st_mode) ? EISDIR : ENODEV);
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

hv_handle posix_open_read(const char *path) { return open_regular(path, O_RDONLY, 0); }

hv_handle posix_open_rw(const char *path) { return open_regular(path, O_RDWR | O_CREAT, 0666); }

bool posix_file_size(hv_handle h, int64_t *size) {
    struct stat st;
    if (::fstat(static_cast<int>(h), &st) != 0) {
        t_last_error = errno;
        return false;
    }
    *size = static_cast<int64_t>(st.st_size);
    return true;
}

#ifdef __linux__
// The kernel's own file systems, by their magic numbers (linux/magic.h):
// their files' sizes are not their contents, and writes to them act on the
// system.
constexpr uint32_t kKernelFileSystems[] = {
    0x9fa0,      // proc
    0x62656572,  // sysfs
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x62656570,  // configfs
    0x73636673,  // securityfs
    0x27e0eb,    // cgroup
    0x63677270,  // cgroup2
    0xcafe4a11,  // bpf
    0x6165676c,  // pstore
    0xde5e81e4,  // efivarfs
    0xf97cff8c,  // selinuxfs
    0x43415d53,  // smackfs
    0x65735543,  // fusectl
    0x42494e4d,  // binfmt_misc
};
#endif

bool posix_size_known(hv_handle h) {
    int fd = static_cast<int>(h);
#ifdef __linux__
    struct statfs fs;
    if (::fstatfs(fd, &fs) == 0) {
        for (uint32_t magic : kKernelFileSystems)
            if (static_cast<uint32_t>(fs.f_type) == magic) return false;
    }
#endif
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size != 0) return true;
    // Reported empty: a byte read at its start, without blocking, says
    // whether it is. A read that fails says nothing either way: refused.
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    uint8_t byte = 0;
    ssize_t got = ::pread(fd, &byte, 1, 0);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl);
    return got == 0;
}

hv_map_result posix_map(hv_handle h, int64_t size, bool writable, uint8_t **view) {
    int prot = PROT_READ | (writable ? PROT_WRITE : 0);
    void *p = ::mmap(nullptr, static_cast<size_t>(size), prot, MAP_SHARED, static_cast<int>(h), 0);
    if (p == MAP_FAILED) {
        t_last_error = errno;
        *view = nullptr;
        return HV_MAP_VIEW_FAILED;
    }
    *view = static_cast<uint8_t *>(p);
    return HV_MAP_OK;
}

void posix_unmap(uint8_t *view, int64_t size) { ::munmap(view, static_cast<size_t>(size)); }

bool failed(int code) {
    t_last_error = code;
    return false;
}

// One read or write call, retried after a signal.
template <typename Io>
static bool retried_io(Io io, std::size_t *done) {
    for (;;) {
        ssize_t k = io();
        if (k >= 0) {
            *done = static_cast<std::size_t>(k);
            return true;
        }
        if (errno != EINTR) {
            *done = 0;
            return failed(errno);
        }
    }
}

bool posix_write(hv_handle h, const uint8_t *data, std::size_t n, std::size_t *written) {
    return retried_io([&] { return ::write(static_cast<int>(h), data, n); }, written);
}

bool posix_flush(hv_handle h) { return ::fsync(static_cast<int>(h)) == 0 ? true : failed(errno); }

void posix_close(hv_handle h) { ::close(static_cast<int>(h)); }

unsigned long posix_last_error() { return static_cast<unsigned long>(t_last_error); }

// ---- Entries used by the save.

constexpr int kMaxLinkHops = 40;  // as the kernel's own limit

// Length of the folder part of path, its last '/' included (0: no folder).
std::size_t folder_length(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? static_cast<std::size_t>(slash - path) + 1 : 0;
}

bool copy_path(char *out, std::size_t cap, const char *text) {
    int n = std::snprintf(out, cap, "%s", text);
    return n >= 0 && static_cast<std::size_t>(n) < cap ? true : failed(ENAMETOOLONG);
}

// A relative link target counts from the folder of the link.
bool follow_one_link(char *out, std::size_t cap, const char *target) {
    char next[PATH_MAX];
    int n = target[0] == '/' ? std::snprintf(next, sizeof next, "%s", target)
                             : std::snprintf(next, sizeof next, "%.*s%s", static_cast<int>(folder_length(out)), out,
                                             target);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof next) return failed(ENAMETOOLONG);
    return copy_path(out, cap, next);
}

// The kernel's fs.protected_symlinks rule: in a sticky folder that others
// may write, a link is followed only when its owner is the follower or the
// folder's owner, so another user cannot plant one where we write.
bool may_follow(const char *link, const struct stat &link_st) {
    char folder[PATH_MAX];
    std::size_t n = folder_length(link);
    int k = n ? std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(n), link)
              : std::snprintf(folder, sizeof folder, ".");
    if (k < 0 || static_cast<std::size_t>(k) >= sizeof folder) return failed(ENAMETOOLONG);
    struct stat fst;
    if (::stat(folder, &fst) != 0) return failed(errno);
    bool open_sticky = (fst.st_mode & S_ISVTX) && (fst.st_mode & S_IWOTH);
    if (!open_sticky || link_st.st_uid == ::geteuid() || link_st.st_uid == fst.st_uid) return true;
    return failed(EACCES);
}

// Every link on the way to path (folders included, and the links their
// targets hold) passes may_follow.
bool links_on_the_way_trusted(const char *path, int depth) {
    if (depth > kMaxLinkHops) return failed(ELOOP);
    char prefix[PATH_MAX];
    if (!copy_path(prefix, sizeof prefix, path)) return false;
    std::size_t n = std::strlen(prefix);
    for (std::size_t end = 1; end <= n; end++) {
        if (end < n && prefix[end] != '/') continue;
        char kept = prefix[end];
        prefix[end] = '\0';
        struct stat st;
        bool is_link = ::lstat(prefix, &st) == 0 && S_ISLNK(st.st_mode);
        if (!is_link) {
            prefix[end] = kept;
            continue;
        }
        if (!may_follow(prefix, st)) return false;
        char target[PATH_MAX], next[PATH_MAX];
        ssize_t len = ::readlink(prefix, target, sizeof target - 1);
        if (len < 0) return failed(errno);
        target[len] = '\0';
        int k = target[0] == '/' ? std::snprintf(next, sizeof next, "%s%s", target, path + end)
                                 : std::snprintf(next, sizeof next, "%.*s%s%s", static_cast<int>(folder_length(prefix)),
                                                 prefix, target, path + end);
        if (k < 0 || static_cast<std::size_t>(k) >= sizeof next) return failed(ENAMETOOLONG);
        return links_on_the_way_trusted(next, depth + 1);
    }
    return true;
}

bool posix_resolve_link(const char *path, char *out, std::size_t cap) {
    if (!links_on_the_way_trusted(path, 0)) return false;
    if (!copy_path(out, cap, path)) return false;
    for (int hop = 0; hop <= kMaxLinkHops; hop++) {
        struct stat st;
        if (::lstat(out, &st) != 0) return errno == ENOENT ? true : failed(errno);
        if (!S_ISLNK(st.st_mode)) return true;
        if (!may_follow(out, st)) return false;
        char target[PATH_MAX];
        ssize_t n = ::readlink(out, target, sizeof target - 1);
        if (n < 0) return failed(errno);
        target[n] = '\0';
        if (!follow_one_link(out, cap, target)) return false;
    }
    return failed(ELOOP);
}

void describe(const struct stat &st, hv_path_info *info) {
    info->kind = S_ISREG(st.st_mode) ? HV_PATH_REGULAR : HV_PATH_OTHER;
    info->links = static_cast<int64_t>(st.st_nlink);
    info->mode = static_cast<uint32_t>(st.st_mode & 07777);
    info->owner = static_cast<uint32_t>(st.st_uid);
    info->group = static_cast<uint32_t>(st.st_gid);
    info->volume = static_cast<uint64_t>(st.st_dev);
    info->file_id = static_cast<uint64_t>(st.st_ino);
    info->mine = st.st_uid == ::geteuid() ? 1 : 0;
    info->others_may_write = (st.st_mode & (S_IWGRP | S_IWOTH)) ? 1 : 0;
}

// The file's birth time where the file system keeps one (0 otherwise): with
// the inode number it tells a file from a later one that got the number again.
int64_t birth_of(int dir, const char *path, int flags) {
#ifdef STATX_BTIME
    struct statx stx;
    if (::statx(dir, path, flags, STATX_BTIME, &stx) == 0 && (stx.stx_mask & STATX_BTIME))
        return static_cast<int64_t>(stx.stx_btime.tv_sec) * 1000000000 + stx.stx_btime.tv_nsec;
#else
    (void)dir, (void)path, (void)flags;
#endif
    return 0;
}

bool posix_path_info(const char *path, hv_path_info *info) {
    *info = hv_path_info{};
    struct stat st;
    if (::stat(path, &st) != 0) {
        if (errno != ENOENT) return failed(errno);
        info->kind = HV_PATH_MISSING;
        return true;
    }
    describe(st, info);
    info->birth = birth_of(AT_FDCWD, path, 0);
    return true;
}

bool posix_handle_info(hv_handle h, hv_path_info *info) {
    *info = hv_path_info{};
    struct stat st;
    if (::fstat(static_cast<int>(h), &st) != 0) return failed(errno);
    describe(st, info);
    info->birth = birth_of(static_cast<int>(h), "", AT_EMPTY_PATH);
    return true;
}

// Whether rewriting the file in place may still work where this failed.
hv_fs_result classify(int code) {
    t_last_error = code;
    switch (code) {
    case EACCES:
    case EPERM:
    case ENAMETOOLONG:
    case EEXIST:
    case EBUSY:  // the target is a mount point (a file bound into place)
    case EXDEV:
        return HV_FS_NOT_ALLOWED;
    default:
        return HV_FS_FAILED;
    }
}

bool same_inode(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// True when the name still names the file of fd.
bool still_named(int fd, const char *name) {
    struct stat by_fd, by_name;
    return ::fstat(fd, &by_fd) == 0 && ::lstat(name, &by_name) == 0 && same_inode(by_fd, by_name);
}

// A fresh file is locked before anyone could take it for abandoned; one that
// a cleaner locked (and removed) first is given up for another name.
hv_fs_result posix_create_temp_beside(const char *path, hv_temp_kind kind, hv_handle *h, char *temp_path,
                                      std::size_t cap) {
    std::size_t folder = folder_length(path);
    std::random_device random;
    for (int attempt = 0; attempt < kTempAttempts; attempt++) {
        if (!hv_temp_name_beside(path, folder, kind, static_cast<unsigned>(random()), temp_path, cap))
            return classify(ENAMETOOLONG);
        int fd = ::open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
        if (fd >= 0) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && still_named(fd, temp_path)) {
                *h = fd;
                return HV_FS_OK;
            }
            ::close(fd);
            continue;
        }
        if (errno != EEXIST && errno != EINTR) return classify(errno);
    }
    return classify(EEXIST);
}

// The process's umask, read without changing it (umask() would change it for
// every thread for a moment); 022 where the system does not tell.
mode_t process_umask() {
    mode_t mask = 022;
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return mask;
    char text[4096];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return mask;
    text[n] = '\0';
    const char *at = std::strstr(text, "Umask:");
    unsigned value = 0;
    if (at && std::sscanf(at + 6, "%o", &value) == 1) mask = static_cast<mode_t>(value & 0777);
    return mask;
}

bool posix_apply_attributes(hv_handle h, const hv_path_info *like) {
    int fd = static_cast<int>(h);
    mode_t mode = 0666 & ~process_umask();
    if (like) {
        // Only root may give a file away; anyone may pick one of their groups.
        if (::fchown(fd, like->owner, like->group) != 0 && ::fchown(fd, static_cast<uid_t>(-1), like->group) != 0) {
            // neither could be kept: the file stays ours, and the bits below say so
        }
        mode = static_cast<mode_t>(like->mode & 07777);
        struct stat st;
        if (::fstat(fd, &st) != 0) return failed(errno);
        // Set-id bits stay only with the owner and group they were given for.
        if (st.st_uid != like->owner) mode &= ~S_ISUID;
        if (st.st_gid != like->group) mode &= ~S_ISGID;
    }
    return ::fchmod(fd, mode) == 0 ? true : failed(errno);
}

hv_fs_result posix_replace_file(const char *from, const char *to) {
    return ::rename(from, to) == 0 ? HV_FS_OK : classify(errno);
}

bool posix_sync_folder_of(const char *path) {
    char folder[PATH_MAX];
    std::size_t n = folder_length(path);
    int k = n ? std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(n), path)
              : std::snprintf(folder, sizeof folder, ".");
    if (k < 0 || static_cast<std::size_t>(k) >= sizeof folder) return failed(ENAMETOOLONG);
    int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failed(errno);
    bool ok = ::fsync(fd) == 0;
    int e = errno;
    ::close(fd);
    return ok ? true : failed(e);
}

bool posix_remove_file(const char *path) { return ::unlink(path) == 0 ? true : failed(errno); }

// A temporary file is abandoned when it is ours and its lock is free: the
// process that made it is gone. It is removed while we hold that lock, and
// only when its name still names the file we locked.
bool remove_if_abandoned(int dir, const char *name) {
    int fd = ::openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat by_fd, by_name;
    bool removed = ::fstat(fd, &by_fd) == 0 && S_ISREG(by_fd.st_mode) && by_fd.st_uid == ::geteuid() &&
                   ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstatat(dir, name, &by_name, AT_SYMLINK_NOFOLLOW) == 0 &&
                   same_inode(by_fd, by_name) && ::unlinkat(dir, name, 0) == 0;
    ::close(fd);
    return removed;
}

int posix_remove_temps_beside(const char *path, uint32_t kinds) {
    std::size_t folder = folder_length(path);
    char name[PATH_MAX];
    if (std::snprintf(name, sizeof name, "%.*s", static_cast<int>(folder), path) >= static_cast<int>(sizeof name))
        return 0;
    DIR *d = ::opendir(folder ? name : ".");
    if (!d) return 0;
    int removed = 0;
    while (const dirent *e = ::readdir(d)) {
        int kind = hv_temp_kind_of(e->d_name, path, folder);
        if (kind >= 0 && (kinds & hv_temp_kind_bit(static_cast<hv_temp_kind>(kind))) &&
            remove_if_abandoned(::dirfd(d), e->d_name))
            removed++;
    }
    ::closedir(d);
    return removed;
}

hv_handle posix_create_for_write(const char *path) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return fail(errno);
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

// ---- Entries used by the patch in place and hole-keeping saves.

hv_handle posix_open_existing_rw(const char *path) { return open_regular(path, O_RDWR, 0); }

bool posix_write_at(hv_handle h, int64_t offset, const uint8_t *data, std::size_t n, std::size_t *written) {
    return retried_io([&] { return ::pwrite(static_cast<int>(h), data, n, static_cast<off_t>(offset)); }, written);
}

bool posix_read_at(hv_handle h, int64_t offset, uint8_t *data, std::size_t n, std::size_t *got) {
    return retried_io([&] { return ::pread(static_cast<int>(h), data, n, static_cast<off_t>(offset)); }, got);
}

bool posix_skip(hv_handle h, int64_t n) {
    return ::lseek(static_cast<int>(h), static_cast<off_t>(n), SEEK_CUR) >= 0 ? true : failed(errno);
}

bool posix_set_size(hv_handle h, int64_t size) {
    return ::ftruncate(static_cast<int>(h), static_cast<off_t>(size)) == 0 ? true : failed(errno);
}

bool posix_next_data(hv_handle h, int64_t from, int64_t size, int64_t *data_at, int64_t *data_end) {
    int fd = static_cast<int>(h);
    *data_at = from;
    *data_end = size;
    if (from >= size) {
        *data_at = size;
        return true;
    }
    off_t at = ::lseek(fd, static_cast<off_t>(from), SEEK_DATA);
    if (at < 0) {
        if (errno == ENXIO) {  // only a hole is left
            *data_at = size;
            return true;
        }
        return errno == EINVAL ? true : failed(errno);  // no holes kept here: all data
    }
    off_t end = ::lseek(fd, at, SEEK_HOLE);
    if (end < 0) return failed(errno);
    *data_at = std::min<int64_t>(at, size);
    *data_end = std::min<int64_t>(end, size);
    return true;
}

bool posix_make_sparse(hv_handle) { return true; }

// ---- Entries of the save lock and of journals.

// Read-write where allowed: an exclusive lock on a read-only descriptor fails
// on NFS (flock is emulated there with write locks), and a journal is
// emptied through this handle before its name goes.
hv_handle posix_open_nofollow(const char *path) {
    hv_handle h = open_regular(path, O_RDWR | O_NOFOLLOW, 0);
    if (h != HV_NO_HANDLE || (t_last_error != EACCES && t_last_error != EROFS && t_last_error != EPERM)) return h;
    return open_regular(path, O_RDONLY | O_NOFOLLOW, 0);
}

bool posix_name_taken(const char *path) {
    struct stat st;
    return ::lstat(path, &st) == 0 || errno != ENOENT;
}

hv_lock_result posix_try_lock(hv_handle h) {
    for (;;) {
        if (::flock(static_cast<int>(h), LOCK_EX | LOCK_NB) == 0) return HV_LOCK_OK;
        if (errno == EWOULDBLOCK) return HV_LOCK_HELD;
        if (errno != EINTR) {
            t_last_error = errno;
            return HV_LOCK_FAILED;
        }
    }
}

// $XDG_STATE_HOME when it is an absolute path (as the XDG rules say), else
// $HOME/.local/state, else the home folder of the user's entry.
bool state_base(char *out, std::size_t cap) {
    const char *xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && xdg[0] == '/') return copy_path(out, cap, xdg);
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd *pw = ::getpwuid(::geteuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || home[0] != '/') return failed(ENOENT);
    int n = std::snprintf(out, cap, "%s/.local/state", home);
    return n >= 0 && static_cast<std::size_t>(n) < cap ? true : failed(ENAMETOOLONG);
}

// Makes every missing folder of path, the last one for its owner only.
bool make_folders(char *path) {
    for (char *slash = std::strchr(path + 1, '/'); slash; slash = std::strchr(slash + 1, '/')) {
        *slash = '\0';
        bool ok = ::mkdir(path, 0755) == 0 || errno == EEXIST;
        *slash = '/';
        if (!ok) return failed(errno);
    }
    return ::mkdir(path, 0700) == 0 || errno == EEXIST ? true : failed(errno);
}

bool posix_state_folder(bool create, char *out, std::size_t cap) {
    char base[PATH_MAX];
    if (!state_base(base, sizeof base)) return false;
    int n = std::snprintf(out, cap, "%s/quillmar-hexview", base);
    if (n < 0 || static_cast<std::size_t>(n) >= cap) return failed(ENAMETOOLONG);
    if (create && !make_folders(out)) return false;
    struct stat st;
    if (::lstat(out, &st) != 0) return failed(errno);
    // Ours alone: anything else could be a folder another user prepared.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) return failed(EACCES);
    return true;
}

// glibc runs thread_local destructors while the object is still there.
struct thread_slot {
    void *p = nullptr;
    hv_thread_release release = nullptr;
    ~thread_slot() {
        if (p && release) release(p);
    }
};

thread_local thread_slot t_slot;

}  // namespace

void *hv_thread_slot_get() { return t_slot.p; }

bool hv_thread_slot_set(void *p, hv_thread_release release) {
    t_slot.p = p;
    t_slot.release = release;
    return true;
}

const hv_os_table hv_os_native = {
    .open_read = posix_open_read,
    .open_rw = posix_open_rw,
    .file_size = posix_file_size,
    .size_known = posix_size_known,
    .map = posix_map,
    .unmap = posix_unmap,
    .write = posix_write,
    .flush = posix_flush,
    .close = posix_close,
    .last_error = posix_last_error,
    .resolve_link = posix_resolve_link,
    .path_info = posix_path_info,
    .create_temp_beside = posix_create_temp_beside,
    .apply_attributes = posix_apply_attributes,
    .replace_file = posix_replace_file,
    .sync_folder_of = posix_sync_folder_of,
    .remove_file = posix_remove_file,
    .remove_temps_beside = posix_remove_temps_beside,
    .create_for_write = posix_create_for_write,
    .open_existing_rw = posix_open_existing_rw,
    .write_at = posix_write_at,
    .read_at = posix_read_at,
    .skip = posix_skip,
    .set_size = posix_set_size,
    .next_data = posix_next_data,
    .make_sparse = posix_make_sparse,
    .handle_info = posix_handle_info,
    .open_nofollow = posix_open_nofollow,
    .try_lock = posix_try_lock,
    .name_taken = posix_name_taken,
    .state_folder = posix_state_folder,
};

const hv_os_table *hv_os = &hv_os_native;
