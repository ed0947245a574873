#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "core/state.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "support/win32.h"

#include <atomic>
#include <vector>
#else
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using open_file = hexview_test;

std::string cannot_open(const std::string &path, unsigned long code) {
    return "cannot open file: " + path + " (win error " + std::to_string(code) + ")";
}

TEST_F(open_file, read_only_open_maps_the_file) {
    std::string p = dir.write("a.bin", iota_bytes(40));
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_EQ(S.is_open, 1);
    EXPECT_EQ(S.is_rw, 0);
    EXPECT_EQ(S.file_size, 40);
    ASSERT_NE(S.view, nullptr);
    EXPECT_EQ(S.view[39], 39);
    EXPECT_STREQ(S.name, p.c_str());
    EXPECT_EQ(hx_file_size(), 40);
}

TEST_F(open_file, read_write_open_creates_a_missing_file_empty) {
    std::string p = dir.file("new.bin");
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    EXPECT_EQ(S.is_rw, 1);
    EXPECT_EQ(S.file_size, 0);
    EXPECT_EQ(S.view, nullptr);
    EXPECT_TRUE(file_exists(p));
    EXPECT_EQ(hx_file_size(), 0);
}

TEST_F(open_file, empty_file_has_no_view) {
    std::string p = dir.write("empty.bin", bytes{});
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_EQ(S.view, nullptr);
    EXPECT_EQ(hx_file_size(), 0);
}

TEST_F(open_file, null_path_fails_and_keeps_the_open_file) {
    std::string p = dir.write("a.bin", std::string("hello"));
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_EQ(hx_open(nullptr), -1);
    EXPECT_STREQ(hx_last_error(), "NULL path");
    EXPECT_EQ(hx_open_rw(nullptr), -1);
    EXPECT_EQ(hx_file_size(), 5);
    EXPECT_NE(std::string(hx_page(0, 1, nullptr)).find("hello"), std::string::npos);
}

TEST_F(open_file, missing_file_fails_with_the_system_code_and_closes_the_previous_file) {
    std::string p = dir.write("a.bin", std::string("x"));
    ASSERT_EQ(hx_open(p.c_str()), 0);
    std::string missing = dir.file("missing.bin");
    EXPECT_EQ(hx_open(missing.c_str()), -1);
    EXPECT_EQ(hx_last_error(), cannot_open(missing, kMissingFileCode));
    EXPECT_EQ(S.is_open, 0);
    EXPECT_EQ(S.name, nullptr);
    EXPECT_EQ(hx_file_size(), -1);
}

TEST_F(open_file, read_write_open_in_a_missing_folder_fails) {
    std::string p = dir.file("no/such/folder/x.bin");
    EXPECT_EQ(hx_open_rw(p.c_str()), -1);
    EXPECT_EQ(hx_last_error(), cannot_open(p, kMissingFolderCode));
}

TEST_F(open_file, a_long_path_is_cut_to_1023_characters) {
    std::string missing = dir.file(std::string(3000, 'p'));
    EXPECT_EQ(hx_open(missing.c_str()), -1);
    std::string expected = cannot_open(missing, 0).substr(0, 1023);
    EXPECT_EQ(std::string(hx_last_error()).size(), 1023u);
    EXPECT_EQ(std::string(hx_last_error()), expected);
}

TEST_F(open_file, close_empties_the_error_text_and_is_harmless_twice) {
    EXPECT_EQ(hx_open(nullptr), -1);
    EXPECT_STREQ(hx_last_error(), "NULL path");
    hx_close();
    EXPECT_STREQ(hx_last_error(), "");
    hx_close();
    EXPECT_EQ(S.is_open, 0);
}

TEST_F(open_file, success_leaves_the_last_failure_message) {
    std::string p = dir.write("a.bin", std::string("abc"));
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_EQ(hx_open(nullptr), -1);
    EXPECT_EQ(hx_file_size(), 3);
    EXPECT_STRNE(hx_page(0, 1, nullptr), "");
    EXPECT_STREQ(hx_last_error(), "NULL path");
}

TEST_F(open_file, every_open_empties_the_error_text) {
    std::string p = dir.write("a.bin", std::string("abc"));
    EXPECT_EQ(hx_open(nullptr), -1);
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_STREQ(hx_last_error(), "");
}

TEST_F(open_file, out_of_memory_for_the_path_copy) {
    std::string p = dir.write("a.bin", std::string("abc"));
    {
        scoped_alloc_failure no_memory(0);
        EXPECT_EQ(hx_open(p.c_str()), -1);
    }
    EXPECT_STREQ(hx_last_error(), "out of memory");
    EXPECT_EQ(S.is_open, 0);
}

struct platform_failure_case {
    const char *name;
    void (*inject)(hv_os_table &);
    const char *expected;  // %s is the path, %u the code 77
};

void PrintTo(const platform_failure_case &c, std::ostream *os) { *os << c.name; }

class open_platform_failure : public hexview_test,
                              public ::testing::WithParamInterface<platform_failure_case> {};

thread_local unsigned long t_fake_code = 0;
unsigned long fake_last_error() { return t_fake_code; }

TEST_P(open_platform_failure, reports_the_failing_step_and_leaves_nothing_open) {
    std::string p = dir.write("a.bin", iota_bytes(100));
    int closes = 0;
    static int *s_closes;
    s_closes = &closes;
    {
        scoped_os os;
        GetParam().inject(os.table);
        os.table.last_error = fake_last_error;
        t_fake_code = 77;
        static const hv_os_table *s_native = &hv_os_native;
        os.table.close = [](hv_handle h) {
            (*s_closes)++;
            s_native->close(h);
        };
        EXPECT_EQ(hx_open(p.c_str()), -1);
    }
    std::string expected = GetParam().expected;
    std::size_t at = expected.find("%s");
    if (at != std::string::npos) expected.replace(at, 2, p);
    EXPECT_EQ(hx_last_error(), expected);
    EXPECT_EQ(S.is_open, 0);
    EXPECT_EQ(S.view, nullptr);
    EXPECT_EQ(S.name, nullptr);
    EXPECT_EQ(closes, 1) << "the file handle is closed exactly once";
}

INSTANTIATE_TEST_SUITE_P(
    steps, open_platform_failure,
    ::testing::Values(
        platform_failure_case{"size", [](hv_os_table &t) { t.file_size = [](hv_handle, int64_t *) { return false; }; },
                              "GetFileSizeEx failed: %s"},
        platform_failure_case{"mapping",
                              [](hv_os_table &t) {
                                  t.map = [](hv_handle, int64_t, bool, uint8_t **v) {
                                      *v = nullptr;
                                      return HV_MAP_MAPPING_FAILED;
                                  };
                              },
                              "CreateFileMapping failed (win error 77)"},
        platform_failure_case{"view",
                              [](hv_os_table &t) {
                                  t.map = [](hv_handle, int64_t, bool, uint8_t **v) {
                                      *v = nullptr;
                                      return HV_MAP_VIEW_FAILED;
                                  };
                              },
                              "MapViewOfFile failed (win error 77)"},
        platform_failure_case{"size_not_known",
                              [](hv_os_table &t) { t.size_known = [](hv_handle) { return false; }; },
                              "not a regular file with a known size: %s (a file of the system's own, as in /proc "
                              "or /sys, whose reported size is not what it holds)"}),
    [](const auto &info) { return std::string(info.param.name); });

// Files of the kernel's own file systems report sizes that are not their
// contents: /proc/version says 0 bytes and holds a line, a sysfs attribute
// says 4096. Neither is opened, read-only or read-write, so none is shown as
// the empty file its size says, nor written. Linux only.
TEST_F(open_file, files_of_proc_and_sys_are_refused_in_both_modes) {
#ifndef __linux__
    GTEST_SKIP() << "/proc and /sys are Linux's";
#else
    std::vector<std::string> paths;
    for (const char *p : {"/proc/version", "/sys/kernel/address_bits", "/proc/self/status"})
        if (FILE *f = std::fopen(p, "rb")) {
            std::fclose(f);
            paths.push_back(p);
        }
    if (paths.empty()) GTEST_SKIP() << "no /proc or /sys here";
    for (const std::string &p : paths) {
        const std::string refused = "not a regular file with a known size: " + p +
                                    " (a file of the system's own, as in /proc or /sys, whose reported size is not "
                                    "what it holds)";
        EXPECT_EQ(hx_open(p.c_str()), -1) << p;
        EXPECT_EQ(std::string(hx_last_error()), refused);
        EXPECT_EQ(S.is_open, 0);
        EXPECT_EQ(hx_file_size(), -1);
        // Read-write, the system may refuse first (a user other than root;
        // sysfs for root too): refused either way.
        EXPECT_EQ(hx_open_rw(p.c_str()), -1) << p;
        std::string said = hx_last_error();
        EXPECT_TRUE(said == refused || said == cannot_open(p, EACCES)) << said;
        EXPECT_EQ(S.is_open, 0);
    }
    // An empty file of an ordinary file system still opens, as empty.
    std::string empty = dir.write("empty.bin", bytes{});
    ASSERT_EQ(hx_open_rw(empty.c_str()), 0);
    EXPECT_EQ(hx_file_size(), 0);
#endif
}

#ifdef _WIN32
// The process's handles. (Wine reports 0 always; Windows counts them.)
int open_handle_count() {
    DWORD n = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &n) ? static_cast<int>(n) : -1;
}

// Handles a case made to stand in the library's way, closed after the test.
std::vector<HANDLE> g_held_handles;

void hold(HANDLE h) { g_held_handles.push_back(h); }

void close_held_handles() {
    for (HANDLE h : g_held_handles) CloseHandle(h);
    g_held_handles.clear();
}

// True when nothing else has the file open: no handle and no view of it.
bool opens_exclusively(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}
#else
int open_handle_count() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) n++;
    closedir(d);
    return n;
}

void close_held_handles() {}
#endif

struct special_file_case {
    const char *name;
    std::string (*make)(const temp_dir &);
    unsigned long code;
};

void PrintTo(const special_file_case &c, std::ostream *os) { *os << c.name; }

class open_special_file : public hexview_test, public ::testing::WithParamInterface<special_file_case> {
protected:
    void TearDown() override {
        close_held_handles();
        hexview_test::TearDown();
    }
};

// A folder, a device, or a pipe or socket nobody writes to, is refused at once
// in both modes; the test would hang if an open blocked.
TEST_P(open_special_file, is_refused_without_blocking) {
    std::string p = GetParam().make(dir);
    int handles = open_handle_count();
    for (int rw = 0; rw < 2; rw++) {
        int r = rw ? hx_open_rw(p.c_str()) : hx_open(p.c_str());
        EXPECT_EQ(r, -1);
        EXPECT_EQ(hx_last_error(), cannot_open(p, GetParam().code)) << "rw=" << rw;
        EXPECT_EQ(S.is_open, 0);
    }
    EXPECT_EQ(open_handle_count(), handles) << "no handle is left open";
}

#ifdef _WIN32
std::string listening_pipe(const temp_dir &) {
    static std::atomic<int> serial{0};
    std::string name = "\\\\.\\pipe\\hexview-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(serial++);
    // One instance for each of the two opens.
    for (int i = 0; i < 2; i++)
        hold(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 2, 0, 0, 0, nullptr));
    return name;
}

std::string file_open_for_writing_elsewhere(const temp_dir &d) {
    std::string p = d.write("busy.bin", std::string("abc"));
    hold(CreateFileA(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr));
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    kinds, open_special_file,
    ::testing::Values(
        special_file_case{"folder", [](const temp_dir &d) { return d.path(); }, ERROR_ACCESS_DENIED},
        special_file_case{"device", [](const temp_dir &) { return std::string("NUL"); }, ERROR_INVALID_FUNCTION},
        special_file_case{"pipe", listening_pipe, ERROR_INVALID_FUNCTION},
        special_file_case{"file_open_for_writing_elsewhere", file_open_for_writing_elsewhere,
                          ERROR_SHARING_VIOLATION}),
    [](const auto &info) { return std::string(info.param.name); });

// Closing releases every handle and the view: afterwards the file can be
// opened with no sharing at all.
TEST_F(open_file, closing_leaves_the_file_free_for_an_exclusive_open) {
    std::string p = dir.write("a.bin", iota_bytes(5000));
    ASSERT_EQ(hx_open(p.c_str()), 0);
    hx_close();
    EXPECT_TRUE(opens_exclusively(p)) << "after a read-only open";
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    EXPECT_FALSE(opens_exclusively(p)) << "the view is in use";
    hx_close();
    EXPECT_TRUE(opens_exclusively(p)) << "after a read-write open";
}
#else
INSTANTIATE_TEST_SUITE_P(
    kinds, open_special_file,
    ::testing::Values(
        special_file_case{"folder", [](const temp_dir &d) { return d.path(); }, EISDIR},
        special_file_case{"fifo",
                          [](const temp_dir &d) {
                              std::string p = d.file("fifo");
                              mkfifo(p.c_str(), 0600);
                              return p;
                          },
                          ENODEV},
        special_file_case{"device", [](const temp_dir &) { return std::string("/dev/null"); }, ENODEV},
        special_file_case{"socket",
                          [](const temp_dir &d) {
                              std::string p = d.file("sock");
                              int s = socket(AF_UNIX, SOCK_STREAM, 0);
                              sockaddr_un a{};
                              a.sun_family = AF_UNIX;
                              std::snprintf(a.sun_path, sizeof a.sun_path, "%s", p.c_str());
                              bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
                              close(s);
                              return p;
                          },
                          ENXIO}),
    [](const auto &info) { return std::string(info.param.name); });

// Root reads everything, so the refusal is checked in a child that gives up
// its privileges first.
TEST_F(open_file, file_without_read_permission_fails_with_eacces) {
    std::string p = dir.write("secret.bin", std::string("abc"));
    chmod(p.c_str(), 0000);
    chmod(dir.path().c_str(), 0755);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        bool ok = hx_open(p.c_str()) == -1 && hx_last_error() == cannot_open(p, EACCES);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(open_file, opening_and_closing_leaves_no_handle_open) {
    std::string p = dir.write("a.bin", iota_bytes(5000));
    int fds = open_handle_count();
    ASSERT_EQ(hx_open(p.c_str()), 0);
    EXPECT_EQ(open_handle_count(), fds) << "only the view outlives the open";
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    hx_close();
    EXPECT_EQ(open_handle_count(), fds);
}

#endif

}  // namespace
