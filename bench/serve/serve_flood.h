// Hostile local load on `hexview serve` from clients that hold no token: many
// raw loopback connections, each playing one kind of misbehaviour over and
// over, opened again as soon as the server answers or drops it. And a watch
// of a process's resident memory that keeps its peak.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

enum class flood_kind {
    announced_body,  // POST /api/session heads announcing 1 MiB, and no body
    full_body,       // 1 MiB bodies to GET /, GET /app.js and POST /api/session
    chunked_body,    // the same, chunked
    slow_head,       // idle connections, and heads sent a byte at a time
    mixed,           // all of the above at once
};
constexpr int kFloodKinds = 5;

const char *flood_name(flood_kind kind);

// What the server did with the flood's connections.
struct flood_tally {
    long opened = 0;
    long refused_413 = 0;
    long answered_other = 0;     // any other status
    long closed_unanswered = 0;  // dropped at the connection cap or a deadline
};

class flood {
public:
    // Starts `connections` misbehaving clients of 127.0.0.1:port on a thread.
    flood(int port, flood_kind kind, int connections);
    ~flood();
    flood(const flood &) = delete;
    flood &operator=(const flood &) = delete;

    // Closes every connection; the tally is final after it.
    void stop();
    const flood_tally &tally() const { return tally_; }

    struct raider;

private:
    int port_;
    std::vector<std::string> scripts_;  // the bytes each kind of raider sends
    std::vector<raider> raiders_;
    flood_tally tally_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    void run();
    void open(raider &r);
    void finish(raider &r);
    void on_ready(raider &r, short revents);
};

// Samples the resident memory of a process every 2 ms on a thread.
class rss_watch {
public:
    explicit rss_watch(pid_t pid);
    ~rss_watch();
    rss_watch(const rss_watch &) = delete;
    rss_watch &operator=(const rss_watch &) = delete;

    // Stops sampling: the highest VmRSS seen, in KiB.
    long peak_kib();

private:
    pid_t pid_;
    std::atomic<long> peak_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
