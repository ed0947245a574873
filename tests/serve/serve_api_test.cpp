// Runs `hexview serve` on small files and checks every route over loopback:
// the answers, each refusal of the guards and each bad input, which must
// change nothing.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "serve/serve_process.h"
#include "support/test_support.h"

namespace {

const std::string kContent = "Hello, hexview serve! 0123456789abcdef";

class serve_api : public ::testing::Test {
protected:
    temp_dir dir;
    std::string file = dir.write("f.bin", kContent);
    std::unique_ptr<serve_process> server;

    void start(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), file);
        server = std::make_unique<serve_process>(HEXVIEW_TOOL_PATH, extra);
        ASSERT_TRUE(server->started()) << server->output();
    }
    void SetUp() override { start(); }
    // The server stops cleanly (under the sanitizers: with no error or leak).
    void TearDown() override {
        if (server) {
            EXPECT_EQ(server->stop(), 0);
        }
    }

    // GET or POST, expecting `status`; gives the body.
    std::string get(const std::string &path, int status = 200) {
        auto r = server->get(path);
        if (!r) return "no answer";
        EXPECT_EQ(r->status, status) << path << ": " << r->body;
        return r->body;
    }
    std::string post(const std::string &path, const std::string &json, int status = 200) {
        auto r = server->post(path, json);
        if (!r) return "no answer";
        EXPECT_EQ(r->status, status) << path << " " << json << ": " << r->body;
        return r->body;
    }
    std::string staged() { return get("/api/staged"); }
};

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST_F(serve_api, info_and_pages_pass_the_engine_json_through) {
    std::string info = get("/api/info");
    EXPECT_TRUE(has(info, "\"info\":{\"name\":\"" + file + "\",\"size\":38,\"is_rw\":1,")) << info;
    EXPECT_TRUE(has(info, "\"writable\":true")) << info;
    EXPECT_TRUE(has(info, "\"limits\":{\"max_pattern_bytes\":4096,\"max_stored_hits\":10000,\"max_edits\":1000,"
                          "\"max_runs\":10000,\"run_bytes\":64}}"))
        << info;
    std::string page = get("/api/page?offset=0x10&rows=1");
    EXPECT_EQ(page,
              "{\"offset\":16,\"size\":38,\"rows\":[{\"off\":\"0x0000000000000010\",\"hex\":\"65 72 76 65 21 20 30 31  "
              "32 33 34 35 36 37 38 39\",\"ascii\":\"erve! 0123456789\"}]}");
    EXPECT_TRUE(has(get("/api/page?offset=32&rows=1&mode=raw"), "\"bytes_hex\":\"6162636465660000")) << "raw rows";
    EXPECT_EQ(std::count(page.begin(), page.end(), '{'), 2);
    std::string many = get("/api/page");
    EXPECT_EQ(std::count(many.begin(), many.end(), '{') - 1, 64) << "64 rows by default";
    EXPECT_TRUE(has(get("/api/entropy"), "\"sampled_bytes\":32}"));
}

TEST_F(serve_api, staging_undo_redo_and_discard) {
    EXPECT_TRUE(has(post("/api/write", R"({"offset":0,"hex":"41 42"})"), "\"undo\":1,\"redo\":0"));
    post("/api/insert", R"({"offset":"0x2","hex":"ff"})");
    std::string state = post("/api/delete", R"({"offset":5,"length":2})");
    EXPECT_TRUE(has(state, "{\"op\":\"delete\",\"offset\":\"0x000000000005\",\"len\":2}")) << state;
    EXPECT_TRUE(has(state, "\"size\":37,\"undo\":3")) << state;
    EXPECT_TRUE(has(get("/api/page?rows=1"), "\"ascii\":\"AB.ll hexview se\"")) << "all three shown";

    state = post("/api/undo", "{}");
    EXPECT_TRUE(has(state, "\"size\":39,\"undo\":2,\"redo\":1")) << state;
    EXPECT_FALSE(has(state, "delete"));
    state = post("/api/undo", "{}");
    EXPECT_EQ(state, "{\"staged\":[{\"op\":\"write\",\"offset\":\"0x000000000000\",\"len\":2,\"bytes\":\"4142\"}],"
                     "\"size\":38,\"undo\":1,\"redo\":2}");
    state = post("/api/redo", "{}");
    EXPECT_TRUE(has(state, "\"op\":\"insert\"") && has(state, "\"undo\":2,\"redo\":1")) << state;
    // A new edit ends the redo chain.
    EXPECT_TRUE(has(post("/api/write", R"({"offset":9,"hex":"00"})"), "\"undo\":3,\"redo\":0"));
    post("/api/redo", "{}", 409);
    EXPECT_EQ(post("/api/discard", "{}"), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0}");
    post("/api/undo", "{}", 409);
    EXPECT_EQ(read_file(file), to_bytes(kContent)) << "nothing saved";
}

// The engine's list shows 64 bytes of an edit at most: undo stages the whole.
TEST_F(serve_api, undo_restages_long_edits_whole) {
    std::string hex(2 * 100, 'a');
    post("/api/insert", "{\"offset\":0,\"hex\":\"" + hex + "\"}");
    post("/api/write", R"({"offset":0,"hex":"00"})");
    post("/api/undo", "{}");
    EXPECT_TRUE(has(staged(), "\"size\":138")) << staged();
    std::string copy = dir.file("copy.bin");
    post("/api/save-as", "{\"path\":\"" + copy + "\"}");
    EXPECT_EQ(read_file(copy), to_bytes(std::string(100, '\xaa') + kContent));
}

TEST_F(serve_api, save_in_place_needs_the_file_named) {
    post("/api/write", R"({"offset":0,"hex":"68"})");
    EXPECT_TRUE(has(post("/api/save", R"({"confirm":"other.bin"})", 400), "confirmed with the file's path"));
    EXPECT_EQ(read_file(file), to_bytes(kContent));
    EXPECT_EQ(post("/api/save", "{\"confirm\":\"" + file + "\"}"), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0}");
    EXPECT_EQ(read_file(file), to_bytes("hello, hexview serve! 0123456789abcdef"));
}

TEST_F(serve_api, save_as_writes_a_copy_and_asks_before_replacing) {
    post("/api/delete", R"({"offset":0,"length":7})");
    std::string state = post("/api/save-as", R"({"path":"copy.bin"})");  // beside the open file
    EXPECT_TRUE(has(state, "\"saved\":\"" + dir.file("copy.bin") + "\"")) << state;
    EXPECT_EQ(read_file(dir.file("copy.bin")), to_bytes(kContent.substr(7)));
    EXPECT_EQ(read_file(file), to_bytes(kContent));

    post("/api/write", R"({"offset":0,"hex":"58"})");
    EXPECT_TRUE(has(post("/api/save-as", R"({"path":"copy.bin"})", 409), "the file exists"));
    EXPECT_EQ(read_file(dir.file("copy.bin")), to_bytes(kContent.substr(7)));
    post("/api/save-as", R"({"path":"copy.bin","overwrite":true})");
    std::string overwritten = kContent;
    overwritten[0] = 'X';
    EXPECT_EQ(read_file(dir.file("copy.bin")), to_bytes(overwritten));
    EXPECT_TRUE(has(post("/api/save-as", "{\"path\":\"" + file + "\",\"overwrite\":true}", 400), "use Save"));
}

TEST_F(serve_api, search_and_hits_with_contexts) {
    EXPECT_EQ(post("/api/search", R"({"mode":"ascii","pattern":"e"})"),
              "{\"count\":6,\"stored\":6,\"last\":36,\"length\":1}");
    std::string hits = get("/api/hits?from=1&count=2");
    EXPECT_TRUE(has(hits, "\"count\":6,\"stored\":6,\"from\":1,\"items\":[{\"offset\":\"0x0000000000000008\","
                          "\"context_hex\":\"48656c6c6f2c20686578766965772073657276652120303132\","
                          "\"context_ascii\":\"Hello, hexview serve! 012\"}, {\"offset\":\"0x000000000000000c\""))
        << hits;
    EXPECT_EQ(std::count(hits.begin(), hits.end(), '{'), 3);
    EXPECT_TRUE(has(post("/api/search", R"({"mode":"hex","pattern":"30 ?? 32","start":"0x10"})"), "\"count\":1,"));
    EXPECT_TRUE(has(post("/api/search", R"({"mode":"utf16","pattern":"A"})"), "\"count\":0,\"stored\":0,\"last\":-1"));
    EXPECT_TRUE(has(get("/api/hits"), "\"items\":[]"));
}

// The pattern's length in bytes as the engine searched it, so the page need
// not parse the pattern again to mark a hit.
struct length_case {
    const char *name;
    const char *mode;
    std::string pattern;  // JSON string contents
    int length;
};

void PrintTo(const length_case &c, std::ostream *os) { *os << c.name; }

class serve_search_length : public serve_api, public ::testing::WithParamInterface<length_case> {};

TEST_P(serve_search_length, is_in_the_answer) {
    const length_case &c = GetParam();
    std::string answer =
        post("/api/search", std::string("{\"mode\":\"") + c.mode + "\",\"pattern\":\"" + c.pattern + "\"}");
    EXPECT_TRUE(has(answer, ",\"length\":" + std::to_string(c.length) + "}")) << answer;
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_search_length,
    ::testing::Values(length_case{"ascii", "ascii", "hexview", 7},
                      length_case{"ascii_utf8_bytes", "ascii", "\u00e9!", 3},
                      length_case{"utf16_two_per_byte", "utf16", "serve", 10},
                      length_case{"hex_spaced_with_wildcards", "hex", "30 ?? 32", 3},
                      length_case{"hex_packed_and_separators", "hex", "4865,6c:6c\\t??6f", 6},
                      length_case{"hex_longest", "hex", std::string(2 * 4096, 'a'), 4096}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(serve_api, compare_lists_runs_and_says_when_capped) {
    std::string other = dir.write("g.bin", "Hello, HEXVIEW serve! 0123456789abcdef!!");
    std::string result = post("/api/compare", R"({"path":"g.bin"})");
    EXPECT_TRUE(has(result, "\"count\":2,\"capped\":false,\"size\":38,\"other_size\":40")) << result;
    EXPECT_TRUE(has(get("/api/runs"), "{\"offset\":\"0x0000000000000007\",\"this_hex\":\"68657876696577\","
                                      "\"other_hex\":\"48455856494557\"}, {\"offset\":\"0x0000000000000026\""));
    // Every other byte differs: 10000 runs are stored, the rest are dropped.
    bytes a(30000, 0), b(30000, 0);
    for (size_t i = 0; i < b.size(); i += 2) b[i] = 1;
    EXPECT_EQ(server->stop(), 0);
    file = dir.write("a.bin", a);
    start();
    dir.write("b.bin", b);
    EXPECT_TRUE(has(post("/api/compare", R"({"path":"b.bin"})"), "\"count\":10000,\"capped\":true"));
    EXPECT_TRUE(has(get("/api/runs?from=9999&count=5"), "\"from\":9999,\"items\":[{\"offset\":\"0x0000000000004e1e\""));
}

TEST_F(serve_api, page_and_assets_are_served_with_the_security_headers) {
    auto c = server->client();
    auto first = c.Get("/?token=" + server->token());
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 303);
    std::string cookie = first->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie, "hexview_" + std::to_string(server->port()) + "=" + server->token() +
                          "; Path=/; HttpOnly; SameSite=Strict");
    auto page = server->get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_TRUE(has(page->body, "<script type=\"module\" src=\"/app.js\""));
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    std::string csp = page->get_header_value("Content-Security-Policy");
    EXPECT_TRUE(has(csp, "default-src 'none'") && has(csp, "script-src 'self';")) << csp;
    EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
    auto script = server->get("/app.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 200);
    EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
}

// Each refusal: a JSON error, the status, and nothing read or changed.
struct refusal_case {
    const char *name;
    const char *method;
    const char *path;
    httplib::Headers headers;  // "TOKEN" and "ORIGIN" stand for the real ones
    int status;
    const char *says;
};

void PrintTo(const refusal_case &c, std::ostream *os) { *os << c.name; }

class serve_refusal : public serve_api, public ::testing::WithParamInterface<refusal_case> {};

TEST_P(serve_refusal, answers_with_an_error_and_changes_nothing) {
    const refusal_case &c = GetParam();
    httplib::Headers h;
    for (auto [k, v] : c.headers) {
        if (v == "TOKEN") v = "hexview_" + std::to_string(server->port()) + "=" + server->token();
        if (v == "ORIGIN") v = server->origin();
        h.emplace(k, v);
    }
    std::string path = c.path;
    if (size_t at = path.find("TOKEN"); at != std::string::npos) path.replace(at, 5, server->token());
    auto cli = server->client();
    std::string body = std::string(c.method) == "BIG" ? std::string(2 << 20, ' ') : R"({"offset":0,"hex":"00"})";
    httplib::Result r = std::string(c.method) == "GET" ? cli.Get(path, h)
                        : std::string(c.method) == "PUT" ? cli.Put(path, h, body, "application/json")
                                                         : cli.Post(path, h, body,
                                                                    h.count("Content-Type") ? h.find("Content-Type")->second
                                                                                            : "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    EXPECT_TRUE(has(r->body, std::string("{\"error\":\"") + c.says)) << r->body;
    EXPECT_FALSE(has(r->body, "Hello")) << "no content leaks";
    EXPECT_FALSE(has(r->body, "<html")) << "no page without the token";
    EXPECT_EQ(staged(), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0}");
    EXPECT_EQ(read_file(file), to_bytes(kContent));
}

const httplib::Headers kCookie = {{"Cookie", "TOKEN"}};
const httplib::Headers kPost = {{"Cookie", "TOKEN"}, {"Origin", "ORIGIN"}};

INSTANTIATE_TEST_SUITE_P(
    cases, serve_refusal,
    ::testing::Values(
        refusal_case{"no_token_page", "GET", "/", {}, 401, "refused: no access token"},
        refusal_case{"no_token_api", "GET", "/api/page", {}, 401, "refused: no access token"},
        refusal_case{"no_token_asset", "GET", "/app.js", {}, 401, "refused: no access token"},
        refusal_case{"no_token_write", "POST", "/api/write", {{"Origin", "ORIGIN"}}, 401, "refused: no access token"},
        refusal_case{"wrong_token", "GET", "/api/page?token=00", {}, 403, "refused: wrong access token"},
        refusal_case{"wrong_cookie", "GET", "/api/info", {{"Cookie", "hexview_1=abc"}}, 401, "refused: no access"},
        refusal_case{"foreign_host", "GET", "/api/page", {{"Cookie", "TOKEN"}, {"Host", "evil.example:80"}}, 403,
                     "refused: the Host header"},
        refusal_case{"rebound_host_our_port", "GET", "/api/page?token=TOKEN", {{"Host", "attacker.test"}}, 403,
                     "refused: the Host header"},
        refusal_case{"post_without_origin", "POST", "/api/write", kCookie, 403, "refused: a change must come"},
        refusal_case{"post_foreign_origin", "POST", "/api/write", {{"Cookie", "TOKEN"}, {"Origin", "http://evil.test"}},
                     403, "refused: a change must come"},
        refusal_case{"post_cross_site_fetch", "POST", "/api/write",
                     {{"Cookie", "TOKEN"}, {"Origin", "ORIGIN"}, {"Sec-Fetch-Site", "cross-site"}}, 403,
                     "refused: a change must come from the page itself"},
        refusal_case{"post_form_body", "POST", "/api/write",
                     {{"Cookie", "TOKEN"}, {"Origin", "ORIGIN"}, {"Content-Type", "text/plain"}}, 415,
                     "a change must be sent as application/json"},
        refusal_case{"put", "PUT", "/api/write", kPost, 405, "method not allowed: PUT"},
        refusal_case{"get_on_a_change", "GET", "/api/write", kCookie, 405, "method not allowed: GET /api/write"},
        refusal_case{"post_on_a_read", "POST", "/api/page", kPost, 405, "method not allowed: POST /api/page"},
        refusal_case{"unknown_route", "GET", "/api/files", kCookie, 404, "not found"},
        refusal_case{"other_file", "GET", "/etc/passwd", kCookie, 404, "not found"},
        refusal_case{"dot_dot", "GET", "/../../etc/passwd", kCookie, 404, "not found"},
        refusal_case{"unknown_asset", "GET", "/secret.js", kCookie, 404, "not found: /secret.js"},
        refusal_case{"body_too_large", "BIG", "/api/write", kPost, 413, "request too large"}),
    [](const auto &info) { return std::string(info.param.name); });

// Bad input: a 4xx with a message, and nothing staged, saved or changed.
struct bad_input_case {
    const char *name;
    const char *method;
    const char *path;
    const char *body;
    int status;
    const char *says;
};

void PrintTo(const bad_input_case &c, std::ostream *os) { *os << c.name; }

class serve_bad_input : public serve_api, public ::testing::WithParamInterface<bad_input_case> {};

TEST_P(serve_bad_input, is_refused_with_a_message) {
    const bad_input_case &c = GetParam();
    std::string body = std::string(c.method) == "GET" ? get(c.path, c.status) : post(c.path, c.body, c.status);
    EXPECT_TRUE(has(body, std::string("{\"error\":\"") + c.says)) << body;
    EXPECT_EQ(staged(), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0}");
    EXPECT_EQ(read_file(file), to_bytes(kContent));
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_bad_input,
    ::testing::Values(
        bad_input_case{"page_offset_text", "GET", "/api/page?offset=12abc", "", 400, "invalid offset: 12abc"},
        bad_input_case{"page_offset_negative", "GET", "/api/page?offset=-16", "", 400, "invalid offset: -16"},
        bad_input_case{"page_offset_too_big", "GET", "/api/page?offset=0x8000000000000000", "", 400, "invalid offset"},
        bad_input_case{"page_rows_zero", "GET", "/api/page?rows=0", "", 400, "rows must be 1 to 1000"},
        bad_input_case{"page_rows_too_many", "GET", "/api/page?rows=1001", "", 400, "rows above 1000"},
        bad_input_case{"page_mode", "GET", "/api/page?mode=RAW", "", 400, "unknown mode: RAW"},
        bad_input_case{"hits_from", "GET", "/api/hits?from=x", "", 400, "invalid from: x"},
        bad_input_case{"runs_count", "GET", "/api/runs?count=5000", "", 400, "count above 1000"},
        bad_input_case{"write_bad_hex", "POST", "/api/write", R"({"offset":0,"hex":"4g"})", 400, "invalid hex bytes: 4g"},
        bad_input_case{"write_wildcard", "POST", "/api/write", R"({"offset":0,"hex":"??"})", 400,
                       "wildcards not allowed in patch bytes"},
        bad_input_case{"write_no_hex", "POST", "/api/write", R"({"offset":0})", 400, "missing field: hex"},
        bad_input_case{"write_hex_number", "POST", "/api/write", R"({"offset":0,"hex":41})", 400,
                       "field must be a string: hex"},
        bad_input_case{"write_offset_negative", "POST", "/api/write", R"({"offset":-1,"hex":"00"})", 400,
                       "invalid offset: -1"},
        bad_input_case{"write_offset_fraction", "POST", "/api/write", R"({"offset":1.5,"hex":"00"})", 400,
                       "invalid offset: 1.5"},
        bad_input_case{"write_unknown_field", "POST", "/api/write", R"({"offset":0,"hex":"00","x":1})", 400,
                       "unknown field: x"},
        bad_input_case{"write_not_json", "POST", "/api/write", "offset=0&hex=00", 400, "bad request body"},
        bad_input_case{"write_two_objects", "POST", "/api/write", R"({"offset":0,"hex":"00"}{})", 400,
                       "bad request body: text after the object"},
        bad_input_case{"write_repeated_key", "POST", "/api/write", R"({"offset":0,"offset":1,"hex":"00"})", 400,
                       "bad request body: repeated field: offset"},
        bad_input_case{"write_unterminated", "POST", "/api/write", R"({"offset":0,"hex":"00)", 400,
                       "bad request body: unterminated string"},
        bad_input_case{"write_nested_value", "POST", "/api/write", R"({"offset":{"at":0},"hex":"00"})", 400,
                       "bad request body: fields must be strings, numbers, true, false or null"},
        bad_input_case{"write_body_an_array", "POST", "/api/write", R"([{"offset":0,"hex":"00"}])", 400,
                       "bad request body: expected one JSON object"},
        bad_input_case{"write_lone_surrogate", "POST", "/api/write", R"({"offset":0,"hex":"\ud800"})", 400,
                       "bad request body: "},
        bad_input_case{"write_not_utf8", "POST", "/api/write", "{\"offset\":0,\"hex\":\"\xff\"}", 400,
                       "bad request body: "},
        bad_input_case{"insert_bad_hex", "POST", "/api/insert", R"({"offset":0,"hex":"abc"})", 400, "invalid hex bytes"},
        bad_input_case{"delete_negative_length", "POST", "/api/delete", R"({"offset":0,"length":-3})", 400,
                       "invalid length: -3"},
        bad_input_case{"delete_no_length", "POST", "/api/delete", R"({"offset":0})", 400, "missing field: length"},
        bad_input_case{"undo_with_fields", "POST", "/api/undo", R"({"steps":2})", 400, "unknown field: steps"},
        bad_input_case{"nothing_to_undo", "POST", "/api/undo", "{}", 409, "nothing to undo"},
        bad_input_case{"nothing_to_redo", "POST", "/api/redo", "{}", 409, "nothing to redo"},
        bad_input_case{"save_unconfirmed", "POST", "/api/save", "{}", 400, "missing field: confirm"},
        bad_input_case{"save_as_no_path", "POST", "/api/save-as", R"({"path":""})", 400, "missing field: path"},
        bad_input_case{"save_as_bad_folder", "POST", "/api/save-as", R"({"path":"/nonexistent/x.bin"})", 400,
                       "cannot open for write"},
        bad_input_case{"search_bad_mode", "POST", "/api/search", R"({"mode":"regex","pattern":"a"})", 400,
                       "unknown search mode: regex"},
        bad_input_case{"search_bad_hex", "POST", "/api/search", R"({"mode":"hex","pattern":"4"})", 400,
                       "invalid hex pattern: 4"},
        bad_input_case{"search_empty", "POST", "/api/search", R"({"mode":"ascii","pattern":""})", 400,
                       "empty or too-long ascii pattern"},
        bad_input_case{"search_nul", "POST", "/api/search", R"({"mode":"ascii","pattern":"a\u0000b"})", 400,
                       "NUL byte in field: pattern"},
        bad_input_case{"compare_missing_file", "POST", "/api/compare", R"({"path":"/nonexistent/x"})", 400,
                       "cannot open compare file: /nonexistent/x"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(serve_api, read_only_refuses_changes) {
    EXPECT_EQ(server->stop(), 0);
    start({"--read-only"});
    EXPECT_TRUE(has(get("/api/info"), "\"is_rw\":0")) << "opened read-only";
    EXPECT_TRUE(has(post("/api/write", R"({"offset":0,"hex":"00"})", 409), "the file is open read-only"));
    post("/api/save", "{\"confirm\":\"" + file + "\"}", 409);
    EXPECT_EQ(read_file(file), to_bytes(kContent));
}

// Requests from several connections at once are served one engine call at a
// time: every page is whole and matches the edits staged so far.
TEST_F(serve_api, concurrent_requests_see_whole_pages) {
    std::vector<std::thread> readers;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; t++)
        readers.emplace_back([&] {
            for (int i = 0; i < 40; i++) {
                auto r = server->get("/api/page?rows=3");
                if (!r || r->status != 200 || !has(r->body, "\"size\":")) bad++;
            }
        });
    for (int i = 0; i < 20; i++) post("/api/insert", R"({"offset":0,"hex":"41"})");
    for (auto &t : readers) t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_TRUE(has(get("/api/page?rows=1"), "\"ascii\":\"AAAAAAAAAAAAAAAA\""));
    EXPECT_TRUE(has(staged(), "\"size\":58,\"undo\":20"));
}

struct startup_case {
    const char *name;
    std::vector<std::string> args;  // "FILE", "DIR"
    const char *says;
};

void PrintTo(const startup_case &c, std::ostream *os) { *os << c.name; }

class serve_startup : public ::testing::TestWithParam<startup_case> {};

TEST_P(serve_startup, fails_with_a_message_and_status_2) {
    temp_dir dir;
    std::string f = dir.write("x.bin", "x");
    // A port that is taken: listen on one ourselves.
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(sock, 1), 0);
    socklen_t len = sizeof a;
    getsockname(sock, reinterpret_cast<sockaddr *>(&a), &len);
    std::vector<std::string> args;
    for (std::string s : GetParam().args)
        args.push_back(s == "FILE" ? f : s == "DIR" ? dir.path() : s == "BUSY" ? std::to_string(ntohs(a.sin_port)) : s);
    serve_process p(HEXVIEW_TOOL_PATH, args);
    EXPECT_FALSE(p.started());
    EXPECT_EQ(p.wait_exit(), 2);
    EXPECT_TRUE(has(p.output(), GetParam().says)) << p.output();
    close(sock);
    EXPECT_FALSE(file_exists(dir.file("missing.bin"))) << "never created";
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_startup,
    ::testing::Values(startup_case{"missing_file", {"DIR/missing.bin"}, "no such file"},
                      startup_case{"folder", {"DIR"}, "is a folder, not a file"},
                      startup_case{"busy_port", {"FILE", "--port", "BUSY"}, "cannot listen on 127.0.0.1 port"},
                      startup_case{"bad_port", {"FILE", "--port", "70000"}, "--port"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
