// hexview serve: JSON strings out, flat JSON objects in, and checked numbers.
#include <nlohmann/json.hpp>

#include <set>
#include <string>

#include "serve/serve.h"

using nlohmann::json;

std::string json_quote(std::string_view text) {
    return json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

[[noreturn]] void bad_body(const std::string &why) { throw http_error(400, "bad request body: " + why); }

// The parser's message without its "[json.exception...] ... column N: "
// prefix; the two mistakes a hand-made request makes most are named plainly.
std::string parse_problem(const json::parse_error &e) {
    std::string m = e.what();
    if (m.find("expected end of input") != std::string::npos) return "text after the object";
    if (m.find("missing closing quote") != std::string::npos) return "unterminated string";
    size_t colon = m.find(": ");
    return colon == std::string::npos ? m : m.substr(colon + 2);
}

bool allowed_key(std::string_view allowed, std::string_view key) {
    size_t at = 0;
    while (at <= allowed.size()) {
        size_t comma = allowed.find(',', at);
        if (comma == std::string_view::npos) comma = allowed.size();
        if (allowed.substr(at, comma - at) == key) return true;
        at = comma + 1;
    }
    return false;
}

const json &required(const json &f, const std::string &key) {
    auto it = f.find(key);
    if (it == f.end() || it->is_null()) throw http_error(400, "missing field: " + key);
    return *it;
}

}  // namespace

json parse_body(std::string_view body, std::string_view allowed) {
    if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) return json::object();  // no body: no fields
    std::set<std::string> seen;
    // Depth 0 is the body itself, depth 1 its fields.
    auto check = [&](int depth, json::parse_event_t event, json &parsed) {
        using ev = json::parse_event_t;
        if (depth == 0 && event != ev::object_start && event != ev::object_end) bad_body("expected one JSON object");
        if (depth > 0 && (event == ev::object_start || event == ev::array_start))
            bad_body("fields must be strings, numbers, true, false or null");
        if (depth == 1 && event == ev::key) {
            std::string key = parsed.get<std::string>();
            if (!allowed_key(allowed, key)) throw http_error(400, "unknown field: " + key);
            if (!seen.insert(key).second) bad_body("repeated field: " + key);
        }
        return true;
    };
    try {
        return json::parse(body, check);
    } catch (const json::parse_error &e) {
        bad_body(parse_problem(e));
    }
}

int64_t parse_count(std::string_view text, const char *what, int64_t max) {
    int64_t v = parse_offset(text, what);
    if (v > max) throw http_error(400, std::string(what) + " above " + std::to_string(max) + ": " + std::string(text));
    return v;
}

int64_t field_offset(const json &f, const std::string &key) {
    const json &v = required(f, key);
    if (v.is_string()) return parse_offset(v.get_ref<const std::string &>(), key.c_str());
    if (v.is_number()) return parse_offset(v.dump(), key.c_str());  // "-1" and "1.5" are refused as written
    throw http_error(400, "invalid " + key);
}

std::string field_string(const json &f, const std::string &key) {
    const json &v = required(f, key);
    if (!v.is_string()) throw http_error(400, "field must be a string: " + key);
    const std::string &text = v.get_ref<const std::string &>();
    if (text.find('\0') != std::string::npos) throw http_error(400, "NUL byte in field: " + key);
    return text;
}

bool field_bool(const json &f, const std::string &key, bool fallback) {
    auto it = f.find(key);
    if (it == f.end() || it->is_null()) return fallback;
    if (!it->is_boolean()) throw http_error(400, "field must be true or false: " + key);
    return it->get<bool>();
}
