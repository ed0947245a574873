// The SIGBUS handler beside a host's own handling of SIGBUS. Each case runs
// in a fresh child process (this program again, for one disabled test), so the
// library installs its handler there on that child's first open, after
// whatever the case set up before it. A child reports through its exit status.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/state.h"
#include "quillmar_hexview.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace {

constexpr long kMiB = 1 << 20;

// ---- What the children do.

// A file of `size` bytes of 0x5a in `folder`.
std::string make_file(const std::string &folder, const std::string &name, long size) {
    std::string path = folder + "/" + name;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) _exit(90);
    std::string chunk(4096, 'Z');
    for (long done = 0; done < size; done += 4096)
        if (::write(fd, chunk.data(), chunk.size()) != 4096) _exit(91);
    ::close(fd);
    return path;
}

// The engine's file shrinks, and a search over it must fail with the message.
bool engine_fault_is_handled(const std::string &folder) {
    std::string path = make_file(folder, "engine.bin", kMiB);
    if (hx_open(path.c_str()) != 0 || ::truncate(path.c_str(), 4096) != 0) return false;
    return hx_search("ascii", "x", 0) == -1 &&
           std::string(hx_last_error()) == "file shrank on disk since it was opened: " + path;
}

// The host's own mapping of a file that shrinks; reading its second page faults.
volatile const char *g_host_map = nullptr;

volatile const char *map_shrunk_host_file(const std::string &folder) {
    std::string path = make_file(folder, "host.bin", 2 * 4096);
    int fd = ::open(path.c_str(), O_RDONLY);
    void *p = ::mmap(nullptr, 2 * 4096, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED || ::truncate(path.c_str(), 0) != 0) _exit(92);
    g_host_map = static_cast<const char *>(p);
    return g_host_map;
}

// A host handler: counts what it gets and makes its own faults go away the
// way any host might, by mapping a page over the address.
volatile sig_atomic_t g_host_faults = 0;
volatile sig_atomic_t g_host_signals = 0;  // sent by raise or kill
struct sigaction g_before_host;

bool in_host_map(const void *address) {
    auto a = reinterpret_cast<uintptr_t>(address);
    auto b = reinterpret_cast<uintptr_t>(g_host_map);
    return g_host_map && a >= b && a < b + 2 * 4096;
}

void host_handler(int sig, siginfo_t *info, void *context) {
    if (info->si_code <= 0) {
        g_host_signals = g_host_signals + 1;
        return;
    }
    if (in_host_map(info->si_addr)) {
        g_host_faults = g_host_faults + 1;
        auto page = reinterpret_cast<uintptr_t>(info->si_addr) & ~uintptr_t{4095};
        ::mmap(reinterpret_cast<void *>(page), 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        return;
    }
    // Not ours: the host passes it on to what was there before it.
    if (g_before_host.sa_flags & SA_SIGINFO) {
        g_before_host.sa_sigaction(sig, info, context);
        return;
    }
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

void install_host_handler() {
    struct sigaction sa{};
    sa.sa_sigaction = host_handler;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    if (::sigaction(SIGBUS, &sa, &g_before_host) != 0) _exit(93);
}

// Exit codes of the children: 0 when all went as expected.
int host_handler_installed_first(const std::string &folder) {
    install_host_handler();
    if (!engine_fault_is_handled(folder)) return 10;
    if (g_host_faults != 0 || g_host_signals != 0) return 11;  // the engine's fault reached the host
    volatile char c = map_shrunk_host_file(folder)[4096];
    (void)c;
    if (g_host_faults != 1) return 12;
    ::raise(SIGBUS);
    if (g_host_signals != 1) return 13;
    return 0;
}

int host_handler_installed_after_the_open_and_chaining(const std::string &folder) {
    std::string first = make_file(folder, "first.bin", 4096);
    if (hx_open(first.c_str()) != 0) return 20;
    install_host_handler();
    if (!engine_fault_is_handled(folder)) return 21;
    volatile char c = map_shrunk_host_file(folder)[4096];
    (void)c;
    return g_host_faults == 1 ? 0 : 22;
}

// Scenarios whose outcome must be the same with and without the library's
// handler: `open_first` makes the library install it before the host acts.
int host_acts_alone(const std::string &what, bool open_first, const std::string &folder) {
    if (what == "ignored_raise") ::signal(SIGBUS, SIG_IGN);
    if (open_first) {
        std::string path = make_file(folder, "engine.bin", 8192);
        if (hx_open(path.c_str()) != 0 || hx_search("ascii", "x", 0) != 0) return 30;
    }
    if (what == "own_fault") {
        volatile char c = map_shrunk_host_file(folder)[4096];
        (void)c;
    } else {
        ::raise(SIGBUS);
    }
    return 0;
}

// A read of the engine's view outside any protected read is no business of
// the handler: it ends as the host's own fault would.
int unprotected_read_of_a_lost_page(const std::string &folder) {
    std::string path = make_file(folder, "engine.bin", kMiB);
    if (hx_open(path.c_str()) != 0 || ::truncate(path.c_str(), 4096) != 0) return 40;
    volatile char c = reinterpret_cast<volatile const char *>(S.view)[kMiB / 2];
    (void)c;
    return 0;
}

int run_scenario(const std::string &arg) {
    std::size_t bar = arg.find('|');
    std::string what = arg.substr(0, bar);
    std::string folder = arg.substr(bar + 1);
    if (what == "host_first") return host_handler_installed_first(folder);
    if (what == "host_after_chaining") return host_handler_installed_after_the_open_and_chaining(folder);
    if (what == "unprotected_read") return unprotected_read_of_a_lost_page(folder);
    bool open_first = what.back() == '+';
    if (open_first) what.pop_back();
    return host_acts_alone(what, open_first, folder);
}

TEST(sigbus_child, DISABLED_run) { _exit(kChildRan + run_scenario(child_arg())); }

// ---- The cases, seen from the parent.

class sigbus_host : public ::testing::Test {
protected:
    int child(const std::string &scenario) { return run_child_test("sigbus_child.DISABLED_run", scenario + "|" + dir.path()); }
    temp_dir dir;
};

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

std::string describe(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

TEST_F(sigbus_host, a_handler_installed_before_the_first_open_keeps_its_own_faults_and_never_gets_the_engines) {
    int status = child("host_first");
    EXPECT_TRUE(exited_with(status, kChildRan)) << describe(status);
}

TEST_F(sigbus_host, a_handler_installed_after_the_open_that_chains_leaves_the_engine_protected) {
    int status = child("host_after_chaining");
    EXPECT_TRUE(exited_with(status, kChildRan)) << describe(status);
}

// Under a sanitizer its own handler was there first and reports the fault;
// otherwise the default action ends the process by the signal.
TEST_F(sigbus_host, without_a_host_handler_every_other_sigbus_ends_as_if_the_library_were_absent) {
    for (const char *what : {"own_fault", "raise", "ignored_raise"}) {
        int without = child(what);
        int with = child(std::string(what) + "+");
        EXPECT_FALSE(exited_with(without, 0)) << what << ": the child ran nothing";
        EXPECT_EQ(describe(with), describe(without)) << what;
        if (std::strcmp(what, "ignored_raise") == 0) {
            EXPECT_TRUE(exited_with(with, kChildRan)) << describe(with);
        }
    }
    EXPECT_EQ(describe(child("unprotected_read")), describe(child("own_fault")));
}

}  // namespace
#endif
