#include "serve_flood.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "serve/serve_process.h"

namespace {

using flood_clock = std::chrono::steady_clock;

constexpr size_t kBodyBytes = 1 << 20;
constexpr size_t kChunkBytes = 64 << 10;
constexpr auto kTrickleGap = std::chrono::milliseconds(20);  // the slow head (~280 bytes) outlasts the 5 s head deadline

// What one raider does on each of its connections.
enum class move { announce, body, chunked, idle, trickle };

// The scripts, by index: the announced head, then per route a full body and
// a chunked one, then the slow head (idle connections send nothing).
constexpr size_t kAnnounce = 0, kFirstBody = 1, kFirstChunked = 4, kTrickle = 7, kRoutes = 3;

std::string head(int port, int route, const std::string &framing) {
    static const char *const targets[kRoutes] = {"GET / ", "GET /app.js ", "POST /api/session "};
    std::string h = std::string(targets[route]) + "HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    if (route == 2)
        h += "Origin: http://127.0.0.1:" + std::to_string(port) +
             "\r\nContent-Type: application/json\r\nX-Hexview-Launch: " + std::string(64, '0') + "\r\n";
    return h + framing + "\r\n";
}

std::string chunked_body() {
    std::string body;
    char size_line[16];
    std::snprintf(size_line, sizeof size_line, "%zx\r\n", kChunkBytes);
    for (size_t done = 0; done < kBodyBytes; done += kChunkBytes) body += size_line + std::string(kChunkBytes, 'c') + "\r\n";
    return body + "0\r\n\r\n";
}

std::vector<std::string> make_scripts(int port) {
    const std::string length = "Content-Length: " + std::to_string(kBodyBytes) + "\r\n";
    std::vector<std::string> s{head(port, 2, length)};
    for (int route = 0; route < 3; route++) s.push_back(head(port, route, length) + std::string(kBodyBytes, 'b'));
    for (int route = 0; route < 3; route++) s.push_back(head(port, route, "Transfer-Encoding: chunked\r\n") + chunked_body());
    s.push_back(head(port, 0, "X-Padding: " + std::string(220, 'p') + "\r\n"));
    return s;
}

move move_of(flood_kind kind, int i) {
    switch (kind) {
    case flood_kind::announced_body: return move::announce;
    case flood_kind::full_body: return move::body;
    case flood_kind::chunked_body: return move::chunked;
    case flood_kind::slow_head: return i % 2 ? move::idle : move::trickle;
    case flood_kind::mixed: break;
    }
    static const move all[] = {move::announce, move::body, move::chunked, move::idle, move::trickle};
    return all[i % 5];
}

size_t script_of(move m, int i) {
    size_t route = static_cast<size_t>(i / 5) % kRoutes;  // over i / 5 so the mix also spreads its routes
    switch (m) {
    case move::announce: return kAnnounce;
    case move::body: return kFirstBody + route;
    case move::chunked: return kFirstChunked + route;
    default: return kTrickle;
    }
}

// A reset rather than a FIN: thousands of connections a second would
// otherwise fill the ephemeral ports with TIME_WAIT.
void close_hard(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK; }

}  // namespace

const char *flood_name(flood_kind kind) {
    static const char *const names[kFloodKinds] = {
        "heads announcing 1 MiB to POST /api/session, no body",
        "1 MiB bodies to GET /, GET /app.js, POST /api/session",
        "1 MiB chunked bodies to GET /, GET /app.js, POST /api/session",
        "idle connections and heads sent a byte every 20 ms",
        "a mix of all four",
    };
    return names[static_cast<int>(kind)];
}

struct flood::raider {
    move kind;
    const std::string *script;
    int fd = -1;
    size_t sent = 0;
    std::string answer;  // the first bytes the server answered
    flood_clock::time_point next_byte{};

    raider(move m, const std::string *bytes) : kind(m), script(bytes) {}

    bool sent_all() const { return kind == move::idle || sent == script->size(); }
    bool wants_to_send(flood_clock::time_point now) const {
        return fd >= 0 && !sent_all() && (kind != move::trickle || now >= next_byte);
    }
};

flood::flood(int port, flood_kind kind, int connections) : port_(port), scripts_(make_scripts(port)) {
    for (int i = 0; i < connections; i++) {
        move m = move_of(kind, i);
        raiders_.emplace_back(m, &scripts_[script_of(m, i)]);
    }
    thread_ = std::thread([this] { run(); });
}

flood::~flood() { stop(); }

void flood::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

void flood::open(raider &r) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    sockaddr_storage a;
    socklen_t len = loopback_address(false, port_, a);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 && errno != EINPROGRESS) {
        close(fd);
        return;
    }
    r.fd = fd;
    r.sent = 0;
    r.answer.clear();
    tally_.opened++;
}

// The connection ends, by the server or because it has played its part:
// counted by what the server said, and opened again on the next round.
void flood::finish(raider &r) {
    if (r.answer.rfind("HTTP/1.1 413", 0) == 0)
        tally_.refused_413++;
    else if (!r.answer.empty())
        tally_.answered_other++;
    else
        tally_.closed_unanswered++;
    close_hard(r.fd);
    r.fd = -1;
}

void flood::on_ready(raider &r, short revents) {
    if (revents & POLLIN) {
        char buf[64 << 10];
        ssize_t n = recv(r.fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && !would_block())) return finish(r);
        if (n > 0 && r.answer.size() < 16) r.answer.append(buf, std::min<size_t>(static_cast<size_t>(n), 16));
    } else if (revents & (POLLERR | POLLHUP)) {
        return finish(r);
    }
    if (revents & POLLOUT && !r.sent_all()) {
        size_t want = r.kind == move::trickle ? 1 : r.script->size() - r.sent;
        ssize_t n = send(r.fd, r.script->data() + r.sent, want, MSG_NOSIGNAL);
        if (n < 0 && !would_block()) return finish(r);
        if (n > 0) r.sent += static_cast<size_t>(n);
        r.next_byte = flood_clock::now() + kTrickleGap;
    }
    // A hostile client sends all of its body whatever the answer, then goes.
    if (r.sent_all() && !r.answer.empty()) finish(r);
}

void flood::run() {
    std::vector<pollfd> fds(raiders_.size());
    while (!stopping_) {
        auto now = flood_clock::now();
        for (size_t i = 0; i < raiders_.size(); i++) {
            raider &r = raiders_[i];
            if (r.fd < 0) open(r);
            fds[i] = {r.fd, static_cast<short>(POLLIN | (r.wants_to_send(now) ? POLLOUT : 0)), 0};
        }
        if (poll(fds.data(), fds.size(), 5) <= 0) continue;
        for (size_t i = 0; i < raiders_.size(); i++)
            if (fds[i].revents && raiders_[i].fd >= 0) on_ready(raiders_[i], fds[i].revents);
    }
    for (raider &r : raiders_)
        if (r.fd >= 0) close_hard(r.fd);
}

rss_watch::rss_watch(pid_t pid) : pid_(pid) {
    thread_ = std::thread([this] {
        while (!stopping_) {
            peak_ = std::max(peak_.load(), resident_kib(pid_));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
}

rss_watch::~rss_watch() { peak_kib(); }

long rss_watch::peak_kib() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    return peak_;
}
