// Starts `hexview serve` as a child process and talks to it over loopback.
#pragma once

#include <httplib.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// The loopback address 127.0.0.1:port, or [::1]:port, in `a`; gives its length.
socklen_t loopback_address(bool ipv6, int port, sockaddr_storage &a);
// A TCP connection to 127.0.0.1:port (or [::1]:port), or -1.
int connect_loopback(int port, bool ipv6 = false);
// Sends `bytes` on a new connection and reads until the server closes it or
// `seconds` pass: everything the server answered.
std::string raw_exchange(int port, const std::string &bytes, int seconds = 10);
// The resident memory of a process in KiB (VmRSS), or -1.
long resident_kib(pid_t pid);

class serve_process {
public:
    // Runs `hexview serve <args>` (through `wrapper` when given, e.g. another
    // network namespace), waits for the launch address it prints and trades
    // its launch token for a session token, as the page does.
    serve_process(const std::string &tool, const std::vector<std::string> &args,
                  const std::vector<std::string> &wrapper = {});
    ~serve_process();
    serve_process(const serve_process &) = delete;
    serve_process &operator=(const serve_process &) = delete;

    bool started() const { return port_ > 0 && !token_.empty(); }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &token() const { return token_; }    // the session token
    const std::string &launch() const { return launch_; }  // the printed launch token, used up
    std::string output() const;                            // all it printed so far
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Presses Enter on its standard input and gives the launch token of the
    // fresh address it prints ("" when none comes).
    std::string fresh_launch();
    // Trades a launch token for a session token: the answer as it came.
    httplib::Result exchange(const std::string &launch) const;
    // Stops nothing: waits for the process to end (it ends by itself on a
    // start-up error) and gives its exit status.
    int wait_exit();
    // Ctrl-C's signal, then the exit status: 0 for a clean stop.
    int stop();

    httplib::Client client() const;
    httplib::Headers auth() const;          // the session token header
    httplib::Headers post_headers() const;  // the token, Origin
    httplib::Result get(const std::string &path) const;
    httplib::Result post(const std::string &path, const std::string &json) const;
    // The status and answer of the job running (or last run), once it ends.
    std::pair<int, std::string> job_end() const;

private:
    pid_t pid_ = -1;
    int exit_status_ = -1;
    int port_ = 0;
    int log_ = -1, input_ = -1;
    std::string token_, launch_;
    // The launch token of the `nth` address line printed, waiting up to `seconds`.
    std::string launch_line(size_t nth, int seconds);
};
