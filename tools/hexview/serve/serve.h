// tools/hexview/serve: `hexview serve`, a local web hex editor on one file,
// driven through the hx_ functions; the page it serves is in web/. Pieces
// shared by serve.cpp (start-up), serve_http.cpp (guards and assets),
// serve_api.cpp (the engine routes) and serve_json.cpp (bodies). What it
// shares with the hexview command is in common/host.h.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/host.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

struct serve_options {
    std::string file;
    int port = 0;  // 0: a free one
    bool read_only = false;
    bool open_browser = false;
};
int run_serve(const serve_options &o);

// What every request is checked against.
struct serve_session {
    std::string path;  // the file as given on the command line
    bool writable = false;
    std::string token;  // 256 random bits as 64 hex digits
    int port = 0;
    std::string cookie_name() const { return "hexview_" + std::to_string(port); }
};

// A request the server refuses with `status` and a JSON {"error": message}.
struct http_error : std::runtime_error {
    int status;
    http_error(int s, const std::string &m) : std::runtime_error(m), status(s) {}
};

// Host, token, method, Origin and content-type checks, the security headers,
// JSON bodies for every error status, and the page's embedded assets.
void add_guards_and_assets(httplib::Server &svr, const serve_session &s);
// The API routes under /api/; each calls the engine under one lock.
void add_api_routes(httplib::Server &svr, const serve_session &s);
// Sends {"error": message} with the status.
void send_error(httplib::Response &res, int status, const std::string &message);

// The page's files, built into the binary from tools/hexview/serve/web/.
struct serve_asset {
    const char *path;  // "/app.js"
    const unsigned char *data;
    std::size_t size;
};
extern const serve_asset serve_assets[];
extern const std::size_t serve_asset_count;

// ---- JSON ----------------------------------------------------------------

// `text` as a quoted JSON string (bytes that are not UTF-8 become U+FFFD).
std::string json_quote(std::string_view text);

// A request body: one flat JSON object of strings, numbers, true/false/null,
// each key once and listed in `allowed` (comma-separated); an empty body is an
// empty object. Throws http_error 400 on anything else.
nlohmann::json parse_body(std::string_view body, std::string_view allowed);

// Typed reads of body fields and query parameters; each throws http_error 400
// (or host_error, which the routes answer with 400) naming the field when it
// is missing or malformed.
int64_t field_offset(const nlohmann::json &f, const std::string &key);  // number or "0x.."/decimal string
std::string field_string(const nlohmann::json &f, const std::string &key);
bool field_bool(const nlohmann::json &f, const std::string &key, bool fallback);
int64_t parse_count(std::string_view text, const char *what, int64_t max);  // 0..max
