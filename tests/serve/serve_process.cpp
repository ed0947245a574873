#include "serve/serve_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>

serve_process::serve_process(const std::string &tool, const std::vector<std::string> &args) {
    char log_path[] = "/tmp/hexview-serve-log-XXXXXX";
    int log = mkstemp(log_path);
    if (log < 0) return;
    unlink(log_path);  // the two descriptors keep it while they need it
    pid_ = fork();
    if (pid_ == 0) {
        dup2(log, 1);
        dup2(log, 2);
        close(log);
        std::vector<char *> argv{const_cast<char *>(tool.c_str()), const_cast<char *>("serve")};
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    // Read the log until the address line shows or the process has ended.
    std::regex address("open http://127\\.0\\.0\\.1:([0-9]+)/\\?token=([0-9a-f]+)");
    std::smatch m;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        char buf[4096];
        ssize_t n = pread(log, buf, sizeof buf - 1, 0);
        output_.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
        if (std::regex_search(output_, m, address)) {
            port_ = std::stoi(m[1]);
            token_ = m[2];
            break;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
            output_.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
            n = pread(log, buf, sizeof buf - 1, 0);
            output_.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
            break;
        }
        usleep(10000);
    }
    close(log);
}

serve_process::~serve_process() { stop(); }

int serve_process::stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    return wait_exit();
}

int serve_process::wait_exit() {
    int status = 0;
    if (pid_ <= 0) return exit_status_;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exit_status_;
}

httplib::Client serve_process::client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(std::chrono::seconds(60));
    return c;
}

httplib::Headers serve_process::cookie() const {
    return {{"Cookie", "hexview_" + std::to_string(port_) + "=" + token_}};
}

httplib::Headers serve_process::post_headers() const {
    httplib::Headers h = cookie();
    h.emplace("Origin", origin());
    return h;
}

httplib::Result serve_process::get(const std::string &path) const { return client().Get(path, cookie()); }

httplib::Result serve_process::post(const std::string &path, const std::string &json) const {
    return client().Post(path, post_headers(), json, "application/json");
}
