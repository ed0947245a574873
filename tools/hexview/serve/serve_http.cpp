// hexview serve: who gets in (Host, token, Origin), the security headers, the
// JSON body of every error status, and the page's embedded assets.
#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "serve/serve.h"

namespace {

using httplib::Request;
using httplib::Response;
using handled = httplib::Server::HandlerResponse;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A loopback name or address with our port: DNS-rebinding pages carry their
// own host name here and are turned away.
void check_host(const Request &req, const serve_session &s) {
    std::string host = lower(req.get_header_value("Host"));
    // Built by appends: g++ 12 at -O3 warns falsely (-Wrestrict) on "x" + string.
    std::string port(1, ':');
    port += std::to_string(s.port);
    const std::string_view h = host;
    for (std::string_view name : {"127.0.0.1", "localhost", "[::1]"}) {
        if ((h.starts_with(name) && h.substr(name.size()) == port) || (s.port == 80 && h == name)) return;
    }
    throw http_error(403, "refused: the Host header must name this computer (127.0.0.1, localhost or [::1]) and port");
}

bool same_secret(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); i++) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string cookie_value(const Request &req, const std::string &name) {
    std::string cookies = req.get_header_value("Cookie");
    size_t at = 0;
    while (at < cookies.size()) {
        size_t end = cookies.find(';', at);
        if (end == std::string::npos) end = cookies.size();
        std::string pair = cookies.substr(at, end - at);
        size_t first = pair.find_first_not_of(' ');
        if (first != std::string::npos) pair = pair.substr(first);
        if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
        at = end + 1;
    }
    return "";
}

void check_token(const Request &req, const serve_session &s) {
    std::string given = req.has_param("token") ? req.get_param_value("token") : cookie_value(req, s.cookie_name());
    if (given.empty()) throw http_error(401, "refused: no access token; open the address that hexview serve printed");
    if (!same_secret(given, s.token)) throw http_error(403, "refused: wrong access token");
}

// Changes come only from the page itself: a POST of JSON whose Origin is the
// address it was sent to.
void check_post(const Request &req) {
    std::string origin = req.get_header_value("Origin");
    if (origin.empty() || lower(origin) != "http://" + lower(req.get_header_value("Host")))
        throw http_error(403, "refused: a change must come from the page's own origin");
    std::string site = req.get_header_value("Sec-Fetch-Site");
    if (!site.empty() && site != "same-origin") throw http_error(403, "refused: a change must come from the page itself");
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
        throw http_error(415, "a change must be sent as application/json");
}

const char *content_type(const std::string &path) {
    auto ends = [&](const char *ext) {
        std::string e(ext);
        return path.size() >= e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

const serve_asset *find_asset(const std::string &path) {
    for (size_t i = 0; i < serve_asset_count; i++)
        if (path == serve_assets[i].path) return &serve_assets[i];
    return nullptr;
}

const char *status_text(int status) {
    switch (status) {
    case 400: return "bad request";
    case 401: return "refused: no access token";
    case 403: return "refused";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 413: return "request too large";
    case 415: return "unsupported content type";
    default: return "request failed";
    }
}

}  // namespace

void send_error(Response &res, int status, const std::string &message) {
    res.status = status;
    res.set_content("{\"error\":" + json_quote(message) + "}", "application/json");
}

void add_guards_and_assets(httplib::Server &svr, const serve_session &s) {
    svr.set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
         "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cache-Control", "no-store"},
    });
    svr.set_payload_max_length(1 << 20);
    svr.set_keep_alive_max_count(1000);
    svr.set_tcp_nodelay(true);  // small answers go out at once, not after a delayed ACK
    // Idle connections end soon, so stopping the server (which waits for them) is quick.
    svr.set_keep_alive_timeout(1);

    svr.set_pre_routing_handler([&s](const Request &req, Response &res) -> handled {
        try {
            check_host(req, s);
            check_token(req, s);
            if (req.method == "POST") check_post(req);
            else if (req.method != "GET" && req.method != "HEAD")
                throw http_error(405, "method not allowed: " + req.method);
        } catch (const http_error &e) {
            send_error(res, e.status, e.what());
            return handled::Handled;
        }
        return handled::Unhandled;
    });

    // Statuses set without a body (unknown route, body too large) get a JSON one.
    svr.set_error_handler(httplib::Server::Handler([](const Request &, Response &res) {
        if (res.body.empty()) send_error(res, res.status, status_text(res.status));
    }));

    // The first visit carries the token in the address: keep it in a cookie
    // only this site's own requests send, and drop it from the address bar.
    svr.Get("/", [&s](const Request &req, Response &res) {
        if (req.has_param("token")) {
            res.set_header("Set-Cookie", s.cookie_name() + "=" + s.token + "; Path=/; HttpOnly; SameSite=Strict");
            res.set_redirect("/", 303);
            return;
        }
        const serve_asset *page = find_asset("/index.html");
        res.set_content(reinterpret_cast<const char *>(page->data), page->size, content_type(page->path));
    });

    svr.Get("/[A-Za-z0-9_-]+\\.(js|css|svg)", [](const Request &req, Response &res) {
        const serve_asset *a = find_asset(req.path);
        if (!a) return send_error(res, 404, "not found: " + req.path);
        res.set_content(reinterpret_cast<const char *>(a->data), a->size, content_type(a->path));
    });
}
