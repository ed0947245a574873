// hexview serve: the API routes. Each runs its engine calls under one lock
// (the engine has one open file and process-wide tables) and copies every
// result before the lock is released; the engine's JSON is passed through.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "quillmar_hexview.h"
#include "serve/serve.h"

namespace {

using Request = http_request;
using Response = http_response;
namespace fs = std::filesystem;

constexpr int64_t kMaxListed = 1000;  // items per hits/runs request

std::mutex engine_lock;

// A staged edit as the server keeps it for undo and redo: its bytes once,
// as bytes (a 16 MiB fill holds 16 MiB here, not 48 MiB of hex text).
struct kept_edit {
    edit_record::kind_t kind = edit_record::write;
    int64_t offset = 0;
    std::string bytes;   // write, insert
    int64_t length = 0;  // erase
};

// The edits staged through this server, in order, with their whole bytes,
// and the undo steps they make: a step is one edit, or a group staged at once
// (a replace-all) that one Undo removes whole. Undo discards and stages the
// rest again; Redo stages the last undone step again.
std::vector<kept_edit> applied;
std::vector<size_t> steps;                   // edits per undo step, summing to applied.size()
std::vector<std::vector<kept_edit>> undone;  // undone steps, the last undone last
// Goes up with every change of the edited content, so the page knows which
// rows it fetched already hold an edit.
int64_t version = 0;
// The file being edited: the one given on the command line until a save as
// goes on with the new file. Its size as opened or last saved is the size of
// what a compare reads.
std::string open_path;
int64_t saved_size = 0;
// Whether the open file was opened for writing: a read-write server opens a
// file it may only read read-only, as it does at the start.
bool file_writable = false;
// After a save that failed while it rewrote the file in place, the file may
// be partly written, and the engine holds the only whole content: in a copy
// beside the file (its path) or in memory ("memory"). Until a save succeeds,
// nothing that would drop that content is done.
std::string at_risk;

// The engine names a system error "win error N" (errno on POSIX): the page
// gets the system's own words for it.
std::string in_system_words(std::string message) {
    static const std::regex code("win error ([0-9]{1,9})");
    std::smatch m;
    std::string out;
    while (std::regex_search(message, m, code)) {
        out += m.prefix().str() + system_message(std::stoi(m[1]));
        message = m.suffix().str();
    }
    return out + message;
}

// A call refused because a long call runs is a conflict (409), whatever the route.
[[noreturn]] void engine_refused(int status = 400) {
    std::string message = hx_last_error();
    throw http_error(message.starts_with("busy:") ? 409 : status, in_system_words(message));
}

// The bytes of hex text the engine accepted: its digits in pairs, whatever
// separates them.
std::string bytes_of(std::string_view hex) {
    std::string out;
    out.reserve(hex.size() / 2);
    int high = -1;
    for (char c : hex) {
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                : std::isxdigit(static_cast<unsigned char>(c)) ? (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10)
                                                                : -1;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>(high << 4 | v);
            high = -1;
        }
    }
    return out;
}

kept_edit keep(const edit_record &e) {
    return {e.kind, e.offset, e.kind == edit_record::erase ? std::string() : bytes_of(e.hex), e.length};
}

// Stages a kept edit; its hex text lives for the call only.
int stage_kept(const kept_edit &e) {
    if (e.kind == edit_record::erase) return hx_delete(e.offset, e.length);
    static const char digits[] = "0123456789abcdef";
    std::string hex(2 * e.bytes.size(), '0');
    for (size_t i = 0; i < e.bytes.size(); i++) {
        auto b = static_cast<unsigned char>(e.bytes[i]);
        hex[2 * i] = digits[b >> 4];
        hex[2 * i + 1] = digits[b & 0xf];
    }
    return e.kind == edit_record::write ? hx_write(hex.c_str(), e.offset) : hx_insert(hex.c_str(), e.offset);
}

void refuse_while_at_risk();

// The one place that drops the staged edits and stages them again: the
// first `count` of `applied`, then `more`. It refuses while a failed save
// left the file partly written, whichever route asks. On a refusal of the
// engine, `applied` is staged again as it was and the message is thrown.
void restage(size_t count, const std::vector<kept_edit> &more = {}) {
    refuse_while_at_risk();
    if (hx_discard() != 0) engine_refused(409);
    auto stage_or_undo = [](const kept_edit &e) {
        if (stage_kept(e) == 0) return;
        std::string message = in_system_words(hx_last_error());
        hx_discard();
        for (const kept_edit &f : applied) stage_kept(f);
        throw http_error(400, message);
    };
    for (size_t i = 0; i < count; i++) stage_or_undo(applied[i]);
    for (const kept_edit &e : more) stage_or_undo(e);
}

std::string staged_state() {
    std::string staged = hx_staged_json();
    if (staged.empty()) engine_refused(500);
    return "{\"staged\":" + staged + ",\"size\":" + std::to_string(hx_file_size()) +
           ",\"undo\":" + std::to_string(steps.size()) + ",\"redo\":" + std::to_string(undone.size()) +
           ",\"version\":" + std::to_string(version) + ",\"path\":" + json_quote(open_path) +
           (at_risk.empty() ? "" : ",\"at_risk\":" + json_quote(at_risk)) + "}";
}

// A failed save's message tells where the whole content is when the file
// itself may be partly written.
void note_failed_save(const std::string &message) {
    const std::string beside = " - the content is whole in ";
    if (size_t at = message.rfind(beside); at != std::string::npos)
        at_risk = message.substr(at + beside.size());
    else if (message.find(" - the content is whole only in memory") != std::string::npos)
        at_risk = "memory";
}

// Undo, redo and discard start again from the file, which may be partly
// written: they wait until the content is saved somewhere whole.
void refuse_while_at_risk() {
    if (at_risk.empty()) return;
    throw http_error(409, "the last save failed part-way and " + open_path +
                              " may be partly written; the edited content is whole only " +
                              (at_risk == "memory" ? "in memory" : "in " + at_risk) +
                              " - save a copy (Save as) first");
}

// The answer to a change of the staged edits: the state at a new version.
std::string changed_state() {
    version++;
    return staged_state();
}

void require_writable(const serve_session &) {
    if (!file_writable) throw http_error(409, "the file is open read-only");
}

// A change names the version of the content it was made on, when the page
// sends it: one made on another file or older edits (another tab's change
// came between) is refused. The version goes up with every change of the
// edited content, opening another file included, so it names both.
void check_in_step(const Request &req) {
    std::string seen = req.header(kVersionHeader);
    if (!seen.empty() && seen != std::to_string(version))
        throw http_error(409, "the file or its edits changed in another tab", "stale");
}

// A path from the page: relative ones count from the open file's folder.
std::string resolve_path(const serve_session &s, const std::string &path) {
    if (path.empty()) throw http_error(400, "missing field: path");
    fs::path p(path);
    (void)s;
    if (p.is_relative()) p = fs::absolute(open_path).parent_path() / p;
    return p.lexically_normal().string();
}

std::string query(const Request &req, const char *key, const char *fallback) {
    return req.param(key, fallback);
}

// The engine escapes context text for JSON; never end on half an escape.
std::string whole_escapes(std::string text) {
    size_t slashes = 0;
    while (slashes < text.size() && text[text.size() - 1 - slashes] == '\\') slashes++;
    if (slashes % 2) text.pop_back();
    return text;
}

// A window [from, from+count) of a stored list, as JSON objects built by `item`.
std::string listing(const Request &req, int64_t stored, const std::function<std::string(int)> &item) {
    int64_t from = parse_count(query(req, "from", "0"), "from", INT32_MAX);
    int64_t count = parse_count(query(req, "count", "100"), "count", kMaxListed);
    std::string items = "[";
    for (int64_t i = from; i < std::min(stored, from + count); i++)
        items += (i > from ? ", " : "") + item(static_cast<int>(i));
    return ",\"from\":" + std::to_string(from) + ",\"items\":" + items + "]}";
}

using api_handler = std::function<std::string(const Request &)>;
// Checks a long call's request under the engine lock and gives the job to run.
using job_handler = std::function<serve_job(const Request &)>;

// What a route is, for the guards that run before its handler.
enum route_flags : unsigned {
    route_read = 0,
    route_change = 1,   // refused while a long call runs
    route_in_step = 2,  // made on the version the page saw (check_in_step)
};

// Runs the handler under the engine lock; refusals become JSON errors. The
// guards come from the route's flags.
serve_route locked(api_handler h, unsigned flags) {
    return [h, flags](const Request &req, Response &res) {
        try {
            std::string body;
            {
                std::lock_guard<std::mutex> hold(engine_lock);
                if (flags & route_change) refuse_during_job();
                if (flags & route_in_step) check_in_step(req);
                body = h(req);
            }
            res.set_content(body, "application/json");
        } catch (const http_error &e) {
            send_error(res, e);
        } catch (const host_error &e) {
            send_error(res, 400, e.what());
        }
    };
}

// Starts a long call in the background; see start_job.
serve_route in_background(const char *op, job_handler h, unsigned flags) {
    return [op, h, flags](const Request &req, Response &res) {
        try {
            std::unique_lock<std::mutex> hold(engine_lock);
            refuse_during_job();
            if (flags & route_in_step) check_in_step(req);
            start_job(hold, op, h(req), res);
        } catch (const http_error &e) {
            send_error(res, e);
        } catch (const host_error &e) {
            send_error(res, 400, e.what());
        }
    };
}

// The engine's fixed table sizes, so the page checks and shows them without copies.
std::string limits() {
    return "{\"max_pattern_bytes\":" + std::to_string(HX_MAX_PATTERN_BYTES) +
           ",\"max_stored_hits\":" + std::to_string(HX_MAX_STORED_HITS) +
           ",\"max_edits\":" + std::to_string(HX_MAX_EDITS) + ",\"max_runs\":" + std::to_string(HX_MAX_RUNS) +
           ",\"run_bytes\":" + std::to_string(HX_RUN_BYTES) +
           ",\"max_staged_bytes\":" + std::to_string(HX_MAX_STAGED_BYTES) + "}";
}

std::string info(const serve_session &s) {
    std::string info = hx_info_json();
    if (info.empty()) engine_refused(500);
    (void)s;
    return "{\"info\":" + info + ",\"size\":" + std::to_string(hx_file_size()) + ",\"path\":" + json_quote(open_path) +
           ",\"writable\":" + (file_writable ? "true" : "false") + ",\"version\":" + std::to_string(version) +
           ",\"undo\":" + std::to_string(steps.size()) +
           ",\"redo\":" + std::to_string(undone.size()) + ",\"limits\":" + limits() + "}";
}

std::string page(const Request &req) {
    int64_t offset = parse_offset(query(req, "offset", "0"), "offset");
    int64_t rows = parse_count(query(req, "rows", "64"), "rows", 1000);
    if (rows < 1) throw http_error(400, "rows must be 1 to 1000");
    std::string mode = query(req, "mode", "hex");
    if (mode != "hex" && mode != "raw") throw http_error(400, "unknown mode: " + mode + " (hex|raw)");
    std::string list = hx_page(offset, static_cast<int32_t>(rows), mode == "raw" ? "raw" : nullptr);
    if (list.empty()) engine_refused(500);
    return "{\"offset\":" + std::to_string(offset) + ",\"size\":" + std::to_string(hx_file_size()) +
           ",\"rows\":" + list + ",\"version\":" + std::to_string(version) + "}";
}

// Stages `edits` after the applied ones, all or none: on a refusal the ones
// it staged are dropped again and the engine's message is thrown.
// A step of several edits, should one be refused part-way, drops the ones
// before it by restaging: while the content is at risk that cannot be done,
// so such a step waits for a save.
template <class Edit, class Stage>
void stage_all(const std::vector<Edit> &edits, Stage stage) {
    if (edits.size() > 1) refuse_while_at_risk();
    for (size_t i = 0; i < edits.size(); i++) {
        if (stage(edits[i]) == 0) continue;
        std::string message = hx_last_error();
        if (i > 0) restage(applied.size());
        throw http_error(message.starts_with("busy:") ? 409 : 400, in_system_words(message));
    }
}

void clear_history() {
    applied.clear();
    steps.clear();
    undone.clear();
}

std::string stage_new(const serve_session &s, const edit_record &e) { return serve_stage_step(s, {e}, "the edit"); }

int64_t hex_bytes(const std::string &hex) {
    int64_t digits = 0;
    for (char c : hex)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits++;
    return digits / 2;
}

// Hex text as the engine takes it for an edit: digit pairs, separated or not
// by space, tab, comma or colon. A joined typed run is staged from the bytes
// the server keeps, so its new text is checked here first.
void check_edit_hex(const std::string &hex) {
    int64_t digits = 0;
    for (char c : hex) {
        if (std::isxdigit(static_cast<unsigned char>(c))) digits++;
        else if (c != ' ' && c != '\t' && c != ',' && c != ':') digits = -1;
        if (digits < 0) break;
    }
    if (digits <= 0 || digits % 2) throw http_error(400, "invalid hex bytes: " + hex);
}

// Typed bytes that go on from the end of the last staged edit of the same
// kind join it, so a typed run is one edit (and one undo step): the list is
// staged again with the longer edit. Anything else is staged as a new edit.
std::string stage_typed(const serve_session &s, const edit_record &e) {
    require_writable(s);
    if (steps.empty() || steps.back() != 1 || applied.back().kind != e.kind ||
        applied.back().offset + static_cast<int64_t>(applied.back().bytes.size()) != e.offset)
        return stage_new(s, e);
    check_edit_hex(e.hex);
    kept_edit joined = applied.back();
    joined.bytes += bytes_of(e.hex);
    restage(applied.size() - 1, {joined});
    applied.back() = std::move(joined);
    undone.clear();
    return changed_state();
}

// The engine lands an insert past the end at the end and drops the bytes of
// a write that fall past it: refused, so what is staged is what was asked.
// The size is exact, since no staged delete reaches past the end.
void check_in_content(const edit_record &e) {
    int64_t size = hx_file_size();
    if (e.kind == edit_record::insert && e.offset > size)
        throw http_error(400, "offset " + std::to_string(e.offset) + " is past the end of the content (" +
                                  std::to_string(size) + " bytes)");
    if (e.kind == edit_record::write && e.offset >= 0 && hex_bytes(e.hex) > size - e.offset)
        throw http_error(400, "the write runs past the end of the content (" + std::to_string(size) +
                                  " bytes): bytes after the last one are inserted");
}

std::string stage_bytes(const serve_session &s, const Request &req, edit_record::kind_t kind) {
    nlohmann::json f = parse_body(req.body, "offset,hex,merge");
    edit_record e{kind, field_offset(f, "offset"), field_string(f, "hex"), 0};
    check_in_content(e);
    return field_bool(f, "merge", false) ? stage_typed(s, e) : stage_new(s, e);
}

std::string undo(const serve_session &s) {
    require_writable(s);
    refuse_while_at_risk();
    if (steps.empty()) throw http_error(409, "nothing to undo");
    size_t kept = applied.size() - steps.back();
    restage(kept);
    undone.emplace_back(std::make_move_iterator(applied.begin() + static_cast<std::ptrdiff_t>(kept)),
                        std::make_move_iterator(applied.end()));
    applied.resize(kept);
    steps.pop_back();
    return changed_state();
}

std::string redo(const serve_session &s) {
    require_writable(s);
    refuse_while_at_risk();
    if (undone.empty()) throw http_error(409, "nothing to redo");
    stage_all(undone.back(), stage_kept);
    steps.push_back(undone.back().size());
    applied.insert(applied.end(), std::make_move_iterator(undone.back().begin()),
                   std::make_move_iterator(undone.back().end()));
    undone.pop_back();
    return changed_state();
}

serve_job save_in_place(const serve_session &s, const Request &req) {
    nlohmann::json f = parse_body(req.body, "confirm");
    require_writable(s);
    if (field_string(f, "confirm") != open_path)
        throw http_error(400, "an in-place save must be confirmed with the file's path: " + open_path);
    auto finish = [](int rc) {
        if (rc != 0) {
            note_failed_save(hx_last_error());
            engine_refused();
        }
        at_risk.clear();
        saved_size = hx_file_size();
        clear_history();
        return changed_state();
    };
    return {[] { return hx_save(nullptr); }, finish};
}

// After a save as, editing goes on in the new file, as in any editor: the
// next Save writes there, never into the file it was copied from. The copy
// holds every staged edit, so nothing is lost; should it not open, the
// original stays open with its edits and the answer says so.
void continue_on(const std::string &target) {
    if (hx_open_rw(target.c_str()) == 0) {
        open_path = target;
        saved_size = hx_file_size();
        return;
    }
    std::string message = hx_last_error();
    if (hx_open_rw(open_path.c_str()) != 0)
        throw http_error(500, "saved " + target + ", but neither it nor " + open_path + " opens again: " + message);
    restage(applied.size());
    throw http_error(500, "saved " + target + ", but it does not open to go on editing it (" + message +
                              "); still editing " + open_path + " with its edits");
}

// A save as after a save that failed part-way: the copy now holds the whole
// content, and the file open may be partly written, so editing goes on in
// the copy or nowhere. Should the copy not open, nothing is staged again over
// the partly written file: the answer says to open the copy.
void go_on_from_rescue(const std::string &target) {
    if (hx_open_rw(target.c_str()) == 0) {
        open_path = target;
        saved_size = hx_file_size();
        at_risk.clear();
        return;
    }
    std::string message = in_system_words(hx_last_error());
    at_risk = target;
    clear_history();
    version++;
    throw http_error(500, "saved " + target + ", which holds the whole edited content, but it does not open to go "
                          "on editing it (" + message + "); " + open_path + " may be partly written - open " + target);
}

// A save-as target is a plain file or nothing yet: a pipe or a device would
// take bytes before a failure could be told, and a folder is no file.
void check_target(const std::string &target) {
    std::error_code ec;
    auto status = fs::status(target, ec);
    if (fs::is_directory(status)) throw http_error(400, "is a folder: " + target);
    if (fs::exists(status) && !fs::is_regular_file(status))
        throw http_error(400, "not a plain file (a pipe, device or socket): " + target);
}

serve_job save_as(const serve_session &s, const Request &req) {
    nlohmann::json f = parse_body(req.body, "path,overwrite");
    require_writable(s);
    std::string target = resolve_path(s, field_string(f, "path"));
    check_target(target);
    std::error_code ec;
    if (fs::exists(target, ec) && fs::equivalent(target, open_path, ec))
        throw http_error(400, "that is the open file; use Save to write it in place");
    if (fs::exists(target, ec) && !field_bool(f, "overwrite", false))
        throw http_error(409, "the file exists: " + target);
    auto finish = [target](int rc) {
        if (rc != 0) engine_refused();
        if (!at_risk.empty()) {
            go_on_from_rescue(target);
        } else {
            continue_on(target);
        }
        clear_history();
        std::string state = changed_state();
        return state.substr(0, state.size() - 1) + ",\"saved\":" + json_quote(target) + "}";
    };
    return {[target] { return hx_save(target.c_str()); }, finish};
}

// Opens `path` read-write when the server may write and the file lets it,
// else read-only, as at the start (`message` then says why). A file that
// does not open at all leaves `message` starting with "!".
bool open_as_allowed(const serve_session &s, const std::string &path, std::string &message) {
    if (s.writable) {
        if (hx_open_rw(path.c_str()) == 0) {
            message = in_system_words(hx_last_error());
            return true;
        }
        std::string why = in_system_words(hx_last_error());
        if (hx_open(path.c_str()) == 0) {
            message = path + " cannot be written (" + why + "); opened read-only";
            return false;
        }
    } else if (hx_open(path.c_str()) == 0) {
        message = in_system_words(hx_last_error());
        return false;
    }
    message = "!" + in_system_words(hx_last_error());
    return false;
}

// Another file, opened in this server as the first was (read-write or
// read-only): a plain file that exists, since an open never makes one. Edits
// not saved are dropped only when the page confirmed it, and never while a
// failed save left the only whole content in the engine. When the file does
// not open, the one open before opens again with its edits.
std::string open_other(const serve_session &s, const Request &req) {
    nlohmann::json f = parse_body(req.body, "path,discard");
    refuse_while_at_risk();
    std::string target = resolve_path(s, field_string(f, "path"));
    check_target(target);
    std::error_code ec;
    if (!fs::exists(target, ec)) throw http_error(404, "no such file: " + target);
    if (!applied.empty() && !field_bool(f, "discard", false))
        throw http_error(409, "unsaved edits: " + std::to_string(applied.size()) +
                                  " staged edit(s) would be dropped - save them, or confirm with \"discard\"");
    bool was_writable = file_writable;
    std::string message;
    bool writable = open_as_allowed(s, target, message);
    if (message.starts_with("!")) {
        message.erase(0, 1);
        if ((was_writable ? hx_open_rw(open_path.c_str()) : hx_open(open_path.c_str())) != 0)
            throw http_error(500, "neither " + target + " nor " + open_path + " opens: " + message);
        restage(applied.size());
        throw http_error(400, message);
    }
    file_writable = writable;
    open_path = target;
    saved_size = hx_file_size();
    at_risk.clear();
    clear_history();
    version++;
    std::string answer = info(s);
    return answer.substr(0, answer.size() - 1) + ",\"notice\":" + json_quote(message) + "}";
}

// The plain files in the open file's folder, by name, for the page to offer.
std::string folder_files(const Request &) {
    constexpr size_t kMaxNames = 1000;
    fs::path folder = fs::absolute(open_path).parent_path();
    std::vector<std::string> names;
    std::error_code ec;
    bool more = false;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        if (!it->is_regular_file(kind)) continue;
        if (names.size() == kMaxNames) {
            more = true;
            break;
        }
        names.push_back(it->path().filename().string());
    }
    if (ec) throw http_error(400, "cannot list " + folder.string() + ": " + ec.message());
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string &n : names) {
        if (!list.empty()) list += ',';
        list += json_quote(n);
    }
    return "{\"folder\":" + json_quote(folder.string()) + ",\"files\":[" + list + "],\"more\":" +
           (more ? "true" : "false") + "}";
}

// Bytes the engine searched for: a hex item (a byte or "??") is one.
// Called after the engine accepted the pattern.
int64_t pattern_length(const std::string &mode, const std::string &pattern) {
    if (mode != "hex") return static_cast<int64_t>(pattern.size());
    int64_t digits = 0;
    for (char c : pattern)
        if (c != ' ' && c != '\t' && c != ',' && c != ':') digits++;
    return digits / 2;
}

serve_job search(const Request &req) {
    nlohmann::json f = parse_body(req.body, "mode,pattern,start");
    std::string mode = field_string(f, "mode"), pattern = field_string(f, "pattern");
    // UTF-16LE is encoded here from the text as sent, non-ASCII included.
    if (mode == "utf16") {
        mode = "hex";
        pattern = utf16le_hex(pattern);
    }
    int64_t start = f.contains("start") ? field_offset(f, "start") : 0;
    auto finish = [length = pattern_length(mode, pattern)](int rc) {
        if (rc != 0) engine_refused();
        int count = hx_search_count();
        return "{\"count\":" + std::to_string(count) +
               ",\"stored\":" + std::to_string(std::min(count, HX_MAX_STORED_HITS)) +
               ",\"last\":" + std::to_string(hx_search_last()) + ",\"length\":" + std::to_string(length) + "}";
    };
    return {[mode, pattern, start] { return hx_search(mode.c_str(), pattern.c_str(), start); }, finish};
}

std::string hits(const Request &req) {
    int count = hx_search_count();
    if (count < 0) engine_refused(500);
    int stored = std::min(count, HX_MAX_STORED_HITS);
    auto item = [](int i) {
        std::string off = hx_search_field(i, "offset");
        std::string hex = hx_search_field(i, "context_hex");
        std::string ascii = whole_escapes(hx_search_field(i, "context_ascii"));
        return "{\"offset\":\"" + off + "\",\"context_hex\":\"" + hex + "\",\"context_ascii\":\"" + ascii + "\"}";
    };
    return "{\"count\":" + std::to_string(count) + ",\"stored\":" + std::to_string(stored) + listing(req, stored, item);
}

std::string compared(const std::string &other, int rc) {
    if (rc != 0) engine_refused();
    int count = hx_compare_count();
    // The open file's size is that of the file as opened or saved, which the
    // engine compared; a size that cannot be read is said, never made up.
    int64_t size = saved_size;
    std::error_code ec;
    auto other_size = fs::file_size(other, ec);
    if (ec) throw http_error(409, "compared, but the size of " + other + " cannot be read: " + ec.message());
    return "{\"count\":" + std::to_string(count) + ",\"capped\":" + (count >= HX_MAX_RUNS ? "true" : "false") +
           ",\"size\":" + std::to_string(size) + ",\"other_size\":" + std::to_string(other_size) +
           ",\"other\":" + json_quote(other) + "}";
}

serve_job compare(const serve_session &s, const Request &req) {
    nlohmann::json f = parse_body(req.body, "path");
    std::string other = resolve_path(s, field_string(f, "path"));
    return {[other] { return hx_compare(other.c_str()); }, [other](int rc) { return compared(other, rc); }};
}

std::string runs(const Request &req) {
    int count = hx_compare_count();
    if (count < 0) engine_refused(500);
    auto item = [](int i) {
        std::string off = hx_compare_field(i, "offset");
        std::string mine = hx_compare_field(i, "this_hex");
        std::string theirs = hx_compare_field(i, "other_hex");
        return "{\"offset\":\"" + off + "\",\"this_hex\":\"" + mine + "\",\"other_hex\":\"" + theirs + "\"}";
    };
    return "{\"count\":" + std::to_string(count) + ",\"capped\":" + (count >= HX_MAX_RUNS ? "true" : "false") +
           listing(req, count, item);
}

std::string entropy(const Request &) {
    std::string e = hx_entropy_json();
    if (e.empty()) engine_refused(500);
    return e;
}

}  // namespace

std::string serve_stage_step(const serve_session &s, const std::vector<edit_record> &edits, const std::string &what) {
    require_writable(s);
    size_t room = HX_MAX_EDITS - std::min<size_t>(applied.size(), HX_MAX_EDITS);
    if (edits.size() > 1 && edits.size() > room)
        throw http_error(409, what + " takes " + std::to_string(edits.size()) + " staged edits, and " +
                                  std::to_string(applied.size()) + " of the cap of " + std::to_string(HX_MAX_EDITS) +
                                  " are staged: nothing was staged (save first, or do less at once)");
    stage_all(edits, stage_edit);
    for (const edit_record &e : edits) applied.push_back(keep(e));
    steps.push_back(edits.size());
    undone.clear();
    return changed_state();
}

std::string serve_open_path() {
    std::lock_guard<std::mutex> hold(engine_lock);
    return open_path;
}

int64_t serve_unsaved_edits() {
    std::lock_guard<std::mutex> hold(engine_lock);
    return static_cast<int64_t>(applied.size());
}

void add_api_routes(serve_routes &routes, const serve_session &s) {
    const serve_session *sp = &s;
    if (open_path.empty()) {
        open_path = s.path;
        saved_size = hx_file_size();
        file_writable = s.writable;
    }
    std::vector<std::pair<const char *, api_handler>> reads = {
        {"/api/info", [sp](const Request &) { return info(*sp); }},
        {"/api/page", page},
        {"/api/staged", [](const Request &) { return staged_state(); }},
        {"/api/hits", hits},
        {"/api/runs", runs},
        {"/api/entropy", entropy},
        {"/api/histogram", serve_histogram},
        {"/api/entropy-map", serve_entropy_map},
        {"/api/bytes", serve_bytes},
        {"/api/files", folder_files},
        {"/api/strings", serve_strings},
    };
    std::vector<std::pair<const char *, api_handler>> changes = {
        {"/api/write", [sp](const Request &r) { return stage_bytes(*sp, r, edit_record::write); }},
        {"/api/insert", [sp](const Request &r) { return stage_bytes(*sp, r, edit_record::insert); }},
        {"/api/delete", [sp](const Request &r) { return serve_delete(*sp, r); }},
        {"/api/open", [sp](const Request &r) { return open_other(*sp, r); }},
        {"/api/undo", [sp](const Request &r) { parse_body(r.body, ""); return undo(*sp); }},
        {"/api/redo", [sp](const Request &r) { parse_body(r.body, ""); return redo(*sp); }},
        {"/api/fill", [sp](const Request &r) { return serve_fill(*sp, r); }},
        {"/api/paste", [sp](const Request &r) { return serve_paste(*sp, r); }},
        {"/api/replace", [sp](const Request &r) { return serve_replace(*sp, r); }},
        {"/api/discard",
         [](const Request &r) {
             parse_body(r.body, "");
             refuse_while_at_risk();
             if (hx_discard() != 0) engine_refused(409);
             clear_history();
             return changed_state();
         }},
    };
    // A save writes what the page saw; the others read the content as it is.
    std::vector<std::tuple<const char *, const char *, job_handler, unsigned>> long_calls = {
        {"/api/save", "save", [sp](const Request &r) { return save_in_place(*sp, r); }, route_in_step},
        {"/api/save-as", "save", [sp](const Request &r) { return save_as(*sp, r); }, route_in_step},
        {"/api/search", "search", search, route_read},
        {"/api/compare", "compare", [sp](const Request &r) { return compare(*sp, r); }, route_read},
        {"/api/hash", "hash", serve_hash, route_read},
    };
    for (auto &[path, h] : reads) routes.get[path] = locked(h, route_read);
    for (auto &[path, h] : changes) routes.post[path] = locked(h, route_change | route_in_step);
    for (auto &[path, op, h, flags] : long_calls) routes.post[path] = in_background(op, h, flags);
    routes.get["/api/job"] = [](const Request &, Response &res) { res.set_content(job_status(), "application/json"); };
    routes.post["/api/cancel"] = [](const Request &req, Response &res) {
        try {
            nlohmann::json f = parse_body(req.body, "job");
            int64_t id = f.contains("job") ? field_offset(f, "job") : 0;
            res.set_content(std::string("{\"cancelled\":") + (cancel_job(id) ? "true" : "false") + "}",
                            "application/json");
        } catch (const std::exception &e) {
            send_error(res, 400, e.what());
        }
    };
}
