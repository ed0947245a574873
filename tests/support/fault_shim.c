// Fault injection for the save sweeps, preloaded (LD_PRELOAD) into the hexview
// command. It counts the calls that change files under chosen folders, the
// "events", and at a chosen event kills the process (a crash or a power cut
// at that point), fails the call with EIO, or holds it until the test lets it
// go. It can also refuse every new name in a folder, as a folder the user may
// not write does: we run as root, for whom permission bits refuse nothing.
// Linux only: descriptors are named through /proc/self/fd.
//
// Environment (events count from 1; an unset number is off):
//   HEXVIEW_SHIM_DIRS=DIR[:DIR...]   absolute folders whose files count
//   HEXVIEW_SHIM_KILL_AT=N           SIGKILL just before event N
//   HEXVIEW_SHIM_KILL_HALF=1         a write of more than 1 byte at N writes
//                                    its first half before the kill (torn)
//   HEXVIEW_SHIM_EIO_AT=N            event N fails with EIO and does nothing
//   HEXVIEW_SHIM_PAUSE_AT=N:FILE     before event N, creates FILE and waits
//                                    until it is removed
//   HEXVIEW_SHIM_SLEEP_AT=N:SECONDS  before event N, sleeps
//   HEXVIEW_SHIM_DENY_CREATE_IN=DIR[:DIR...]  a new name, a removal or a
//                                    rename of a name in DIR fails with EACCES
//                                    (not an event); existing files there
//                                    still open and write
//   HEXVIEW_SHIM_COUNT_FILE=PATH     at exit, and at the kill, the number of
//                                    events is written to PATH, first line
//   HEXVIEW_SHIM_LOG=1               followed by a line per event:
//                                    "N<TAB>call<TAB>path[<TAB>detail]"
//
// Events: writes (write, pwrite, writev, pwritev, copy_file_range and
// sendfile into the file, fallocate, ftruncate, truncate), flushes (fsync,
// fdatasync; a folder's too), opens that create or empty (O_CREAT, O_TRUNC,
// O_TMPFILE, creat), and changes of names (rename, renameat, renameat2, link,
// linkat, symlink, unlink, unlinkat, remove, mkdir, mkdirat, rmdir). Locks,
// reads and closes are not events; neither is anything on descriptors 0-2.
// Writes through a mapping or a stdio stream are not seen.
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#define SHIM_EXPORT __attribute__((visibility("default")))
#define MAX_DIRS 16

// Only declared by glibc's headers in fortified builds.
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);

// ---- Settings ----------------------------------------------------------------

struct folder_list {
    int n;
    char path[MAX_DIRS][PATH_MAX];
};

static struct {
    struct folder_list watched;
    struct folder_list denied;
    long kill_at;
    bool kill_half;
    long eio_at;
    long pause_at;
    char pause_file[PATH_MAX];
    long sleep_at;
    double sleep_seconds;
    char count_file[PATH_MAX];
    bool log;
} cfg;

static atomic_long events;
static pthread_once_t init_once = PTHREAD_ONCE_INIT;
static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static char *log_text;
static size_t log_len, log_cap;

// The real calls, found once.
static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real___open_2)(const char *, int);
static int (*real___open64_2)(const char *, int);
static int (*real___openat_2)(int, const char *, int);
static int (*real___openat64_2)(int, const char *, int);
static int (*real_creat)(const char *, mode_t);
static int (*real_creat64)(const char *, mode_t);
static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_pwrite)(int, const void *, size_t, off_t);
static ssize_t (*real_pwrite64)(int, const void *, size_t, off64_t);
static ssize_t (*real_writev)(int, const struct iovec *, int);
static ssize_t (*real_pwritev)(int, const struct iovec *, int, off_t);
static ssize_t (*real_pwritev64)(int, const struct iovec *, int, off64_t);
static ssize_t (*real_copy_file_range)(int, off64_t *, int, off64_t *, size_t, unsigned);
static ssize_t (*real_sendfile)(int, int, off_t *, size_t);
static int (*real_fallocate)(int, int, off_t, off_t);
static int (*real_posix_fallocate)(int, off_t, off_t);
static int (*real_ftruncate)(int, off_t);
static int (*real_ftruncate64)(int, off64_t);
static int (*real_truncate)(const char *, off_t);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_rename)(const char *, const char *);
static int (*real_renameat)(int, const char *, int, const char *);
static int (*real_renameat2)(int, const char *, int, const char *, unsigned);
static int (*real_link)(const char *, const char *);
static int (*real_linkat)(int, const char *, int, const char *, int);
static int (*real_symlink)(const char *, const char *);
static int (*real_unlink)(const char *);
static int (*real_unlinkat)(int, const char *, int);
static int (*real_remove)(const char *);
static int (*real_mkdir)(const char *, mode_t);
static int (*real_mkdirat)(int, const char *, mode_t);
static int (*real_rmdir)(const char *);

#define FIND(name) (real_##name = (__typeof__(real_##name))dlsym(RTLD_NEXT, #name))

static void find_real_calls(void) {
    FIND(open), FIND(open64), FIND(openat), FIND(openat64);
    FIND(__open_2), FIND(__open64_2), FIND(__openat_2), FIND(__openat64_2);
    FIND(creat), FIND(creat64);
    FIND(write), FIND(pwrite), FIND(pwrite64), FIND(writev), FIND(pwritev), FIND(pwritev64);
    FIND(copy_file_range), FIND(sendfile), FIND(fallocate), FIND(posix_fallocate);
    FIND(ftruncate), FIND(ftruncate64), FIND(truncate), FIND(fsync), FIND(fdatasync);
    FIND(rename), FIND(renameat), FIND(renameat2), FIND(link), FIND(linkat), FIND(symlink);
    FIND(unlink), FIND(unlinkat), FIND(remove), FIND(mkdir), FIND(mkdirat), FIND(rmdir);
}

static long number_from_env(const char *name) {
    const char *v = getenv(name);
    return v && *v ? strtol(v, NULL, 10) : 0;
}

// "N:REST": N, and REST into rest.
static long number_and_rest(const char *name, char *rest, size_t cap) {
    const char *v = getenv(name);
    if (!v || !*v) return 0;
    char *end = NULL;
    long n = strtol(v, &end, 10);
    if (*end != ':') return 0;
    snprintf(rest, cap, "%s", end + 1);
    return n;
}

// Folders as the kernel names them, so they compare with /proc/self/fd links.
static void folders_from_env(const char *name, struct folder_list *list) {
    const char *v = getenv(name);
    list->n = 0;
    while (v && *v && list->n < MAX_DIRS) {
        const char *colon = strchr(v, ':');
        size_t len = colon ? (size_t)(colon - v) : strlen(v);
        char given[PATH_MAX];
        if (len > 0 && len < sizeof given) {
            memcpy(given, v, len);
            given[len] = '\0';
            if (!realpath(given, list->path[list->n])) snprintf(list->path[list->n], PATH_MAX, "%s", given);
            list->n++;
        }
        v = colon ? colon + 1 : NULL;
    }
}

static void read_settings(void) {
    find_real_calls();
    folders_from_env("HEXVIEW_SHIM_DIRS", &cfg.watched);
    folders_from_env("HEXVIEW_SHIM_DENY_CREATE_IN", &cfg.denied);
    cfg.kill_at = number_from_env("HEXVIEW_SHIM_KILL_AT");
    cfg.kill_half = number_from_env("HEXVIEW_SHIM_KILL_HALF") != 0;
    cfg.eio_at = number_from_env("HEXVIEW_SHIM_EIO_AT");
    cfg.pause_at = number_and_rest("HEXVIEW_SHIM_PAUSE_AT", cfg.pause_file, sizeof cfg.pause_file);
    char seconds[64] = "";
    cfg.sleep_at = number_and_rest("HEXVIEW_SHIM_SLEEP_AT", seconds, sizeof seconds);
    cfg.sleep_seconds = atof(seconds);
    const char *count = getenv("HEXVIEW_SHIM_COUNT_FILE");
    snprintf(cfg.count_file, sizeof cfg.count_file, "%s", count ? count : "");
    cfg.log = number_from_env("HEXVIEW_SHIM_LOG") != 0;
}

// Safe to call from any wrapper: the caller's errno stays as it was.
static void ensure_init(void) {
    int saved = errno;
    pthread_once(&init_once, read_settings);
    errno = saved;
}

// ---- Paths ---------------------------------------------------------------------

// The file behind a descriptor; false for one without a path.
static bool fd_path(int fd, char *out, size_t cap) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, cap - 1);
    if (n <= 0 || out[0] != '/') return false;
    out[n] = '\0';
    // A removed file still counts by the name it had.
    static const char deleted[] = " (deleted)";
    size_t len = (size_t)n, mark = sizeof deleted - 1;
    if (len > mark && strcmp(out + len - mark, deleted) == 0) out[len - mark] = '\0';
    return true;
}

// The absolute path of `path` seen from dirfd, its folder part with links
// followed (the name itself may not exist yet, or be a link to leave alone).
static void absolute_path(int dirfd, const char *path, char *out, size_t cap) {
    char joined[2 * PATH_MAX + 2], base[PATH_MAX] = "";
    if (path[0] == '/') {
        snprintf(joined, sizeof joined, "%s", path);
    } else {
        bool known = dirfd == AT_FDCWD ? getcwd(base, sizeof base) != NULL : fd_path(dirfd, base, sizeof base);
        if (!known) base[0] = '\0';
        snprintf(joined, sizeof joined, "%s/%s", base, path);
    }
    size_t len = strlen(joined);
    while (len > 1 && joined[len - 1] == '/') joined[--len] = '\0';
    char *slash = strrchr(joined, '/');
    char folder[PATH_MAX];
    if (slash) *slash = '\0';
    const char *name = slash ? slash + 1 : joined;
    const char *parent = slash ? joined : "";
    if (slash && realpath(joined[0] ? joined : "/", folder)) parent = strcmp(folder, "/") == 0 ? "" : folder;
    // A path too long to name counts nowhere.
    int n = snprintf(out, cap, "%s/%s", parent, name);
    if (n < 0 || (size_t)n >= cap) out[0] = '\0';
}

static bool is_within(const char *path, const char *folder) {
    size_t n = strlen(folder);
    return strncmp(path, folder, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

static bool watched(const char *path) {
    for (int i = 0; i < cfg.watched.n; i++)
        if (is_within(path, cfg.watched.path[i])) return true;
    return false;
}

static bool is_denied_folder(const char *folder) {
    for (int i = 0; i < cfg.denied.n; i++)
        if (strcmp(folder, cfg.denied.path[i]) == 0) return true;
    return false;
}

// Whether `path` is a name directly in a folder that takes no new names.
static bool name_in_denied_folder(const char *path) {
    if (cfg.denied.n == 0) return false;
    const char *slash = strrchr(path, '/');
    if (!slash) return false;
    char folder[PATH_MAX];
    snprintf(folder, sizeof folder, "%.*s", slash == path ? 1 : (int)(slash - path), path);
    return is_denied_folder(folder);
}

// ---- Events -------------------------------------------------------------------

static void log_event(long n, const char *call, const char *path, const char *detail) {
    char line[3 * PATH_MAX];
    int len = snprintf(line, sizeof line, "%ld\t%s\t%s%s%s\n", n, call, path, detail ? "\t" : "", detail ? detail : "");
    if (len < 0) return;
    size_t add = (size_t)len < sizeof line ? (size_t)len : sizeof line - 1;
    pthread_mutex_lock(&log_lock);
    if (log_len + add > log_cap) {
        size_t cap = log_cap ? log_cap * 2 : 65536;
        while (cap < log_len + add) cap *= 2;
        char *grown = realloc(log_text, cap);
        if (grown) {
            log_text = grown;
            log_cap = cap;
        }
    }
    if (log_len + add <= log_cap) {
        memcpy(log_text + log_len, line, add);
        log_len += add;
    }
    pthread_mutex_unlock(&log_lock);
}

static void write_fully(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t k = real_write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
        p += k;
        n -= (size_t)k;
    }
}

static void write_count_file(void) {
    if (!cfg.count_file[0] || !real_open) return;
    int fd = real_open(cfg.count_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char head[32];
    int n = snprintf(head, sizeof head, "%ld\n", atomic_load(&events));
    write_fully(fd, head, (size_t)n);
    pthread_mutex_lock(&log_lock);
    if (log_text) write_fully(fd, log_text, log_len);
    pthread_mutex_unlock(&log_lock);
    close(fd);
}

__attribute__((destructor)) static void write_count_at_exit(void) {
    ensure_init();
    write_count_file();
}

static void die(void) {
    write_count_file();
    kill(getpid(), SIGKILL);
    _exit(137);  // not reached
}

static void sleep_seconds(double s) {
    struct timespec t = {(time_t)s, (long)((s - (double)(time_t)s) * 1e9)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Tells the test the pause is reached, then holds until it removes the file.
static void pause_until_released(void) {
    int fd = real_open(cfg.pause_file, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
    while (access(cfg.pause_file, F_OK) == 0) sleep_seconds(0.005);
}

enum action { GO_ON, FAIL, KILL_AFTER_HALF };

// Counts an event and says what becomes of its call.
static enum action event(const char *call, const char *path, const char *detail, size_t bytes) {
    long n = atomic_fetch_add(&events, 1) + 1;
    if (cfg.log) log_event(n, call, path, detail);
    if (n == cfg.sleep_at) sleep_seconds(cfg.sleep_seconds);
    if (n == cfg.pause_at) pause_until_released();
    if (n == cfg.kill_at) {
        if (cfg.kill_half && bytes > 1) return KILL_AFTER_HALF;
        die();
    }
    return n == cfg.eio_at ? FAIL : GO_ON;
}

// An event on the file of a descriptor, when that file is watched.
static enum action fd_event(int fd, const char *call, size_t bytes) {
    ensure_init();
    char path[PATH_MAX];
    if (cfg.watched.n == 0 || fd <= STDERR_FILENO || !fd_path(fd, path, sizeof path) || !watched(path)) return GO_ON;
    char detail[48];
    snprintf(detail, sizeof detail, "%zu bytes", bytes);
    return event(call, path, bytes ? detail : NULL, bytes);
}

// -1 with errno EACCES for a refused name, -1 with EIO for an injected
// failure, 0 to make the real call (errno as the caller had it).
static int name_event(const char *call, const char *path, const char *second, bool deny) {
    if (deny) {
        errno = EACCES;
        return -1;
    }
    if (!watched(path) && !(second && watched(second))) return 0;
    char detail[PATH_MAX + 4];
    if (second) snprintf(detail, sizeof detail, "-> %s", second);
    if (event(call, path, second ? detail : NULL, 0) == FAIL) {
        errno = EIO;
        return -1;
    }
    return 0;
}

// A call on one name: `changes_name` when it makes or removes the name.
static int one_name(const char *call, int dirfd, const char *path, bool changes_name) {
    int saved = errno;
    ensure_init();
    char abs[PATH_MAX];
    absolute_path(dirfd, path, abs, sizeof abs);
    int r = name_event(call, abs, NULL, changes_name && name_in_denied_folder(abs));
    if (r == 0) errno = saved;
    return r;
}

// A call on two names: both change for a rename, only the second for a link.
static int two_names(const char *call, int fd1, const char *from, int fd2, const char *to, bool moves_from) {
    int saved = errno;
    ensure_init();
    char a[PATH_MAX], b[PATH_MAX];
    absolute_path(fd1, from, a, sizeof a);
    absolute_path(fd2, to, b, sizeof b);
    bool deny = name_in_denied_folder(b) || (moves_from && name_in_denied_folder(a));
    int r = name_event(call, a, b, deny);
    if (r == 0) errno = saved;
    return r;
}

static bool exists(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

// Before an open: only one that creates or empties the file is an event.
static int before_open(const char *call, int dirfd, const char *path, int flags) {
    bool tmpfile = (flags & O_TMPFILE) == O_TMPFILE;
    if (!tmpfile && !(flags & (O_CREAT | O_TRUNC))) return 0;
    int saved = errno;
    ensure_init();
    char abs[PATH_MAX];
    absolute_path(dirfd, path, abs, sizeof abs);
    bool deny = tmpfile ? is_denied_folder(abs) : (flags & O_CREAT) && name_in_denied_folder(abs) && !exists(abs);
    int r = name_event(call, abs, NULL, deny);
    if (r == 0) errno = saved;
    return r;
}

static mode_t mode_arg(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

static int missing_call(void) {
    errno = ENOSYS;
    return -1;
}

#define REAL_OR_FAIL(name) \
    ensure_init();            \
    if (!real_##name) return missing_call()

// ---- Opens -----------------------------------------------------------------------

SHIM_EXPORT int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    if (before_open("open", AT_FDCWD, path, flags) != 0) return -1;
    REAL_OR_FAIL(open);
    return real_open(path, flags, mode);
}

SHIM_EXPORT int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    if (before_open("open", AT_FDCWD, path, flags) != 0) return -1;
    REAL_OR_FAIL(open64);
    return real_open64(path, flags, mode);
}

SHIM_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    if (before_open("openat", dirfd, path, flags) != 0) return -1;
    REAL_OR_FAIL(openat);
    return real_openat(dirfd, path, flags, mode);
}

SHIM_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    if (before_open("openat", dirfd, path, flags) != 0) return -1;
    REAL_OR_FAIL(openat64);
    return real_openat64(dirfd, path, flags, mode);
}

SHIM_EXPORT int __open_2(const char *path, int flags) {
    if (before_open("open", AT_FDCWD, path, flags) != 0) return -1;
    REAL_OR_FAIL(__open_2);
    return real___open_2(path, flags);
}

SHIM_EXPORT int __open64_2(const char *path, int flags) {
    if (before_open("open", AT_FDCWD, path, flags) != 0) return -1;
    REAL_OR_FAIL(__open64_2);
    return real___open64_2(path, flags);
}

SHIM_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    if (before_open("openat", dirfd, path, flags) != 0) return -1;
    REAL_OR_FAIL(__openat_2);
    return real___openat_2(dirfd, path, flags);
}

SHIM_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    if (before_open("openat", dirfd, path, flags) != 0) return -1;
    REAL_OR_FAIL(__openat64_2);
    return real___openat64_2(dirfd, path, flags);
}

SHIM_EXPORT int creat(const char *path, mode_t mode) {
    if (before_open("creat", AT_FDCWD, path, O_CREAT | O_TRUNC) != 0) return -1;
    REAL_OR_FAIL(creat);
    return real_creat(path, mode);
}

SHIM_EXPORT int creat64(const char *path, mode_t mode) {
    if (before_open("creat", AT_FDCWD, path, O_CREAT | O_TRUNC) != 0) return -1;
    REAL_OR_FAIL(creat64);
    return real_creat64(path, mode);
}

// ---- Writes and flushes ------------------------------------------------------------

// Runs the call unless the event says otherwise; `half` is the torn write.
#define FD_CALL(name, fd, bytes, call, half)          \
    do {                                              \
        int saved_ = errno;                           \
        enum action a_ = fd_event(fd, name, bytes);   \
        errno = saved_;                               \
        if (a_ == FAIL) {                             \
            errno = EIO;                              \
            return -1;                                \
        }                                             \
        if (a_ == KILL_AFTER_HALF) {                  \
            half;                                     \
            die();                                    \
        }                                             \
        return call;                                  \
    } while (0)

SHIM_EXPORT ssize_t write(int fd, const void *p, size_t n) {
    REAL_OR_FAIL(write);
    FD_CALL("write", fd, n, real_write(fd, p, n), real_write(fd, p, n / 2));
}

SHIM_EXPORT ssize_t pwrite(int fd, const void *p, size_t n, off_t at) {
    REAL_OR_FAIL(pwrite);
    FD_CALL("pwrite", fd, n, real_pwrite(fd, p, n, at), real_pwrite(fd, p, n / 2, at));
}

SHIM_EXPORT ssize_t pwrite64(int fd, const void *p, size_t n, off64_t at) {
    REAL_OR_FAIL(pwrite64);
    FD_CALL("pwrite", fd, n, real_pwrite64(fd, p, n, at), real_pwrite64(fd, p, n / 2, at));
}

// Vector writes are killed whole: no torn variant.
SHIM_EXPORT ssize_t writev(int fd, const struct iovec *iov, int n) {
    REAL_OR_FAIL(writev);
    FD_CALL("writev", fd, 0, real_writev(fd, iov, n), (void)0);
}

SHIM_EXPORT ssize_t pwritev(int fd, const struct iovec *iov, int n, off_t at) {
    REAL_OR_FAIL(pwritev);
    FD_CALL("pwritev", fd, 0, real_pwritev(fd, iov, n, at), (void)0);
}

SHIM_EXPORT ssize_t pwritev64(int fd, const struct iovec *iov, int n, off64_t at) {
    REAL_OR_FAIL(pwritev64);
    FD_CALL("pwritev", fd, 0, real_pwritev64(fd, iov, n, at), (void)0);
}

SHIM_EXPORT ssize_t copy_file_range(int in, off64_t *in_at, int out, off64_t *out_at, size_t n, unsigned flags) {
    REAL_OR_FAIL(copy_file_range);
    FD_CALL("copy_file_range", out, 0, real_copy_file_range(in, in_at, out, out_at, n, flags), (void)0);
}

SHIM_EXPORT ssize_t sendfile(int out, int in, off_t *in_at, size_t n) {
    REAL_OR_FAIL(sendfile);
    FD_CALL("sendfile", out, 0, real_sendfile(out, in, in_at, n), (void)0);
}

SHIM_EXPORT int fallocate(int fd, int mode, off_t at, off_t len) {
    REAL_OR_FAIL(fallocate);
    FD_CALL("fallocate", fd, 0, real_fallocate(fd, mode, at, len), (void)0);
}

// posix_fallocate reports its failure as its result, not through errno.
SHIM_EXPORT int posix_fallocate(int fd, off_t at, off_t len) {
    REAL_OR_FAIL(posix_fallocate);
    int saved = errno;
    enum action a = fd_event(fd, "posix_fallocate", 0);
    errno = saved;
    return a == FAIL ? EIO : real_posix_fallocate(fd, at, len);
}

SHIM_EXPORT int ftruncate(int fd, off_t size) {
    REAL_OR_FAIL(ftruncate);
    FD_CALL("ftruncate", fd, 0, real_ftruncate(fd, size), (void)0);
}

SHIM_EXPORT int ftruncate64(int fd, off64_t size) {
    REAL_OR_FAIL(ftruncate64);
    FD_CALL("ftruncate", fd, 0, real_ftruncate64(fd, size), (void)0);
}

SHIM_EXPORT int fsync(int fd) {
    REAL_OR_FAIL(fsync);
    FD_CALL("fsync", fd, 0, real_fsync(fd), (void)0);
}

SHIM_EXPORT int fdatasync(int fd) {
    REAL_OR_FAIL(fdatasync);
    FD_CALL("fdatasync", fd, 0, real_fdatasync(fd), (void)0);
}

SHIM_EXPORT int truncate(const char *path, off_t size) {
    REAL_OR_FAIL(truncate);
    if (one_name("truncate", AT_FDCWD, path, false) != 0) return -1;
    return real_truncate(path, size);
}

// ---- Names -----------------------------------------------------------------------

SHIM_EXPORT int rename(const char *from, const char *to) {
    REAL_OR_FAIL(rename);
    if (two_names("rename", AT_FDCWD, from, AT_FDCWD, to, true) != 0) return -1;
    return real_rename(from, to);
}

SHIM_EXPORT int renameat(int fd1, const char *from, int fd2, const char *to) {
    REAL_OR_FAIL(renameat);
    if (two_names("renameat", fd1, from, fd2, to, true) != 0) return -1;
    return real_renameat(fd1, from, fd2, to);
}

SHIM_EXPORT int renameat2(int fd1, const char *from, int fd2, const char *to, unsigned flags) {
    REAL_OR_FAIL(renameat2);
    if (two_names("renameat2", fd1, from, fd2, to, true) != 0) return -1;
    return real_renameat2(fd1, from, fd2, to, flags);
}

SHIM_EXPORT int link(const char *from, const char *to) {
    REAL_OR_FAIL(link);
    if (two_names("link", AT_FDCWD, from, AT_FDCWD, to, false) != 0) return -1;
    return real_link(from, to);
}

// With AT_EMPTY_PATH `from` is the descriptor itself (an O_TMPFILE file).
SHIM_EXPORT int linkat(int fd1, const char *from, int fd2, const char *to, int flags) {
    REAL_OR_FAIL(linkat);
    char named[PATH_MAX];
    const char *source = from;
    if ((flags & AT_EMPTY_PATH) && from[0] == '\0') source = fd_path(fd1, named, sizeof named) ? named : "/";
    if (two_names("linkat", source == from ? fd1 : AT_FDCWD, source, fd2, to, false) != 0) return -1;
    return real_linkat(fd1, from, fd2, to, flags);
}

SHIM_EXPORT int symlink(const char *target, const char *path) {
    REAL_OR_FAIL(symlink);
    if (one_name("symlink", AT_FDCWD, path, true) != 0) return -1;
    return real_symlink(target, path);
}

SHIM_EXPORT int unlink(const char *path) {
    REAL_OR_FAIL(unlink);
    if (one_name("unlink", AT_FDCWD, path, true) != 0) return -1;
    return real_unlink(path);
}

SHIM_EXPORT int unlinkat(int dirfd, const char *path, int flags) {
    REAL_OR_FAIL(unlinkat);
    if (one_name("unlinkat", dirfd, path, true) != 0) return -1;
    return real_unlinkat(dirfd, path, flags);
}

SHIM_EXPORT int remove(const char *path) {
    REAL_OR_FAIL(remove);
    if (one_name("remove", AT_FDCWD, path, true) != 0) return -1;
    return real_remove(path);
}

SHIM_EXPORT int mkdir(const char *path, mode_t mode) {
    REAL_OR_FAIL(mkdir);
    if (one_name("mkdir", AT_FDCWD, path, true) != 0) return -1;
    return real_mkdir(path, mode);
}

SHIM_EXPORT int mkdirat(int dirfd, const char *path, mode_t mode) {
    REAL_OR_FAIL(mkdirat);
    if (one_name("mkdirat", dirfd, path, true) != 0) return -1;
    return real_mkdirat(dirfd, path, mode);
}

SHIM_EXPORT int rmdir(const char *path) {
    REAL_OR_FAIL(rmdir);
    if (one_name("rmdir", AT_FDCWD, path, true) != 0) return -1;
    return real_rmdir(path);
}
