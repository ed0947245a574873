#include "support/child_process.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include "support/win32.h"
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

std::string child_arg() {
    const char *v = std::getenv(kChildArgVariable);
    return v ? v : "";
}

#ifdef _WIN32

namespace {

std::string this_program() {
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

// Starts `command_line` with `arg` in its environment, its output dropped, and
// waits for its exit code.
int run_and_wait(std::string command_line, const std::string &arg) {
    SetEnvironmentVariableA(kChildArgVariable, arg.c_str());
    // The parent may run as one shard of several: the child runs its one test.
    const char *sharding[] = {"GTEST_TOTAL_SHARDS", "GTEST_SHARD_INDEX", "GTEST_SHARD_STATUS_FILE"};
    std::string kept[3];
    bool had[3];
    for (int i = 0; i < 3; i++) {
        const char *v = std::getenv(sharding[i]);
        had[i] = v != nullptr;
        if (v) kept[i] = v;
        SetEnvironmentVariableA(sharding[i], nullptr);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = null;
    si.hStdError = null;
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA(kChildArgVariable, nullptr);
    for (int i = 0; i < 3; i++)
        if (had[i]) SetEnvironmentVariableA(sharding[i], kept[i].c_str());
    if (null != INVALID_HANDLE_VALUE) CloseHandle(null);
    if (!started) return -1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

}  // namespace

int run_child_test(const std::string &test, const std::string &arg) {
    return run_and_wait("\"" + this_program() + "\" --gtest_also_run_disabled_tests --gtest_filter=" + test, arg);
}

// The child is this program again, running the test that resizes (see
// guard_win32_test.cpp); it exits with kChildRan or the system's code.
bool resize_from_another_process(const std::string &path, long long size, unsigned long *code) {
    int r = run_child_test("shrink_child.DISABLED_resize", path + "|" + std::to_string(size));
    if (code) *code = static_cast<unsigned long>(r);
    return r == kChildRan;
}

#else

namespace {

pid_t wait_for(pid_t pid, int *status) {
    pid_t r;
    do r = ::waitpid(pid, status, 0);
    while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

bool resize_from_another_process(const std::string &path, long long size, unsigned long *code) {
    pid_t pid = ::fork();
    if (pid == 0) _exit(::truncate(path.c_str(), static_cast<off_t>(size)) == 0 ? 0 : errno);
    int status = 0;
    if (pid < 0 || wait_for(pid, &status) != pid) return false;
    if (code) *code = WIFEXITED(status) ? static_cast<unsigned long>(WEXITSTATUS(status)) : 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The path of this program (under valgrind: the program valgrind runs).
std::string this_program() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "/proc/self/exe";
}

int run_child_test(const std::string &test, const std::string &arg) {
    std::string filter = "--gtest_filter=" + test;
    std::string program = this_program();
    std::vector<char *> argv = {program.data(), const_cast<char *>("--gtest_also_run_disabled_tests"), filter.data(),
                                nullptr};
    std::string assignment = std::string(kChildArgVariable) + "=" + arg;
    std::vector<char *> envp;
    // The parent may run as one shard of several: the child runs its one test.
    for (char **e = environ; *e; e++)
        if (std::strncmp(*e, "GTEST_", 6) != 0) envp.push_back(*e);
    envp.push_back(assignment.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int r = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (r != 0) return -1;
    int status = 0;
    if (wait_for(pid, &status) != pid) return -1;
    return status;
}

#endif
