// hexview serve: the HTTP transport, on Boost.Beast over one Asio thread.
// Every connection carries one request: its head is read under a size limit,
// a header count and a deadline, and checked before any of its body is read;
// the answer closes the connection, so no byte the client sent after it can
// ever be taken as a request. At the connection cap the oldest connection still
// sending its head or its body makes room, so idle, slow or stalled sockets
// cannot lock anyone out.
#include "serve/serve_transport.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <list>
#include <stdexcept>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

const char *const http_single_headers[] = {"host",          "origin",        "cookie",         "content-length",
                                           "content-type",  "authorization", "sec-fetch-site", "transfer-encoding",
                                           "x-hexview-token", "x-hexview-launch", "x-hexview-version", nullptr};

namespace {

constexpr std::size_t kDrainBytes = 8 << 20;  // read and dropped after an answer, at most
constexpr int kDrainSeconds = 2;
constexpr int kWriteSeconds = 30;

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX and '+' (a space, as forms and URLSearchParams write it).
std::string decode_query_part(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '+') {
            out += ' ';
        } else if (s[i] == '%' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 && hex_digit(s[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

void parse_query(std::string_view q, std::map<std::string, std::string> &out) {
    while (!q.empty()) {
        size_t amp = q.find('&');
        std::string_view pair = q.substr(0, amp);
        q = amp == std::string_view::npos ? std::string_view() : q.substr(amp + 1);
        if (pair.empty()) continue;
        size_t eq = pair.find('=');
        std::string key = decode_query_part(pair.substr(0, eq));
        std::string value = eq == std::string_view::npos ? "" : decode_query_part(pair.substr(eq + 1));
        out.emplace(std::move(key), std::move(value));
    }
}

// Digits only: no sign, list, space or hex, which parsers read differently.
bool plain_number(boost::beast::string_view text) {
    return !text.empty() && text.size() <= 18 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

struct refusal {
    int status;
    std::string message;
};

// The head as the program sees it, or why it is refused.
std::optional<refusal> convert_head(const http::request<http::string_body> &msg, const http_limits &limits,
                                    http_request &out) {
    std::size_t count = 0;
    for (const auto &field : msg) {
        if (++count > limits.header_count)
            return refusal{431, "too many header lines (at most " + std::to_string(limits.header_count) + ")"};
        auto raw_name = field.name_string();
        std::string name = lower(std::string_view(raw_name.data(), raw_name.size()));
        if (name == "content-length" && !plain_number(field.value()))
            return refusal{400, "bad request: invalid Content-Length"};
        if (!out.headers.emplace(name, std::string(field.value())).second) {
            for (const char *const *single = http_single_headers; *single; single++)
                if (name == *single) return refusal{400, "repeated header: " + std::string(raw_name)};
        }
    }
    out.method = std::string(msg.method_string());
    std::string_view target(msg.target().data(), msg.target().size());
    size_t question = target.find('?');
    out.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos) parse_query(target.substr(question + 1), out.query);
    return std::nullopt;
}

// Why a head or body could not be read, as an answer; nullopt: just close.
std::optional<refusal> read_refusal(const beast::error_code &ec, const http_limits &limits) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
        return refusal{431, "request head too large (at most " + std::to_string(limits.head_bytes) + " bytes)"};
    if (ec == http::error::body_limit)
        return refusal{413, "request too large (at most " + std::to_string(limits.body_bytes) + " bytes of body)"};
    if (ec == http::error::bad_content_length) return refusal{400, "bad request: invalid Content-Length"};
    if (ec == http::error::bad_transfer_encoding)
        return refusal{400, "bad request: invalid Transfer-Encoding (or both it and Content-Length)"};
    if (ec.category() == beast::error_code(http::error::end_of_stream).category() && ec != http::error::end_of_stream &&
        ec != http::error::partial_message)
        return refusal{400, "bad request: " + ec.message()};
    return std::nullopt;  // the peer left, a deadline passed, or the server stops
}

}  // namespace

struct http_server::impl {
    struct connection;
    http_app app;
    http_limits limits;
    std::list<connection *> live;  // oldest first; touched only on the I/O thread
    asio::thread_pool workers;
    asio::io_context io;
    std::vector<tcp::acceptor> acceptors;
    std::thread io_thread;
    bool running = false;

    impl(http_app a, http_limits l)
        : app(std::move(a)), limits(l), workers(static_cast<std::size_t>(std::max(1, l.workers))) {}

    void accept(tcp::acceptor &acceptor);
    void make_room();
};

struct http_server::impl::connection : std::enable_shared_from_this<connection> {
    // busy: handled or answered, never dropped to make room.
    enum phase_t { head, body, busy, lingering } phase = head;
    impl &server;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request_parser<http::string_body> parser;
    http_request request;
    http::response<http::string_body> response;
    std::list<connection *>::iterator where;
    bool listed = false, head_method = false;
    std::size_t drained = 0;
    std::array<char, 4096> drain_buffer{};

    connection(impl &s, tcp::socket socket)
        : server(s), stream(std::move(socket)), buffer(s.limits.head_bytes + 1024) {
        parser.header_limit(static_cast<std::uint32_t>(s.limits.head_bytes));
        parser.body_limit(s.limits.body_bytes);
    }
    ~connection() { unlist(); }

    void unlist() {
        if (listed) server.live.erase(where);
        listed = false;
    }
    void drop() {
        beast::error_code ec;
        stream.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream.close();
        unlist();
    }

    void start() {
        server.live.push_back(this);
        where = std::prev(server.live.end());
        listed = true;
        stream.expires_after(std::chrono::seconds(server.limits.head_seconds));
        http::async_read_header(stream, buffer, parser,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_head(ec); });
    }

    void note_ends() {
        beast::error_code ec;
        auto peer = stream.socket().remote_endpoint(ec);
        if (!ec) {
            request.peer_address = peer.address().to_string();
            request.peer_port = peer.port();
        }
        auto local = stream.socket().local_endpoint(ec);
        if (!ec) request.local_port = local.port();
    }

    void on_head(beast::error_code ec) {
        if (ec) return fail(ec);
        phase = busy;
        const auto &msg = parser.get();
        head_method = msg.method() == http::verb::head;
        if (auto r = convert_head(msg, server.limits, request)) return refuse(*r);
        note_ends();
        if (auto answer = server.app.check_head(request)) return answer_with(std::move(*answer));
        if (parser.content_length() && *parser.content_length() > server.limits.body_bytes)
            return refuse(*read_refusal(http::error::body_limit, server.limits));
        phase = body;
        stream.expires_after(std::chrono::seconds(server.limits.body_seconds));
        http::async_read(stream, buffer, parser,
                         [self = shared_from_this()](beast::error_code e, std::size_t) { self->on_body(e); });
    }

    void on_body(beast::error_code ec) {
        if (ec) return fail(ec);
        phase = busy;
        stream.expires_never();
        request.body = std::move(parser.get().body());
        // The handler runs on a worker; its answer comes back to this thread.
        asio::post(server.workers, [self = shared_from_this()] {
            http_response answer;
            try {
                answer = self->server.app.handle(self->request);
            } catch (const std::exception &e) {
                answer = self->server.app.error(500, e.what());
            }
            asio::post(self->stream.get_executor(),
                       [self, answer = std::move(answer)]() mutable { self->answer_with(std::move(answer)); });
        });
    }

    void fail(const beast::error_code &ec) {
        if (auto r = read_refusal(ec, server.limits)) return refuse(*r);
        drop();
    }

    void refuse(const refusal &r) { answer_with(server.app.error(r.status, r.message)); }

    void answer_with(http_response answer) {
        phase = busy;
        response = {};
        response.version(11);
        response.result(static_cast<unsigned>(answer.status));
        for (const auto &[name, value] : server.app.default_headers) response.set(name, value);
        for (const auto &[name, value] : answer.headers) response.set(name, value);
        response.set(http::field::content_type, answer.content_type);
        response.keep_alive(false);
        response.body() = std::move(answer.body);
        response.prepare_payload();
        if (head_method) response.body().clear();  // the length stays that of the GET answer
        stream.expires_after(std::chrono::seconds(kWriteSeconds));
        http::async_write(stream, response,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_written(ec); });
    }

    // The answer is out: stop sending, and read what the client still sends
    // (dropped unread) so that closing does not reset the connection before
    // the client has read the answer.
    void on_written(beast::error_code ec) {
        if (ec) return drop();
        phase = lingering;
        stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream.expires_after(std::chrono::seconds(kDrainSeconds));
        drain();
    }

    void drain() {
        stream.async_read_some(asio::buffer(drain_buffer), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            self->drained += n;
            if (ec || self->drained > kDrainBytes) return self->drop();
            self->drain();
        });
    }
};

void http_server::impl::make_room() {
    if (live.size() < limits.connections) return;
    // A body is read only after its head was let in; a stalled one still holds
    // nobody else out.
    auto oldest = std::find_if(live.begin(), live.end(), [](connection *c) { return c->phase != connection::busy; });
    if (oldest != live.end()) (*oldest)->drop();
}

void http_server::impl::accept(tcp::acceptor &acceptor) {
    acceptor.async_accept([this, &acceptor](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (ec) {
            // Out of descriptors or memory for a moment: try again shortly.
            auto timer = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(50));
            timer->async_wait([this, &acceptor, timer](beast::error_code) { accept(acceptor); });
            return;
        }
        make_room();
        if (live.size() >= limits.connections) {
            socket.close(ec);  // every place holds a request being served
        } else {
            socket.set_option(tcp::no_delay(true), ec);  // small answers go out at once
            std::make_shared<connection>(*this, std::move(socket))->start();
        }
        accept(acceptor);
    });
}

http_server::http_server(http_app app, http_limits limits) : d(std::make_unique<impl>(std::move(app), limits)) {}

http_server::~http_server() { stop(); }

namespace {

// A listening socket of our own on the address: SO_REUSEADDR only lets a
// restart take the port while old connections wait out TIME_WAIT; without
// SO_REUSEPORT nobody else can listen beside us, nor we beside anybody.
bool listen_on(asio::io_context &io, const tcp::endpoint &at, std::vector<tcp::acceptor> &out,
               beast::error_code &ec) {
    tcp::acceptor a(io);
    if (a.open(at.protocol(), ec)) return false;
    if (at.address().is_v6()) a.set_option(asio::ip::v6_only(true), ec);
    a.set_option(tcp::acceptor::reuse_address(true), ec);
    if (a.bind(at, ec) || a.listen(asio::socket_base::max_listen_connections, ec)) return false;
    out.push_back(std::move(a));
    return true;
}

bool no_ipv6_here(const beast::error_code &ec) {
    return ec == asio::error::address_family_not_supported || ec == boost::system::errc::address_not_available ||
           ec == asio::error::operation_not_supported;
}

std::string cannot_listen(const std::string &address, int port, const beast::error_code &ec) {
    std::string message = "cannot listen on " + address + " port " + std::to_string(port) + ": " + ec.message();
    if (ec == asio::error::address_in_use) message += " (another program has it; choose another --port)";
    return message;
}

}  // namespace

int http_server::listen_loopback(int port, const std::function<void(const std::string &)> &note) {
    const auto v4 = asio::ip::make_address("127.0.0.1"), v6 = asio::ip::make_address("::1");
    // A free port must be free on both addresses: a few tries find one.
    for (int attempt = 0; attempt < 20; attempt++) {
        d->acceptors.clear();
        beast::error_code ec;
        if (!listen_on(d->io, tcp::endpoint(v4, static_cast<unsigned short>(port)), d->acceptors, ec))
            throw std::runtime_error(cannot_listen("127.0.0.1", port, ec));
        int bound = d->acceptors.front().local_endpoint().port();
        if (listen_on(d->io, tcp::endpoint(v6, static_cast<unsigned short>(bound)), d->acceptors, ec)) return bound;
        if (no_ipv6_here(ec)) {
            note("no IPv6 loopback here ([::1]: " + ec.message() + "); serving on 127.0.0.1 only");
            return bound;
        }
        if (port != 0 || ec != asio::error::address_in_use) throw std::runtime_error(cannot_listen("[::1]", bound, ec));
    }
    throw std::runtime_error("cannot find a port free on both 127.0.0.1 and [::1]");
}

void http_server::start() {
    for (auto &a : d->acceptors) d->accept(a);
    d->running = true;
    d->io_thread = std::thread([this] { d->io.run(); });
}

void http_server::stop() {
    if (!d->running) return;
    d->running = false;
    d->io.stop();
    d->io_thread.join();
    d->workers.join();
}
