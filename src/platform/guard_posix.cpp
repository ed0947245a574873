// The POSIX fault handler of the protected reads (see guard.h).
//
// The way back from a missing page. A handler that jumps out with siglongjmp
// would skip the destructors of every C++ frame between the read and the
// jump, and leave half-updated state behind; nothing in the engine's reads is
// written to be abandoned midway. Instead the handler maps anonymous zero
// pages over the mapping from the faulting page to its end (MAP_FIXED, in the
// place of the file's pages) and returns: the faulting instruction runs again
// and reads zeros, the read finishes normally, and its caller sees the lost
// mark and fails the call. The pages after the faulting one are replaced too,
// since a file that ends before page P has none after it either: the rest of
// the read meets no further fault. mmap is not on POSIX's list of
// async-signal-safe functions, but on the systems we build for it is the bare
// system call, which is safe here; the handler only touches atomics and a
// per-thread counter besides.
//
// Nothing is read per page: the only cost on the read paths is the per-thread
// counter of hv_protected_read.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/guard.h"

namespace {

struct sigaction g_previous;  // what handled SIGBUS before us
uintptr_t g_page_size = 4096;
std::atomic<bool> g_installed{false};

uintptr_t round_up(uintptr_t n, uintptr_t to) { return (n + to - 1) / to * to; }

// Zero pages from the faulting page to the end of the watched mapping; false
// when the address is none of ours or the pages cannot be replaced.
bool replace_missing_pages(uintptr_t address) {
    uintptr_t base = 0, end = 0;
    int slot = hv_guard_slot_of(address, &base, &end);
    if (slot < 0) return false;
    uintptr_t from = address / g_page_size * g_page_size;
    uintptr_t to = round_up(end, g_page_size);  // the mapping covers whole pages
    void *p = ::mmap(reinterpret_cast<void *>(from), to - from, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                     -1, 0);
    if (p == MAP_FAILED) return false;
    hv_guard_mark_lost(slot, nullptr);
    return true;
}

void set_default_action() {
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGBUS, &dfl, nullptr);
}

// The previous handler, called as the system would have called it: with its
// own mask and flags.
void call_previous_handler(const struct sigaction &prev, int sig, siginfo_t *info, void *context) {
    if (prev.sa_flags & SA_RESETHAND) set_default_action();
    sigset_t mask, saved;
    ::pthread_sigmask(SIG_BLOCK, &prev.sa_mask, &saved);
    if (prev.sa_flags & SA_NODEFER) {
        sigemptyset(&mask);
        sigaddset(&mask, SIGBUS);
        ::pthread_sigmask(SIG_UNBLOCK, &mask, nullptr);
    }
    if (prev.sa_flags & SA_SIGINFO)
        prev.sa_sigaction(sig, info, context);
    else
        prev.sa_handler(sig);
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

// Hands the signal on exactly as if the engine had never installed anything.
void pass_on(int sig, siginfo_t *info, void *context) {
    const struct sigaction &prev = g_previous;
    bool from_a_fault = info && info->si_code > 0;  // raised by the kernel, not sent by kill or raise
    bool ignored = !(prev.sa_flags & SA_SIGINFO) && prev.sa_handler == SIG_IGN;
    if (ignored && !from_a_fault) return;
    bool default_action = !(prev.sa_flags & SA_SIGINFO) && (prev.sa_handler == SIG_DFL || ignored);
    if (!default_action) {
        call_previous_handler(prev, sig, info, context);
        return;
    }
    // The default action (or a fault the kernel would not let be ignored):
    // put it back and send the signal again. It is blocked until this handler
    // returns, and then ends the process as it would have without us.
    set_default_action();
    ::raise(SIGBUS);
}

void on_sigbus(int sig, siginfo_t *info, void *context) {
    int saved_errno = errno;
    // Only a read past the end of a mapped file (BUS_ADRERR) by a thread
    // inside a protected read, at an address of a watched mapping.
    bool handled = info && info->si_code == BUS_ADRERR && hv_guard_thread_inside() &&
                   replace_missing_pages(reinterpret_cast<uintptr_t>(info->si_addr));
    errno = saved_errno;
    if (!handled) pass_on(sig, info, context);
}

bool install() {
    g_page_size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    struct sigaction ours{};
    ours.sa_sigaction = on_sigbus;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&ours.sa_mask);
    return ::sigaction(SIGBUS, &ours, &g_previous) == 0;
}

}  // namespace

void hv_guard_install() {
    if (g_installed.load(std::memory_order_acquire)) return;
    static const bool installed = install();  // once, even when threads race here
    g_installed.store(installed, std::memory_order_release);
}
