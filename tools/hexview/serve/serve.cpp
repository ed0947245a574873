// hexview serve: opens the file, binds the loopback addresses, prints the
// address with its access token and serves until Ctrl-C.
#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "quillmar_hexview.h"
#include "serve/serve.h"

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
extern char **environ;
#endif

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void on_stop_signal(int) { stop_requested = true; }

// 256 bits from the system's random source, as hex digits.
std::string random_token() {
    std::random_device rd;
    std::string token;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 8; i++) {
        uint32_t word = rd();
        for (int k = 0; k < 8; k++) token += digits[(word >> (4 * k)) & 0xf];
    }
    return token;
}

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

void start_browser(const std::string &url) {
#ifdef _WIN32
    std::string cmd = "start \"\" \"" + url + "\"";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "hexview: could not start a browser\n");
#else
    pid_t pid;
    const char *argv[] = {"xdg-open", url.c_str(), nullptr};
    if (int err = posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char **>(argv), environ))
        std::fprintf(stderr, "hexview: could not start a browser (xdg-open: %s); open the address by hand\n",
                     system_message(err).c_str());
    else
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
#endif
}

// The bind's own error is what the socket calls left in errno.
std::string cannot_listen(int port, int err) {
    std::string why = err ? system_message(err) : "port busy?";
    return "cannot listen on 127.0.0.1 port " + std::to_string(port) + " (" + why + ")";
}

}  // namespace

int run_serve(const serve_options &o) {
    serve_session session;
    session.path = o.file;
    session.writable = open_file(o);
    session.token = random_token();

    // Both are set up before they bind: socket options apply from the bind on.
    // The IPv4 loopback gets the port (a free one by default); the IPv6
    // loopback joins on the same port where the system has one.
    std::vector<std::unique_ptr<httplib::Server>> servers;
    for (int family : {AF_INET, AF_INET6}) {
        servers.push_back(std::make_unique<httplib::Server>());
        servers.back()->set_address_family(family);
        add_guards_and_assets(*servers.back(), session);
        add_api_routes(*servers.back(), session);
    }
    httplib::Server &v4 = *servers.front();
    errno = 0;
    session.port = o.port ? (v4.bind_to_port("127.0.0.1", o.port) ? o.port : -1) : v4.bind_to_any_port("127.0.0.1");
    if (session.port <= 0) throw host_error(cannot_listen(o.port, errno));
    if (!servers.back()->bind_to_port("::1", session.port)) servers.pop_back();

    std::string url = "http://127.0.0.1:" + std::to_string(session.port) + "/?token=" + session.token;
    std::printf("hexview serve: %s (%s)\nopen %s\nCtrl-C stops the server\n", o.file.c_str(),
                session.writable ? "read-write" : "read-only", url.c_str());
    std::fflush(stdout);

    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    std::vector<std::thread> listeners;
    std::atomic<int> listening{static_cast<int>(servers.size())};
    for (auto &svr : servers)
        listeners.emplace_back([&svr, &listening] {
            svr->listen_after_bind();
            listening--;
        });
    if (o.open_browser) start_browser(url);
    while (!stop_requested) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // A stop that comes before a server has begun to listen is lost: repeat it.
    while (listening > 0) {
        for (auto &svr : servers) svr->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto &t : listeners) t.join();
    hx_close();
    return 0;
}
