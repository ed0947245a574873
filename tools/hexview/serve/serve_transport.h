// hexview serve: the HTTP transport on the loopback addresses. One request per
// connection, read under fixed limits and deadlines; a handler runs on a worker
// thread, never on the thread that reads and writes the sockets, so a slow
// engine call holds up no other connection.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct http_request {
    std::string method;  // as sent: "GET", "POST", ...
    std::string path;    // the target up to '?', not decoded
    std::map<std::string, std::string> query;    // decoded; the first of a repeated key
    std::map<std::string, std::string> headers;  // lower-case names; the first of a repeated name
    std::string body;
    // The connection's two ends, as numbers: who sent it is learned from them.
    std::string peer_address;  // "127.0.0.1", "::1"
    int peer_port = 0, local_port = 0;

    bool has_param(const std::string &key) const { return query.count(key) != 0; }
    std::string param(const std::string &key, const std::string &fallback = "") const {
        auto it = query.find(key);
        return it == query.end() ? fallback : it->second;
    }
    std::string header(const std::string &lower_name) const {
        auto it = headers.find(lower_name);
        return it == headers.end() ? "" : it->second;
    }
};

struct http_response {
    int status = 200;
    std::string body;
    std::string content_type = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;

    void set_content(std::string b, std::string type) {
        body = std::move(b);
        content_type = std::move(type);
    }
};

// What the transport asks of the program serving.
struct http_app {
    // Called with the head alone (no body read yet): a response refuses the
    // request, which is answered and closed without a byte of its body read.
    std::function<std::optional<http_response>(const http_request &)> check_head;
    // Called on a worker thread with the whole request.
    std::function<http_response(const http_request &)> handle;
    // The response for a request the transport itself refuses.
    std::function<http_response(int status, const std::string &message)> error;
    std::vector<std::pair<std::string, std::string>> default_headers;
};

struct http_limits {
    std::size_t head_bytes = 16 * 1024;  // request line and headers together
    std::size_t header_count = 64;
    std::size_t body_bytes = 1 << 20;  // Content-Length or chunked, after decoding
    int head_seconds = 5;              // from the accept to the end of the head
    int body_seconds = 30;             // from the end of the head to the end of the body
    std::size_t connections = 128;     // beyond it, the oldest connection still sending its head or body is dropped
    int workers = 4;
};

// The header names a request may carry once only.
extern const char *const http_single_headers[];

class http_server {
public:
    http_server(http_app app, http_limits limits = {});
    ~http_server();
    http_server(const http_server &) = delete;
    http_server &operator=(const http_server &) = delete;

    // Listens on 127.0.0.1:port, and on [::1]:port where the system has an
    // IPv6 loopback (else `note` gets one line). Port 0 picks a free port that
    // is free on both. Never shares a port (no SO_REUSEPORT). Throws
    // std::runtime_error naming the address and the system's reason.
    int listen_loopback(int port, const std::function<void(const std::string &)> &note);
    // Serves on background threads until stop().
    void start();
    void stop();

private:
    struct impl;
    std::unique_ptr<impl> d;
};
