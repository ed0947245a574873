// The long engine calls (search, compare, save) run on a worker thread while
// the command's own thread shows their progress and turns Ctrl-C into a
// cancel, so an interrupted save leaves its target as it was.
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "cli/cli.h"
#include "quillmar_hexview.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;

// The progress line appears only for work that lasts longer than this.
constexpr auto kQuietStart = 500ms;
constexpr auto kTick = 100ms;

volatile std::sig_atomic_t interrupted = 0;

// hx_cancel only stores an atomic: safe in a signal handler (on Windows the
// handler runs on a thread of its own).
extern "C" void cancel_on_interrupt(int) {
    interrupted = 1;
    hx_cancel();
}

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

// "search: 1.2 GiB of 16.0 GiB (7%), 3 hits", or "" when nothing runs.
std::string progress_line() {
    nlohmann::json p = read_library_json(hx_progress_json());
    std::string op = p.value("op", "");
    if (op.empty()) return "";
    int64_t done = p.value("done", int64_t{0});
    int64_t total = p.value("total", int64_t{0});
    int64_t hits = p.value("hits", int64_t{0});
    int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    std::string line = op + ": " + human_size(done) + " of " + human_size(total) + " (" + std::to_string(percent) + "%)";
    if (op == "search") line += ", " + std::to_string(hits) + (hits == 1 ? " hit" : " hits");
    return line + " - Ctrl-C stops";
}

// The outcome of the call on the worker, whose error text is its own.
struct worker_outcome {
    std::mutex m;
    std::condition_variable ended;
    bool done = false;
    int result = 0;
    std::string message;
};

}  // namespace

void run_long_call(const std::string &what, bool quiet, const std::function<int()> &call) {
    interrupted = 0;
    auto previous = std::signal(SIGINT, cancel_on_interrupt);
    worker_outcome out;
    std::thread worker([&] {
        int r = call();
        std::string m = r != 0 ? hx_last_error() : "";
        std::lock_guard lock(out.m);
        out.result = r;
        out.message = m;
        out.done = true;
        out.ended.notify_all();
    });
    const bool show = !quiet && stderr_is_terminal();
    const auto start = std::chrono::steady_clock::now();
    bool shown = false;
    {
        std::unique_lock lock(out.m);
        while (!out.ended.wait_for(lock, kTick, [&] { return out.done; })) {
            // A Ctrl-C that came before the call began found nothing to stop.
            if (interrupted) hx_cancel();
            if (!show || std::chrono::steady_clock::now() - start < kQuietStart) continue;
            std::fprintf(stderr, "\r%s\x1b[K", progress_line().c_str());
            std::fflush(stderr);
            shown = true;
        }
    }
    worker.join();
    std::signal(SIGINT, previous == SIG_ERR ? SIG_DFL : previous);
    if (shown) std::fputs("\r\x1b[K", stderr);
    if (out.result == 0) return;
    if (interrupted) {
        std::fprintf(stderr, "hexview: %s: %s\n", what.c_str(), out.message.c_str());
        hx_close();
        std::exit(130);  // as a shell reports a command ended by Ctrl-C
    }
    throw host_error(what + ": " + out.message);
}
