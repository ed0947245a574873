// POSIX implementation of the OS layer. The number reported after
// "win error" is errno.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os.h"

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

bool posix_write(hv_handle h, const uint8_t *data, std::size_t n, std::size_t *written) {
    for (;;) {
        ssize_t k = ::write(static_cast<int>(h), data, n);
        if (k >= 0) {
            *written = static_cast<std::size_t>(k);
            return true;
        }
        if (errno != EINTR) {
            t_last_error = errno;
            *written = 0;
            return false;
        }
    }
}

bool posix_flush(hv_handle h) {
    if (::fsync(static_cast<int>(h)) != 0) {
        t_last_error = errno;
        return false;
    }
    return true;
}

void posix_close(hv_handle h) { ::close(static_cast<int>(h)); }

unsigned long posix_last_error() { return static_cast<unsigned long>(t_last_error); }

}  // namespace

const hv_os_table hv_os_native = {
    posix_open_read, posix_open_rw, posix_file_size, posix_map, posix_unmap,
    posix_write,     posix_flush,   posix_close,     posix_last_error,
};

const hv_os_table *hv_os = &hv_os_native;
