#include "serve/serve_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

socklen_t loopback_address(bool ipv6, int port, sockaddr_storage &a) {
    a = {};
    if (ipv6) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        return sizeof(sockaddr_in6);
    }
    auto *v4 = reinterpret_cast<sockaddr_in *>(&a);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in);
}

int connect_loopback(int port, bool ipv6) {
    int sock = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (sock < 0) return -1;
    sockaddr_storage a;
    socklen_t len = loopback_address(ipv6, port, a);
    if (connect(sock, reinterpret_cast<sockaddr *>(&a), len) == 0) return sock;
    close(sock);
    return -1;
}

std::string raw_exchange(int port, const std::string &bytes, int seconds) {
    int sock = connect_loopback(port);
    if (sock < 0) return "";
    // The server may close before it has read everything: the rest is dropped.
    for (size_t at = 0; at < bytes.size();) {
        ssize_t n = send(sock, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
    }
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{sock, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(sock);
    return answer;
}

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

serve_process::serve_process(const std::string &tool, const std::vector<std::string> &args,
                             const std::vector<std::string> &wrapper) {
    char log_path[] = "/tmp/hexview-serve-log-XXXXXX";
    log_ = mkstemp(log_path);
    int in[2];
    if (log_ < 0 || pipe(in) != 0) return;
    unlink(log_path);  // the two descriptors keep it while they need it
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(log_, 1);
        dup2(log_, 2);
        close(in[0]);
        close(in[1]);
        close(log_);
        std::vector<char *> argv;
        for (const std::string &w : wrapper) argv.push_back(const_cast<char *>(w.c_str()));
        argv.push_back(const_cast<char *>(tool.c_str()));
        argv.push_back(const_cast<char *>("serve"));
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    input_ = in[1];
    launch_ = launch_line(0, 20);
    if (launch_.empty() || port_ <= 0) return;
    auto r = exchange(launch_);
    if (r && r->status == 200) {
        std::smatch m;
        if (std::regex_search(r->body, m, std::regex("^\\{\"token\":\"([0-9a-f]{64})\"\\}$"))) token_ = m[1];
    }
}

serve_process::~serve_process() {
    stop();
    if (log_ >= 0) close(log_);
    if (input_ >= 0) close(input_);
}

std::string serve_process::output() const {
    std::string out;
    char buf[4096];
    for (off_t at = 0;;) {
        ssize_t n = pread(log_, buf, sizeof buf, at);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return out;
}

std::string serve_process::launch_line(size_t nth, int seconds) {
    std::regex address("open http://127\\.0\\.0\\.1:([0-9]+)/#launch=([0-9a-f]{64})\n");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string out = output();
        size_t seen = 0;
        for (std::sregex_iterator it(out.begin(), out.end(), address), end; it != end; ++it, ++seen) {
            if (seen < nth) continue;
            port_ = std::stoi((*it)[1]);
            return (*it)[2];
        }
        int status;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
        }
        if (pid_ <= 0) return "";
        usleep(10000);
    }
    return "";
}

std::string serve_process::fresh_launch() {
    std::string out = output();
    size_t printed = 0;
    for (size_t at = 0; (at = out.find("open http://", at)) != std::string::npos; at++) printed++;
    if (write(input_, "\n", 1) != 1) return "";
    return launch_line(printed, 10);
}

httplib::Result serve_process::exchange(const std::string &launch) const {
    httplib::Headers h = {{"X-Hexview-Launch", launch}, {"Origin", origin()}};
    return client().Post("/api/session", h, "", "application/json");
}

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

httplib::Headers serve_process::auth() const { return {{"X-Hexview-Token", token_}}; }

httplib::Headers serve_process::post_headers() const {
    httplib::Headers h = auth();
    h.emplace("Origin", origin());
    return h;
}

httplib::Result serve_process::get(const std::string &path) const { return client().Get(path, auth()); }

httplib::Result serve_process::post(const std::string &path, const std::string &json) const {
    return client().Post(path, post_headers(), json, "application/json");
}

std::pair<int, std::string> serve_process::job_end() const {
    for (;;) {
        auto r = get("/api/job");
        if (!r) return {0, "no answer"};
        const std::string &b = r->body;
        size_t status = b.find("\"status\":"), answer = b.find(",\"answer\":");
        if (status != std::string::npos && answer != std::string::npos)
            return {std::stoi(b.substr(status + 9)), b.substr(answer + 10, b.size() - answer - 11)};
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
