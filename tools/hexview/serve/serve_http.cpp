// hexview serve: who gets in (Host, the session token header, Origin), the
// security headers, the JSON body of every error, the page's embedded assets,
// and the routing of each request to its handler.
#include <algorithm>
#include <cctype>
#include <random>
#include <string>

#include "serve/serve.h"

namespace {

constexpr std::size_t kMaxSessions = 64;  // tabs that started from a launch address
constexpr std::size_t kMaxLaunches = 16;  // addresses printed and not used yet
constexpr std::size_t kMaxSpent = 64;     // used or expired addresses remembered, to say so

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

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

bool same_secret(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); i++) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

template <class T>
void push_bounded(std::vector<T> &list, T item, std::size_t max) {
    if (list.size() >= max) list.erase(list.begin());
    list.push_back(std::move(item));
}

// A loopback name or address with our port: DNS-rebinding pages carry their
// own host name here and are turned away.
void check_host(const http_request &req, const serve_session &s) {
    std::string host = lower(req.header("host"));
    // Built by appends: g++ 12 at -O3 warns falsely (-Wrestrict) on "x" + string.
    std::string port(1, ':');
    port += std::to_string(s.port);
    const std::string_view h = host;
    for (std::string_view name : {"127.0.0.1", "localhost", "[::1]"}) {
        if ((h.starts_with(name) && h.substr(name.size()) == port) || (s.port == 80 && h == name)) return;
    }
    throw http_error(403, "refused: the Host header must name this computer (127.0.0.1, localhost or [::1]) and port");
}

void check_token(const http_request &req, const serve_session &s) {
    std::string given = req.header(kTokenHeader);
    if (given.empty())
        throw http_error(401, "refused: no access token; open the address that hexview serve printed "
                              "(press Enter where it runs for a fresh one)");
    if (!s.knows(given)) throw http_error(403, "refused: wrong access token");
}

// Changes come only from the page itself: a POST of JSON whose Origin is the
// address it was sent to.
void check_post(const http_request &req) {
    std::string origin = req.header("origin");
    if (origin.empty() || lower(origin) != "http://" + lower(req.header("host")))
        throw http_error(403, "refused: a change must come from the page's own origin");
    std::string site = req.header("sec-fetch-site");
    if (!site.empty() && site != "same-origin") throw http_error(403, "refused: a change must come from the page itself");
    if (req.header("content-type").rfind("application/json", 0) != 0)
        throw http_error(415, "a change must be sent as application/json");
}

bool is_asset_path(const std::string &path) {
    if (path == "/") return true;
    size_t dot = path.rfind('.');
    if (path.size() < 2 || path[0] != '/' || dot == std::string::npos || dot < 2) return false;
    for (size_t i = 1; i < dot; i++) {
        auto c = static_cast<unsigned char>(path[i]);
        if (!std::isalnum(c) && c != '_' && c != '-') return false;
    }
    std::string ext = path.substr(dot);
    return ext == ".js" || ext == ".css" || ext == ".svg";
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

// The page and its files hold no byte of the open file and are the same for
// everyone: they are served without a token (a script cannot add a header to
// a <script src>); every /api/ route needs one.
void serve_asset_file(const http_request &req, http_response &res) {
    const serve_asset *a = find_asset(req.path == "/" ? "/index.html" : req.path);
    if (!a) return send_error(res, 404, "not found: " + req.path);
    res.set_content(std::string(reinterpret_cast<const char *>(a->data), a->size), content_type(a->path));
}

// Only a change sent with a session token has a body; the page's files and
// the launch exchange take none.
bool takes_body(const http_request &req) {
    return req.method == "POST" && req.path.starts_with("/api/") && req.path != "/api/session";
}

// A request that takes no body and announces one is refused before a byte of
// it is read: before its token is checked, a request holds only its head.
void check_no_body(const http_request &req) {
    if (takes_body(req)) return;
    std::string length = req.header("content-length");
    bool announced = !req.header("transfer-encoding").empty() ||
                     length.find_first_not_of('0') != std::string::npos;
    if (announced) throw http_error(413, "this request takes no body: " + req.method + " " + req.path);
}

// Checks made on the head alone, before a byte of the body is read.
void check_head(const http_request &req, const serve_session &s) {
    if (req.method != "GET" && req.method != "HEAD" && req.method != "POST")
        throw http_error(405, "method not allowed: " + req.method);
    check_host(req, s);
    check_no_body(req);
    if (req.path.rfind("/api/", 0) != 0) return;  // the page's files, or a 404
    if (req.path == "/api/session") {
        if (req.method != "POST") throw http_error(405, "method not allowed: " + req.method + " /api/session (use POST)");
        check_post(req);
        return;
    }
    check_token(req, s);
    if (req.method == "POST") check_post(req);
}

// Where the system tells who made the client's end, only the user who runs
// the server may trade a launch token: another user who read the address
// (from a browser's command line, say) gets nothing, and the token stays
// good for its owner.
void check_same_user(const http_request &req) {
    peer_user peer = loopback_peer_user(req);
    if (!peer.known || peer.same_user) return;
    throw http_error(403, peer.uid < 0 ? std::string("refused: the program that sent this is gone")
                                       : "refused: this address was opened by another user's program (user id " +
                                             std::to_string(peer.uid) + "); only the user who runs hexview serve "
                                             "can open it");
}

std::string launch_refusal(serve_session::refused why, int seconds) {
    const std::string fresh = "press Enter where hexview serve runs for a fresh one";
    switch (why) {
    case serve_session::refused::used:
        return "refused: this address was used already. If you did not open it in another tab, someone else "
               "may have: stop hexview serve (Ctrl-C) and start it again, with --open on a shared computer";
    case serve_session::refused::expired:
        return "refused: this address expired (an address works once, within " + std::to_string(seconds) +
               " seconds of being printed); " + fresh;
    default: return "refused: this address is not from this server; " + fresh;
    }
}

// The page trades the launch token of its address for a session token of its own.
void start_session(serve_session &s, const http_request &req, http_response &res) {
    check_same_user(req);
    serve_session::refused why = serve_session::refused::none;
    std::string token = s.exchange(req.header(kLaunchHeader), why);
    if (token.empty()) throw http_error(403, launch_refusal(why, s.launch_seconds));
    res.set_content("{\"token\":\"" + token + "\"}", "application/json");
}

}  // namespace

std::string serve_session::new_launch() {
    std::lock_guard<std::mutex> hold(lock_);
    std::string token = random_token();
    push_bounded(launches_, launch_token{token, std::chrono::steady_clock::now()}, kMaxLaunches);
    return token;
}

std::string serve_session::exchange(const std::string &launch, refused &why) {
    std::lock_guard<std::mutex> hold(lock_);
    why = refused::unknown;
    if (launch.empty()) return "";
    auto it = std::find_if(launches_.begin(), launches_.end(),
                           [&](const launch_token &l) { return same_secret(l.token, launch); });
    if (it == launches_.end()) {
        auto spent = std::find_if(spent_.begin(), spent_.end(), [&](const auto &t) { return same_secret(t.first, launch); });
        if (spent != spent_.end()) why = spent->second;
        return "";
    }
    bool expired = std::chrono::steady_clock::now() - it->printed > std::chrono::seconds(launch_seconds);
    launches_.erase(it);
    why = expired ? refused::expired : refused::none;
    push_bounded(spent_, std::make_pair(launch, expired ? refused::expired : refused::used), kMaxSpent);
    if (expired) return "";
    std::string token = random_token();
    push_bounded(sessions_, token, kMaxSessions);
    return token;
}

bool serve_session::knows(const std::string &session) const {
    std::lock_guard<std::mutex> hold(lock_);
    return std::any_of(sessions_.begin(), sessions_.end(), [&](const std::string &t) { return same_secret(t, session); });
}

void send_error(http_response &res, int status, const std::string &message) {
    res.status = status;
    res.headers.clear();
    res.set_content("{\"error\":" + json_quote(message) + "}", "application/json");
}

void send_error(http_response &res, const http_error &e) {
    send_error(res, e.status, e.what());
    if (!e.reason.empty()) res.body.insert(res.body.size() - 1, ",\"reason\":" + json_quote(e.reason));
}

http_app make_app(serve_session &s, const serve_routes &routes) {
    http_app app;
    app.default_headers = {
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
         "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cache-Control", "no-store"},
    };
    app.error = [](int status, const std::string &message) {
        http_response res;
        send_error(res, status, message);
        return res;
    };
    app.check_head = [&s](const http_request &req) -> std::optional<http_response> {
        try {
            check_head(req, s);
        } catch (const http_error &e) {
            http_response res;
            send_error(res, e);
            return res;
        }
        return std::nullopt;
    };
    app.handle = [&s, &routes](const http_request &req) {
        http_response res;
        try {
            bool get = req.method != "POST";
            const auto &same = get ? routes.get : routes.post;
            const auto &other = get ? routes.post : routes.get;
            if (req.path == "/api/session" && !get) {
                start_session(s, req, res);
            } else if (auto it = same.find(req.path); it != same.end()) {
                it->second(req, res);
            } else if (other.count(req.path)) {
                const char *allowed = get ? "POST" : "GET";
                send_error(res, 405, "method not allowed: " + req.method + " " + req.path + " (use " + allowed + ")");
                res.headers.emplace_back("Allow", allowed);
            } else if (get && is_asset_path(req.path)) {
                serve_asset_file(req, res);
            } else {
                send_error(res, 404, "not found");
            }
        } catch (const http_error &e) {
            send_error(res, e);
        }
        return res;
    };
    return app;
}
