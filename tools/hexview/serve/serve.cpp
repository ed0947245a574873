// hexview serve: opens the file, listens on the loopback addresses, prints a
// launch address (and a fresh one on request) and serves until Ctrl-C.
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "quillmar_hexview.h"
#include "serve/serve.h"

extern char **environ;

namespace {

std::atomic<bool> stop_requested{false};
std::atomic<bool> interrupted{false};  // Ctrl-C, which unsaved edits hold back once
std::atomic<bool> address_requested{false};

extern "C" void on_stop_signal(int) { stop_requested = true; }
extern "C" void on_interrupt_signal(int) { interrupted = true; }
extern "C" void on_address_signal(int) { address_requested = true; }

// Opens the file as the person asked, falling back to read-only when it
// cannot be written; a missing file is never created.
bool open_file(const serve_options &o) {
    std::error_code ec;
    auto status = std::filesystem::status(o.file, ec);
    if (!std::filesystem::exists(status)) throw host_error("no such file: " + o.file);
    if (std::filesystem::is_directory(status)) throw host_error("is a folder, not a file: " + o.file);
    if (!o.read_only && hx_open_rw(o.file.c_str()) == 0) return true;
    if (hx_open(o.file.c_str()) != 0) throw host_error(hx_last_error());
    if (!o.read_only) std::fprintf(stderr, "hexview: %s cannot be written; opened read-only\n", o.file.c_str());
    return false;
}

std::string launch_address(serve_session &s) {
    return "http://127.0.0.1:" + std::to_string(s.port) + "/#launch=" + s.new_launch();
}

// The browser gets the address through a file only this user can read, which
// redirects to it: the token is never on a command line that `ps` shows.
// HEXVIEW_OPENER names the program that opens the file (xdg-open by default).
std::string start_browser(const std::string &address) {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && *runtime && std::filesystem::is_directory(runtime) ? runtime : "/tmp";
    std::string path = dir + "/hexview-open-XXXXXX.html";
    int fd = mkstemps(path.data(), 5);  // made with mode 0600
    if (fd < 0) {
        std::fprintf(stderr, "hexview: cannot make the file that opens the browser in %s: %s; open the address by hand\n",
                     dir.c_str(), system_message(errno).c_str());
        return "";
    }
    std::string page = "<!doctype html><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"0;url=" + address +
                       "\"><title>hexview</title><p><a href=\"" + address + "\">Open hexview</a></p>\n";
    bool written = write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size());
    close(fd);
    const char *opener = std::getenv("HEXVIEW_OPENER");
    if (!opener || !*opener) opener = "xdg-open";
    pid_t pid;
    const char *argv[] = {opener, path.c_str(), nullptr};
    int err = written ? posix_spawnp(&pid, opener, nullptr, nullptr, const_cast<char **>(argv), environ) : EIO;
    if (err)
        std::fprintf(stderr, "hexview: could not start a browser (%s: %s); open the address by hand\n", opener,
                     system_message(err).c_str());
    else
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    return path;
}

// Enter on standard input asks for a fresh address (for another tab or
// browser); so does SIGUSR1. Reads only what is there, so the loop still
// sees a stop at once.
bool enter_pressed(bool &stdin_open) {
    if (!stdin_open) return false;
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char buf[256];
    ssize_t n = read(0, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EIO)) stdin_open = false;
    return n > 0 && std::memchr(buf, '\n', static_cast<size_t>(n)) != nullptr;
}

// Staged edits and their hex text come and go in blocks of up to 16 MiB.
// glibc raises its mmap threshold after each such block is freed, and later
// ones then stay in the heap when freed: a fixed threshold hands every big
// block back to the system, so undo and discard give memory back.
void return_big_blocks() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
}

}  // namespace

int run_serve(const serve_options &o) {
    return_big_blocks();
    serve_session session;
    session.path = o.file;
    session.launch_seconds = o.launch_seconds;
    session.writable = open_file(o);
    serve_routes routes;
    add_api_routes(routes, session);
    add_bookmark_routes(routes, session);
    http_server server(make_app(session, routes));
    try {
        session.port = server.listen_loopback(
            o.port, [](const std::string &line) { std::fprintf(stderr, "hexview: %s\n", line.c_str()); });
    } catch (const std::runtime_error &e) {
        throw host_error(e.what());
    }
    std::string address = launch_address(session);
    std::printf("hexview serve: %s (%s)\nopen %s\nCtrl-C stops the server; Enter prints a fresh address "
                "(each works once, within %d seconds)\n",
                o.file.c_str(), session.writable ? "read-write" : "read-only", address.c_str(), o.launch_seconds);
    std::fflush(stdout);

    std::signal(SIGINT, on_interrupt_signal);
    std::signal(SIGTERM, on_stop_signal);
    std::signal(SIGUSR1, on_address_signal);
    std::signal(SIGTTIN, SIG_IGN);  // a server in the background reads nothing, and is not stopped
    server.start();
    std::string opener_file = o.open_browser ? start_browser(launch_address(session)) : "";
    bool stdin_open = true;
    bool warned = false;
    while (!stop_requested) {
        if (interrupted.exchange(false)) {
            // Unsaved edits live only in this process: the first Ctrl-C warns.
            int64_t unsaved = serve_unsaved_edits();
            if (o.force || warned || unsaved == 0) break;
            std::printf("hexview serve: %lld staged edit%s not saved: save from the page, or press Ctrl-C again "
                        "to drop %s and stop\n",
                        static_cast<long long>(unsaved), unsaved == 1 ? " is" : "s are", unsaved == 1 ? "it" : "them");
            std::fflush(stdout);
            warned = true;
        }
        if (enter_pressed(stdin_open) || address_requested.exchange(false)) {
            std::printf("open %s\n", launch_address(session).c_str());
            std::fflush(stdout);
        }
        watch_jobs();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    server.stop();
    end_jobs();  // a running search, compare or save is cancelled
    if (!opener_file.empty()) std::remove(opener_file.c_str());
    hx_close();
    return 0;
}
