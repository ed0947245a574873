// tools/hexview/serve: `hexview serve`, a local web hex editor on one file,
// driven through the hx_ functions; the page it serves is in web/. Pieces
// shared by serve.cpp (start-up), serve_http.cpp (credentials, guards, assets
// and routing), serve_api.cpp (the engine routes), serve_bookmarks.cpp (the
// bookmarks kept in the user's data folder) and serve_json.cpp (bodies),
// over serve_transport.h (HTTP on the loopback). What it shares with the
// hexview command is in common/host.h.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/host.h"
#include "serve/serve_transport.h"

struct serve_options {
    std::string file;
    int port = 0;  // 0: a free one
    bool read_only = false;
    bool open_browser = false;
    bool force = false;  // Ctrl-C stops at once, unsaved edits or not
    int launch_seconds = 60;  // a printed address works once, within this time
};
int run_serve(const serve_options &o);
// Pictures of the edited content, from raw pages in bounded time (called
// under the engine lock): a 256-value histogram of a range and an entropy
// strip of the whole file.
std::string serve_histogram(const http_request &req);
std::string serve_entropy_map(const http_request &req);
// The bytes of a range for the clipboard: 1 MiB an answer, 413 beyond.
std::string serve_bytes(const http_request &req);
// Printable runs (ASCII and UTF-16LE) of a range of the edited content, a
// bounded window per request (serve_read_tools.cpp; under the engine lock).
std::string serve_strings(const http_request &req);
// Staged edits not saved yet (taken under the engine lock).
int64_t serve_unsaved_edits();
// `n` bytes of the edited content from `offset` (fewer at its end), read from
// the engine's raw pages; under the engine lock.
std::vector<uint8_t> serve_read_bytes(int64_t offset, int64_t n);

// Who made the client's end of a loopback connection (serve_peer.cpp), as
// far as the system tells: on Linux, whether it is the user who runs this
// server and the connection is still open; elsewhere unknown.
struct peer_user {
    bool known = false;      // false: the system does not say
    bool same_user = false;  // the client's end is there and made by our user (or root)
    long uid = -1;           // the client's user, or -1 when its end is gone or closed
};
peer_user loopback_peer_user(const http_request &req);

// The page sends its session token in this header; no browser adds a custom
// header on its own, and a cross-origin script needs a preflight that this
// server never grants.
inline constexpr const char *kTokenHeader = "x-hexview-token";
// The page's first request trades its address's launch token, sent here.
inline constexpr const char *kLaunchHeader = "x-hexview-launch";
// A change carries the content version the page saw (its "version"): one
// made on another file or older edits is refused.
inline constexpr const char *kVersionHeader = "x-hexview-version";

// What every request is checked against. A launch token (in a printed
// address's fragment) is good for one exchange, within `launch_seconds` of
// its printing; the session tokens it buys live in the pages' sessionStorage.
class serve_session {
public:
    std::string path;  // the file as given on the command line
    bool writable = false;
    int port = 0;
    int launch_seconds = 60;

    // Why a launch token bought nothing.
    enum class refused { none, unknown, used, expired };

    std::string new_launch();  // a fresh single-use launch token
    // A session token, or "" with the reason in `why`.
    std::string exchange(const std::string &launch, refused &why);
    bool knows(const std::string &session) const;

private:
    struct launch_token {
        std::string token;
        std::chrono::steady_clock::time_point printed;
    };
    mutable std::mutex lock_;
    std::vector<launch_token> launches_;
    std::vector<std::string> sessions_;
    // Launch tokens traded (used) or past their time (expired), to say which.
    std::vector<std::pair<std::string, refused>> spent_;
};

// A request the server refuses with `status` and a JSON {"error": message},
// and {"reason": reason} when the page acts on the kind of refusal:
// "stale" (the file or its edits changed in another tab).
struct http_error : std::runtime_error {
    int status;
    std::string reason;
    http_error(int s, const std::string &m, std::string r = "") : std::runtime_error(m), status(s), reason(std::move(r)) {}
};

// Handlers by exact path, for GET (and HEAD) and for POST.
using serve_route = std::function<void(const http_request &, http_response &)>;
struct serve_routes {
    std::map<std::string, serve_route> get, post;
};

// The API routes under /api/; each calls the engine under one lock.
void add_api_routes(serve_routes &routes, const serve_session &s);
// The file being edited now, as the page shows it: the one given on the
// command line until Ctrl+O or a save as goes on with another (takes the
// engine lock; serve_api.cpp).
std::string serve_open_path();
// GET and POST /api/bookmarks: the open file's bookmarks, kept in the user's
// data folder (serve_bookmarks.cpp). Call after add_api_routes.
void add_bookmark_routes(serve_routes &routes, const serve_session &s);

// ---- Edit tools (serve_edit_tools.cpp; undo steps in serve_api.cpp) -------
// Each is called under the engine lock.
// Stages `edits` as one undo step (one Undo removes them all, Redo stages
// them all again), all or none; answers as /api/staged. A step of several
// edits that the edit cap has no room for is refused whole (409), its
// message starting with `what` ("replacing all 12 hits").
std::string serve_stage_step(const serve_session &s, const std::vector<edit_record> &edits, const std::string &what);
// POST /api/delete {"offset","length"}: `length` bytes removed from
// `offset`, all inside the content (400 otherwise).
std::string serve_delete(const serve_session &s, const http_request &req);
// POST /api/fill {"offset","length","hex"}: the range overwritten with the
// pattern repeated, expanded here (16 MiB at most, 413 beyond).
std::string serve_fill(const serve_session &s, const http_request &req);
// POST /api/paste {"offset","hex","insert"}: the bytes inserted, or written
// over the content (what runs past its end is appended in the same step).
std::string serve_paste(const serve_session &s, const http_request &req);
// POST /api/replace {"offsets","find","hex"}: each hit at the comma-separated
// offsets, checked to hold the bytes searched for, replaced in one step.
std::string serve_replace(const serve_session &s, const http_request &req);

// Host, token, method, Origin and content-type checks, the security headers,
// JSON bodies for every error status, and the page's embedded assets.
http_app make_app(serve_session &s, const serve_routes &routes);
// Sends {"error": message} with the status.
void send_error(http_response &res, int status, const std::string &message);
// Sends the refusal, with its reason when it has one.
void send_error(http_response &res, const http_error &e);

// The page's files, built into the binary from tools/hexview/serve/web/.
struct serve_asset {
    const char *path;  // "/app.js"
    const unsigned char *data;
    std::size_t size;
};
extern const serve_asset serve_assets[];
extern const std::size_t serve_asset_count;

// ---- Long calls in the background (serve_jobs.cpp) ----------------------
// One search, compare, save or hash at a time runs on a thread of its own while
// the other routes go on; changes are refused until it ends.

// Where a long call computed by the server itself (not by the engine)
// stands: it counts its bytes here and stops soon after `cancelled` is set.
struct job_progress {
    std::atomic<int64_t> done{0}, total{0};
    std::atomic<bool> cancelled{false};
};

// A long call and the making of its answer.
struct serve_job {
    std::function<int()> call;                // the long call, made without the engine lock
    std::function<std::string(int)> finish;   // under the engine lock, given call's result: the answer's
                                              // JSON body, or an http_error
    std::shared_ptr<job_progress> progress = nullptr;  // the server's own call reports here; null: the engine's
};
// Under the engine lock: throws http_error 409 "busy: ..." while a job runs.
void refuse_during_job();
// Under the engine lock (`engine` holds it; it is released here): starts the
// job and waits a moment for its end. A job that ended answers as a route
// does; one still running answers 202 with what job_status gives.
void start_job(std::unique_lock<std::mutex> &engine, const char *op, serve_job work, http_response &res);
// {"job":N,"op":..,"state":"none"|"running"|"done"|"failed"|"cancelled",
//  "done":N,"total":N,"hits":N,"elapsed_ms":N} and, once ended, "status",
// "unseen" (true when no page had the answer yet: its tab was reloaded or
// closed) and "answer" (the start request's would-be answer). Asking keeps a
// job alive.
std::string job_status();
// Under the engine lock: the hash of a range of the edited content, as a job
// (serve_read_tools.cpp).
serve_job serve_hash(const http_request &req);
// Cancels the running job (`id` 0: whichever runs); false when it is not running.
bool cancel_job(int64_t id);
// From the main loop: repeats a cancel until the call has begun, and cancels
// a job no page asked about for a long while (never a save).
void watch_jobs();
// At shutdown: cancels the running job and waits for its end.
void end_jobs();

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
