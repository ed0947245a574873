// Starts `hexview serve` as a child process and talks to it over loopback.
#pragma once

#include <httplib.h>
#include <sys/types.h>

#include <string>
#include <vector>

class serve_process {
public:
    // Runs `hexview serve <args>` and waits for the address it prints.
    serve_process(const std::string &tool, const std::vector<std::string> &args);
    ~serve_process();
    serve_process(const serve_process &) = delete;
    serve_process &operator=(const serve_process &) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    const std::string &token() const { return token_; }
    const std::string &output() const { return output_; }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Stops nothing: waits for the process to end (it ends by itself on a
    // start-up error) and gives its exit status.
    int wait_exit();
    // Ctrl-C's signal, then the exit status: 0 for a clean stop.
    int stop();

    // A client whose requests carry the token cookie.
    httplib::Client client() const;
    httplib::Headers cookie() const;
    httplib::Headers post_headers() const;  // cookie, Origin
    httplib::Result get(const std::string &path) const;
    httplib::Result post(const std::string &path, const std::string &json) const;

private:
    pid_t pid_ = -1;
    int exit_status_ = -1;
    int port_ = 0;
    std::string token_, output_;
};
