// hexview serve: JSON strings out, flat JSON objects in, and checked numbers.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "serve/serve.h"

std::string json_quote(std::string_view text) {
    std::string out = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

namespace {

[[noreturn]] void bad_body(const std::string &why) { throw http_error(400, "bad request body: " + why); }

// A strict reader of one flat object; `p` walks the text.
struct body_reader {
    std::string_view t;
    size_t p = 0;

    void skip_space() {
        while (p < t.size() && (t[p] == ' ' || t[p] == '\t' || t[p] == '\n' || t[p] == '\r')) p++;
    }
    bool take(char c) {
        skip_space();
        if (p < t.size() && t[p] == c) {
            p++;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!take(c)) bad_body(std::string("expected '") + c + "'");
    }

    static void put_utf8(std::string &out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xe0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3f));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }

    unsigned hex4() {
        if (p + 4 > t.size()) bad_body("short \\u escape");
        unsigned v = 0;
        for (int i = 0; i < 4; i++) {
            char c = t[p++];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) bad_body("bad \\u escape");
            v = v << 4 | static_cast<unsigned>(d);
        }
        return v;
    }

    std::string string() {
        expect('"');
        std::string out;
        while (p < t.size() && t[p] != '"') {
            auto c = static_cast<unsigned char>(t[p++]);
            if (c < 0x20) bad_body("control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (p >= t.size()) break;
            char e = t[p++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp = hex4();
                if (cp >= 0xd800 && cp < 0xdc00 && p + 2 <= t.size() && t[p] == '\\' && t[p + 1] == 'u') {
                    p += 2;
                    unsigned low = hex4();
                    if (low < 0xdc00 || low >= 0xe000) bad_body("bad surrogate pair");
                    cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                } else if (cp >= 0xd800 && cp < 0xe000) {
                    bad_body("lone surrogate");
                }
                put_utf8(out, cp);
                break;
            }
            default: bad_body("bad escape");
            }
        }
        if (p >= t.size()) bad_body("unterminated string");
        p++;
        return out;
    }

    json_value value() {
        skip_space();
        if (p >= t.size()) bad_body("missing value");
        if (t[p] == '"') return {json_value::string, string()};
        for (const char *word : {"true", "false", "null"}) {
            std::string_view w(word);
            if (t.substr(p, w.size()) == w) {
                p += w.size();
                return {w == "null" ? json_value::null : json_value::boolean, std::string(w)};
            }
        }
        size_t start = p;
        if (p < t.size() && t[p] == '-') p++;
        while (p < t.size() && ((t[p] >= '0' && t[p] <= '9') || t[p] == '.' || t[p] == 'e' || t[p] == 'E' ||
                                t[p] == '+' || t[p] == '-'))
            p++;
        if (p == start) bad_body("unexpected character");
        return {json_value::number, std::string(t.substr(start, p - start))};
    }
};

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

const json_value &required(const json_fields &f, const std::string &key) {
    auto it = f.find(key);
    if (it == f.end() || it->second.kind == json_value::null) throw http_error(400, "missing field: " + key);
    return it->second;
}

}  // namespace

json_fields parse_body(std::string_view body, std::string_view allowed) {
    body_reader r{body};
    json_fields fields;
    if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) return fields;  // no body: no fields
    r.expect('{');
    if (!r.take('}')) {
        do {
            r.skip_space();
            std::string key = r.string();
            r.expect(':');
            json_value v = r.value();
            if (!allowed_key(allowed, key)) throw http_error(400, "unknown field: " + key);
            if (!fields.emplace(key, v).second) bad_body("repeated field: " + key);
        } while (r.take(','));
        r.expect('}');
    }
    r.skip_space();
    if (r.p != body.size()) bad_body("text after the object");
    return fields;
}

int64_t parse_offset_text(std::string_view text, const char *what) {
    try {
        return parse_offset(std::string(text), what);
    } catch (const cli_error &e) {
        throw http_error(400, e.what());
    }
}

int64_t parse_count(std::string_view text, const char *what, int64_t max) {
    int64_t v = parse_offset_text(text, what);
    if (v > max) throw http_error(400, std::string(what) + " above " + std::to_string(max) + ": " + std::string(text));
    return v;
}

int64_t field_offset(const json_fields &f, const std::string &key) {
    const json_value &v = required(f, key);
    if (v.kind != json_value::string && v.kind != json_value::number) throw http_error(400, "invalid " + key);
    return parse_offset_text(v.text, key.c_str());
}

std::string field_string(const json_fields &f, const std::string &key) {
    const json_value &v = required(f, key);
    if (v.kind != json_value::string) throw http_error(400, "field must be a string: " + key);
    if (v.text.find('\0') != std::string::npos) throw http_error(400, "NUL byte in field: " + key);
    return v.text;
}

bool field_bool(const json_fields &f, const std::string &key, bool fallback) {
    auto it = f.find(key);
    if (it == f.end() || it->second.kind == json_value::null) return fallback;
    if (it->second.kind != json_value::boolean) throw http_error(400, "field must be true or false: " + key);
    return it->second.text == "true";
}
