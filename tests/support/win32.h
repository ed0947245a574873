// <windows.h> for the Windows-only checks of the tests, without its min/max
// macros and rarely used parts.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <thread>

// Committed private memory of the process: the heap's blocks of 1 MiB are
// committed on their own and released when freed.
inline std::size_t committed_private_bytes() {
    std::size_t total = 0;
    MEMORY_BASIC_INFORMATION m;
    const char *at = nullptr;
    while (VirtualQuery(at, &m, sizeof m) == sizeof m) {
        if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE) total += m.RegionSize;
        const char *next = static_cast<const char *>(m.BaseAddress) + m.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return total;
}

// Growth of committed memory while one thread that ran `use` still lives, and
// after it and `more_threads` others that ran it have ended, one after another.
// Thread stacks and the system's bookkeeping add noise, so many threads are
// run to make kept per-thread memory stand out.
struct thread_memory_growth {
    std::ptrdiff_t while_alive;
    std::ptrdiff_t after_all_ended;
};

template <typename F>
thread_memory_growth measure_thread_memory(F use, int more_threads) {
    auto since = [before = committed_private_bytes()] {
        return static_cast<std::ptrdiff_t>(committed_private_bytes()) - static_cast<std::ptrdiff_t>(before);
    };
    thread_memory_growth g{};
    std::thread([&] {
        use();
        g.while_alive = since();
    }).join();
    for (int i = 0; i < more_threads; i++) std::thread(use).join();
    g.after_all_ended = since();
    return g;
}
#endif
