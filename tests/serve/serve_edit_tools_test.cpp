// The edit tools of `hexview serve` over loopback: fill, paste and
// find-and-replace each stage one undo step or nothing, whatever the input,
// within the edit cap, on a small file and at the end of a 64 GiB sparse one.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "serve/serve_process.h"
#include "support/test_support.h"

namespace {

const std::string kText = "a cat, a dog, a cat and a cow";  // "cat" at 2 and 16; 29 bytes
const std::string kNothingStaged = "{\"staged\":[],\"size\":29,\"undo\":0,\"redo\":0,\"version\":0,\"path\":";

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::string hex_of(const std::string &text) { return hex_string(to_bytes(text)); }

class serve_edit_tools : public ::testing::Test {
protected:
    temp_dir dir;
    std::string file = dir.write("f.bin", kText);
    std::unique_ptr<serve_process> server;

    void start(std::vector<std::string> extra = {}) {
        if (server) {
            EXPECT_EQ(server->stop(), 0);
        }
        extra.insert(extra.begin(), file);
        server = std::make_unique<serve_process>(HEXVIEW_TOOL_PATH, extra);
        ASSERT_TRUE(server->started()) << server->output();
    }
    void SetUp() override { start(); }
    void TearDown() override { EXPECT_EQ(server->stop(), 0); }

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
    // The edited content of [offset, offset+length) as hex digits.
    std::string content(int64_t offset = 0, int64_t length = 1 << 20) {
        std::string b = get("/api/bytes?offset=" + std::to_string(offset) + "&length=" + std::to_string(length));
        size_t at = b.find("\"hex\":\"");
        return at == std::string::npos ? b : b.substr(at + 7, b.size() - at - 9);
    }
    int count(const std::string &text, const std::string &part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
        return n;
    }
};

// Each tool's main paths: the content it leaves, the edits it stages and
// the one undo step they make; one Undo gives the file back.
struct tool_case {
    const char *name;
    const char *route;
    const char *body;
    std::string after;  // the whole content
    int edits;          // staged edits it makes
};

void PrintTo(const tool_case &c, std::ostream *os) { *os << c.name; }

class serve_edit_tool_stages : public serve_edit_tools, public ::testing::WithParamInterface<tool_case> {};

TEST_P(serve_edit_tool_stages, one_undo_step) {
    const tool_case &c = GetParam();
    std::string state = post(c.route, c.body);
    EXPECT_TRUE(has(state, "\"undo\":1,\"redo\":0,\"version\":1,")) << state;
    EXPECT_EQ(count(state, "\"op\":"), c.edits) << state;
    EXPECT_EQ(content(), hex_of(c.after));
    state = post("/api/undo", "{}");
    EXPECT_TRUE(has(state, "{\"staged\":[],\"size\":29,\"undo\":0,\"redo\":1,")) << state;
    EXPECT_EQ(content(), hex_of(kText));
    post("/api/redo", "{}");
    EXPECT_EQ(content(), hex_of(c.after)) << "redo stages the whole step again";
    post("/api/save", "{\"confirm\":\"" + file + "\"}");
    EXPECT_EQ(read_file(file), to_bytes(c.after));
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_edit_tool_stages,
    ::testing::Values(
        tool_case{"fill_a_byte", "/api/fill", R"({"offset":2,"length":3,"hex":"2a"})", "a ***, a dog, a cat and a cow", 1},
        tool_case{"fill_a_pattern", "/api/fill", R"({"offset":"0x0","length":5,"hex":"41 42"})",
                  "ABABA, a dog, a cat and a cow", 1},
        tool_case{"fill_to_the_last_byte", "/api/fill", R"({"offset":26,"length":3,"hex":"7a"})",
                  "a cat, a dog, a cat and a zzz", 1},
        tool_case{"paste_insert", "/api/paste", R"({"offset":2,"hex":"62 69 67 20","insert":true})",
                  "a big cat, a dog, a cat and a cow", 1},
        tool_case{"paste_over", "/api/paste", R"({"offset":2,"hex":"626174"})", "a bat, a dog, a cat and a cow", 1},
        tool_case{"paste_over_lines_of_hex", "/api/paste", R"({"offset":2,"hex":"62\r\n61:74\n"})",
                  "a bat, a dog, a cat and a cow", 1},
        tool_case{"paste_over_past_the_end", "/api/paste", R"({"offset":26,"hex":"686f727365"})",
                  "a cat, a dog, a cat and a horse", 2},
        tool_case{"paste_after_the_end", "/api/paste", R"({"offset":29,"hex":"2e"})", "a cat, a dog, a cat and a cow.", 1},
        tool_case{"replace_all_same_length", "/api/replace", R"({"offsets":"16,2","find":"636174","hex":"636f77"})",
                  "a cow, a dog, a cow and a cow", 2},
        tool_case{"replace_one", "/api/replace", R"({"offsets":"16","find":"636174","hex":"636f77"})",
                  "a cat, a dog, a cow and a cow", 1},
        tool_case{"replace_all_longer", "/api/replace", R"({"offsets":"2,16","find":"636174","hex":"7469676572"})",
                  "a tiger, a dog, a tiger and a cow", 4},
        tool_case{"replace_all_shorter", "/api/replace", R"({"offsets":"2,0x10","find":"636174","hex":"6f78"})",
                  "a ox, a dog, a ox and a cow", 4},
        tool_case{"replace_all_with_nothing", "/api/replace", R"({"offsets":"2,16","find":"636174","hex":""})",
                  "a , a dog, a  and a cow", 2},
        tool_case{"replace_with_a_wildcard", "/api/replace", R"({"offsets":"2,16,26","find":"63 ?? ??","hex":"626174"})",
                  "a bat, a dog, a bat and a bat", 3}),
    [](const auto &info) { return std::string(info.param.name); });

// Bad input: a clear message, and nothing staged.
struct refusal_case {
    const char *name;
    const char *route;
    std::string body;
    int status;
    const char *says;
};

void PrintTo(const refusal_case &c, std::ostream *os) { *os << c.name; }

class serve_edit_tool_refuses : public serve_edit_tools, public ::testing::WithParamInterface<refusal_case> {};

TEST_P(serve_edit_tool_refuses, with_a_message_and_stages_nothing) {
    const refusal_case &c = GetParam();
    std::string body = post(c.route, c.body, c.status);
    EXPECT_TRUE(has(body, std::string("{\"error\":\"") + c.says)) << body;
    EXPECT_TRUE(staged().starts_with(kNothingStaged)) << staged();
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_edit_tool_refuses,
    ::testing::Values(
        refusal_case{"fill_past_the_end", "/api/fill", R"({"offset":27,"length":3,"hex":"00"})", 400,
                     "the fill runs past the end of the content (29 bytes)"},
        refusal_case{"fill_after_the_end", "/api/fill", R"({"offset":29,"length":1,"hex":"00"})", 400,
                     "the fill runs past the end"},
        refusal_case{"fill_nothing", "/api/fill", R"({"offset":0,"length":0,"hex":"00"})", 400,
                     "a fill covers 1 byte or more"},
        refusal_case{"fill_odd_digits", "/api/fill", R"({"offset":0,"length":4,"hex":"12 3"})", 400,
                     "the fill pattern: an odd number of hex digits (each byte takes two)"},
        refusal_case{"fill_not_hex", "/api/fill", R"({"offset":0,"length":4,"hex":"0g"})", 400,
                     "the fill pattern: not hex: 'g'"},
        refusal_case{"fill_wildcard", "/api/fill", R"({"offset":0,"length":4,"hex":"??"})", 400,
                     "the fill pattern: not hex: '?'"},
        refusal_case{"fill_no_pattern", "/api/fill", R"({"offset":0,"length":4,"hex":" "})", 400,
                     "the fill pattern: no bytes"},
        refusal_case{"fill_no_length", "/api/fill", R"({"offset":0,"hex":"00"})", 400, "missing field: length"},
        refusal_case{"fill_beyond_the_limit", "/api/fill", R"({"offset":0,"length":16777217,"hex":"00"})", 413,
                     "a fill covers 16 MiB at most; this one has 16777217 bytes"},
        refusal_case{"paste_odd_digits", "/api/paste", R"({"offset":0,"hex":"414"})", 400,
                     "the pasted hex: an odd number of hex digits"},
        refusal_case{"paste_text_as_hex", "/api/paste", R"({"offset":0,"hex":"hello"})", 400,
                     "the pasted hex: not hex: 'h'"},
        refusal_case{"paste_nothing", "/api/paste", R"({"offset":0,"hex":""})", 400, "the pasted hex: no bytes"},
        refusal_case{"paste_past_the_end", "/api/paste", R"({"offset":30,"hex":"00","insert":true})", 400,
                     "offset 0x1e is past the end of the content (29 bytes)"},
        refusal_case{"paste_beyond_the_body_limit", "/api/paste",
                     "{\"offset\":0,\"hex\":\"" + std::string(1 << 20, '0') + "\"}", 413, "request too large"},
        refusal_case{"replace_bytes_changed", "/api/replace", R"({"offsets":"2,9","find":"636174","hex":"636f77"})",
                     409, "the bytes at 0x9 are no longer those searched for: nothing was replaced"},
        refusal_case{"replace_past_the_end", "/api/replace", R"({"offsets":"28","find":"636174","hex":"00"})", 409,
                     "the bytes at 0x1c are no longer those searched for"},
        refusal_case{"replace_overlapping", "/api/replace", R"({"offsets":"2,3","find":"636174","hex":"00"})", 400,
                     "the hits at 0x2 and 0x3 overlap"},
        refusal_case{"replace_bad_offset", "/api/replace", R"({"offsets":"2,x","find":"636174","hex":"00"})", 400,
                     "invalid offset: x"},
        refusal_case{"replace_no_offsets", "/api/replace", R"({"offsets":"","find":"636174","hex":"00"})", 400,
                     "invalid offset: "},
        refusal_case{"replace_empty_pattern", "/api/replace", R"({"offsets":"2","find":"","hex":"00"})", 400,
                     "the pattern searched for has 1 to 4096 bytes"},
        refusal_case{"replace_bad_replacement", "/api/replace", R"({"offsets":"2","find":"636174","hex":"6"})", 400,
                     "the replacement: an odd number of hex digits"}),
    [](const auto &info) { return std::string(info.param.name); });

// A replace-all is one undo step: one Undo removes every replacement, Redo
// stages them all again, and typing after it is a step of its own.
TEST_F(serve_edit_tools, a_replace_all_is_one_step_among_others) {
    post("/api/write", R"({"offset":0,"hex":"41"})");
    post("/api/replace", R"({"offsets":"2,16","find":"636174","hex":"7469676572"})");
    // Goes on from the end of the group's last edit, of its kind.
    std::string state = post("/api/insert", R"({"offset":7,"hex":"21","merge":true})");
    EXPECT_TRUE(has(state, "\"undo\":3,\"redo\":0")) << "typing does not join a group: " << state;
    EXPECT_EQ(count(state, "\"op\":"), 6) << state;
    EXPECT_EQ(content(), hex_of("A tiger!, a dog, a tiger and a cow"));
    post("/api/undo", "{}");
    state = post("/api/undo", "{}");
    EXPECT_TRUE(has(state, "\"undo\":1,\"redo\":2")) << state;
    EXPECT_EQ(content(), hex_of("A cat, a dog, a cat and a cow"));
    state = post("/api/redo", "{}");
    EXPECT_TRUE(has(state, "\"undo\":2,\"redo\":1")) << state;
    EXPECT_EQ(count(state, "\"op\":"), 5) << state;
    EXPECT_EQ(content(), hex_of("A tiger, a dog, a tiger and a cow"));
    post("/api/paste", R"({"offset":0,"hex":"61"})");
    EXPECT_TRUE(has(staged(), "\"undo\":3,\"redo\":0")) << "a new step ends the redo chain";
    post("/api/redo", "{}", 409);
    post("/api/discard", "{}");
    EXPECT_TRUE(has(staged(), "\"undo\":0,\"redo\":0")) << staged();
    post("/api/undo", "{}", 409);
}

// A step the edit cap has no room for is refused whole, before anything is
// staged, saying how many hits and the cap.
struct cap_case {
    const char *name;
    int hits;
    const char *replacement;  // for "ab"
    int staged_before;
    int status;
    std::string says;  // "" when it fits
};

void PrintTo(const cap_case &c, std::ostream *os) { *os << c.name; }

class serve_edit_cap : public serve_edit_tools, public ::testing::WithParamInterface<cap_case> {};

TEST_P(serve_edit_cap, refuses_a_step_beyond_it_whole) {
    const cap_case &c = GetParam();
    std::string text;
    std::string offsets;
    for (int i = 0; i < c.hits; i++) {
        if (i) offsets += ',';
        offsets += std::to_string(text.size());
        text += "ab.";
    }
    file = dir.write("hits.bin", text);
    start();
    for (int i = 0; i < c.staged_before; i++) post("/api/write", R"({"offset":2,"hex":"2e"})");
    std::string before = staged();
    std::string body = "{\"offsets\":\"" + offsets + "\",\"find\":\"6162\",\"hex\":\"" + c.replacement + "\"}";
    std::string answer = post("/api/replace", body, c.status);
    if (c.says.empty()) {
        EXPECT_TRUE(has(answer, "\"undo\":" + std::to_string(c.staged_before + 1))) << answer;
        post("/api/undo", "{}");
        EXPECT_EQ(content(), hex_string(to_bytes(text)));
        return;
    }
    EXPECT_TRUE(has(answer, "{\"error\":\"" + c.says)) << answer;
    EXPECT_EQ(staged(), before) << "nothing staged";
    EXPECT_EQ(content(), hex_string(to_bytes(text)));
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_edit_cap,
    ::testing::Values(
        cap_case{"more_hits_than_the_cap", 1200, "6364", 0, 409,
                 "replacing all 1200 hits takes 1200 staged edits, and 0 of the cap of 1000 are staged: nothing was "
                 "staged"},
        cap_case{"two_edits_a_hit_with_one_staged", 500, "78797a", 1, 409,
                 "replacing all 500 hits takes 1000 staged edits, and 1 of the cap of 1000 are staged"},
        cap_case{"exactly_the_cap", 500, "78797a", 0, 200, ""},
        cap_case{"all_but_one_staged", 2, "6364", 999, 409,
                 "replacing all 2 hits takes 2 staged edits, and 999 of the cap of 1000 are staged"}),
    [](const auto &info) { return std::string(info.param.name); });

// Every tool writes, so a read-only server refuses each, and so does a
// server running a search in the background: nothing is staged.
const std::vector<std::pair<const char *, const char *>> kToolCalls = {
    {"/api/fill", R"({"offset":0,"length":2,"hex":"00"})"},
    {"/api/paste", R"({"offset":0,"hex":"00","insert":true})"},
    {"/api/replace", R"({"offsets":"2","find":"636174","hex":"00"})"},
};

TEST_F(serve_edit_tools, read_only_refuses_every_tool) {
    start({"--read-only"});
    for (auto [route, body] : kToolCalls)
        EXPECT_TRUE(has(post(route, body, 409), "{\"error\":\"the file is open read-only\"}")) << route;
    EXPECT_TRUE(staged().starts_with(kNothingStaged)) << staged();
    EXPECT_EQ(read_file(file), to_bytes(kText));
}

TEST_F(serve_edit_tools, a_running_search_refuses_every_tool) {
    const int64_t size = int64_t(16) << 30;
    file = write_sparse(dir, "big.bin", size, {{size - 40, to_bytes("cat")}});
    start();
    std::string zeros;  // a pattern of zeros reads the holes: a long search
    for (int i = 0; i < 256; i++) zeros += "00";
    post("/api/search", "{\"mode\":\"hex\",\"pattern\":\"" + zeros + "\"}", 202);
    for (auto [route, body] : kToolCalls)
        EXPECT_TRUE(has(post(route, body, 409), "busy: a search is running (cancel it or wait for its end)")) << route;
    EXPECT_EQ(post("/api/cancel", "{}"), "{\"cancelled\":true}");
    EXPECT_TRUE(has(staged(), "\"staged\":[],")) << staged();
}

// A copy's bytes come 1 MiB an answer at most, so answers a client leaves
// unread hold little; the page asks for a larger copy in pieces.
TEST_F(serve_edit_tools, one_answer_of_bytes_holds_1_mib_at_most) {
    const int64_t piece = 1 << 20;
    file = write_sparse(dir, "big.bin", 2 * piece, {{piece - 3, to_bytes("end")}, {piece, to_bytes("next")}});
    start();
    std::string whole = content(0, piece);
    EXPECT_EQ(whole.size(), 2u * piece);
    EXPECT_EQ(whole.substr(whole.size() - 6), hex_of("end"));
    EXPECT_EQ(content(piece, 4), hex_of("next")) << "the next piece goes on from there";
    EXPECT_EQ(get("/api/bytes?offset=0&length=" + std::to_string(piece + 1), 413),
              "{\"error\":\"an answer holds 1 MiB of bytes at most; this request asks for 1048577 (ask in pieces)\"}");
}

// At the end of a 64 GiB sparse file: a fill of the most a fill covers, a
// paste past the end, and a replace, each one step.
TEST_F(serve_edit_tools, work_at_the_end_of_a_64_gib_sparse_file) {
    const int64_t size = int64_t(64) << 30;
    const int64_t start_at = size - (16 << 20);
    file = write_sparse(dir, "huge.bin", size, {{size - 8, to_bytes("the end!")}});
    start();
    std::string fill = "{\"offset\":" + std::to_string(start_at) + ",\"length\":16777216,\"hex\":\"a5 5a\"}";
    EXPECT_TRUE(has(post("/api/fill", fill), "\"len\":16777216,\"bytes\":\"a55aa55a")) << "one edit of 16 MiB";
    EXPECT_EQ(content(start_at - 2, 4), "0000a55a");
    EXPECT_EQ(content(size - 4, 4), "a55aa55a");
    post("/api/undo", "{}");
    EXPECT_EQ(content(size - 8, 8), hex_of("the end!"));
    post("/api/paste", "{\"offset\":" + std::to_string(size - 4) + ",\"hex\":\"454e44 2e 2e\"}");
    EXPECT_EQ(content(size - 8, 9), hex_of("the END.."));
    post("/api/replace", "{\"offsets\":\"" + std::to_string(size - 8) + "\",\"find\":\"746865\",\"hex\":\"41\"}");
    EXPECT_EQ(content(size - 8, 9), hex_of("A END.."));
    EXPECT_TRUE(has(staged(), "\"size\":" + std::to_string(size - 1) + ",\"undo\":2")) << staged();
}

}  // namespace
