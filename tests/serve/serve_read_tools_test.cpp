// `hexview serve`'s read tools over loopback: hashes of ranges of the edited
// content (checked against OpenSSL and zlib run here on the expected bytes),
// a hash of a big sparse file run as a job and cancelled, and the listing of
// printable runs with its windows and paging.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serve/serve_process.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class read_tools : public ::testing::Test {
protected:
    temp_dir dir;
    std::unique_ptr<serve_process> server;

    void start(const std::string &file) {
        server = std::make_unique<serve_process>(HEXVIEW_TOOL_PATH, std::vector<std::string>{file});
        ASSERT_TRUE(server->started()) << server->output();
    }
    void TearDown() override {
        if (server) {
            EXPECT_EQ(server->stop(), 0);
        }
    }
    // The body of a GET (or of a POST of `body`) answered with `status`; a
    // job still running after the server's short wait is followed to its end.
    std::string expect(int status, const std::string &path, const std::string *body) {
        auto r = body ? server->post(path, *body) : server->get(path);
        if (!r) return "no answer";
        std::pair<int, std::string> got{r->status, r->body};
        if (got.first == 202 && status != 202) got = server->job_end();
        EXPECT_EQ(got.first, status) << path << " " << (body ? *body : "") << ": " << got.second;
        return got.second;
    }
    std::string get(const std::string &path, int status = 200) { return expect(status, path, nullptr); }
    std::string post(const std::string &path, const std::string &body, int status = 200) {
        return expect(status, path, &body);
    }
};

// ---- Hashes ------------------------------------------------------------------

std::string hex_digits(const unsigned char *b, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) s += {d[b[i] >> 4], d[b[i] & 15]};
    return s;
}

std::string evp_hex(const EVP_MD *md, const std::string &data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
    return hex_digits(out, len);
}

std::string crc_hex(const std::string &data) {
    uLong c = crc32_z(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(data.data()), data.size());
    unsigned char be[4] = {uint8_t(c >> 24), uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)};
    return hex_digits(be, 4);
}

// All four, as the server names them, computed here with the libraries.
json expected_hashes(const std::string &data) {
    return {{"crc32", crc_hex(data)}, {"md5", evp_hex(EVP_md5(), data)}, {"sha1", evp_hex(EVP_sha1(), data)},
            {"sha256", evp_hex(EVP_sha256(), data)}};
}

// Bytes that are not the same at any two offsets a page apart.
std::string mixed_bytes(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char &c : s) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

struct staged_edit {
    const char *route;  // "/api/write", "/api/insert" or "/api/delete"
    int64_t offset;
    std::string hex_or_length;  // hex bytes, or the delete's length
};

// What the edits make of `content`, by the editor's rules: a write never
// makes the content longer, a delete is cut short at the end.
std::string apply(std::string content, const std::vector<staged_edit> &edits) {
    for (const staged_edit &e : edits) {
        std::string route = e.route;
        auto at = static_cast<size_t>(e.offset);
        if (route == "/api/delete") {
            content.erase(std::min(at, content.size()), std::stoul(e.hex_or_length));
            continue;
        }
        std::string b;
        for (size_t i = 0; i + 1 < e.hex_or_length.size(); i += 3) b += static_cast<char>(std::stoi(e.hex_or_length.substr(i, 2), nullptr, 16));
        if (route == "/api/insert") content.insert(std::min(at, content.size()), b);
        else if (at < content.size()) content.replace(at, std::min(b.size(), content.size() - at), b.substr(0, content.size() - at));
    }
    return content;
}

std::string stage_body(const staged_edit &e) {
    if (std::string(e.route) == "/api/delete")
        return "{\"offset\":" + std::to_string(e.offset) + ",\"length\":" + e.hex_or_length + "}";
    return "{\"offset\":" + std::to_string(e.offset) + ",\"hex\":\"" + e.hex_or_length + "\"}";
}

struct hash_case {
    const char *name;
    std::string content;
    std::vector<staged_edit> edits;
    int64_t offset = -1, length = -1;  // -1: not sent
    const char *algorithms = nullptr;  // null: not sent (all four)
};
void PrintTo(const hash_case &c, std::ostream *os) { *os << c.name; }

class hashes : public read_tools, public ::testing::WithParamInterface<hash_case> {};

TEST_P(hashes, match_the_libraries_on_the_edited_content) {
    const hash_case &c = GetParam();
    start(dir.write("f.bin", c.content));
    for (const staged_edit &e : c.edits) post(e.route, stage_body(e));
    std::string data = apply(c.content, c.edits);
    json body = json::object();
    if (c.offset >= 0) body["offset"] = c.offset;
    if (c.length >= 0) body["length"] = c.length;
    if (c.algorithms) body["algorithms"] = c.algorithms;
    json answer = json::parse(post("/api/hash", body.dump()));
    size_t offset = c.offset >= 0 ? size_t(c.offset) : 0;
    size_t length = c.length >= 0 ? size_t(c.length) : data.size() - offset;
    json want = expected_hashes(data.substr(offset, length));
    if (c.algorithms) {
        json some = json::object();
        for (auto &[k, v] : want.items())
            if (has(c.algorithms, k)) some[k] = v;
        want = some;
    }
    EXPECT_EQ(answer["offset"], offset);
    EXPECT_EQ(answer["length"], length);
    EXPECT_EQ(answer["hashes"], want) << answer.dump();
}

const std::string kLong = mixed_bytes(70000);

INSTANTIATE_TEST_SUITE_P(
    ranges, hashes,
    ::testing::Values(
        hash_case{"whole_file", kLong, {}},
        hash_case{"empty_range", "abc", {}, 1, 0},
        hash_case{"empty_file", "", {}},
        hash_case{"a_selection_across_pages", kLong, {}, 7, 33000},
        hash_case{"to_the_last_byte", kLong, {}, 69999, 1},
        hash_case{"an_insert", kLong, {{"/api/insert", 16000, "de ad be ef"}}},
        hash_case{"a_delete", kLong, {{"/api/delete", 5, "20000"}}},
        hash_case{"an_overwrite_at_the_end", kLong, {{"/api/write", 69997, "01 02 03"}}},
        hash_case{"all_three_in_a_selection", kLong,
                  {{"/api/insert", 0, "aa bb"}, {"/api/delete", 100, "3"}, {"/api/write", 15999, "11 22 33"}},
                  15990, 40},
        hash_case{"some_algorithms_in_a_fixed_order", "abc", {}, -1, -1, "sha1,crc32"}),
    [](const auto &info) { return std::string(info.param.name); });

// The published digests of "abc", as a check of the test's own helpers too.
TEST_F(read_tools, abc_gives_the_published_digests) {
    start(dir.write("abc.bin", "abc"));
    json h = json::parse(post("/api/hash", "{}"))["hashes"];
    EXPECT_EQ(h["crc32"], "352441c2");
    EXPECT_EQ(h["md5"], "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(h["sha1"], "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(h["sha256"], "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(h, expected_hashes("abc"));
}

struct refusal {
    const char *route;  // a GET with its query, or a POST of `body` to /api/hash
    const char *body;
    const char *message;
};
void PrintTo(const refusal &r, std::ostream *os) { *os << r.route << " " << (r.body ? r.body : ""); }

class refusals : public read_tools, public ::testing::WithParamInterface<refusal> {};

TEST_P(refusals, say_why_and_change_nothing) {
    const refusal &r = GetParam();
    start(dir.write("f.bin", "0123456789"));
    std::string answer = r.body ? post(r.route, r.body, 400) : get(r.route, 400);
    EXPECT_TRUE(has(answer, r.message)) << answer;
    EXPECT_TRUE(has(get("/api/job"), "\"state\":\"none\"")) << "no job started";
}

INSTANTIATE_TEST_SUITE_P(
    bad_input, refusals,
    ::testing::Values(
        refusal{"/api/hash", R"({"offset":11})", "offset 11 is past the end of the content (10 bytes)"},
        refusal{"/api/hash", R"({"offset":4,"length":7})", "the range of 7 bytes from 4 goes past the end"},
        refusal{"/api/hash", R"({"offset":-1})", "offset"},
        refusal{"/api/hash", R"({"length":"x"})", "length"},
        refusal{"/api/hash", R"({"algorithms":"sha512"})", "unknown hash: sha512 (crc32|md5|sha1|sha256)"},
        refusal{"/api/hash", R"({"algorithms":""})", "unknown hash:  (crc32|md5|sha1|sha256)"},
        refusal{"/api/hash", R"({"path":"x"})", "unknown field: path"},
        refusal{"/api/strings?offset=11", nullptr, "offset 11 is past the end"},
        refusal{"/api/strings?offset=2&length=9", nullptr, "goes past the end"},
        refusal{"/api/strings?min=1", nullptr, "min must be 2 to 256"},
        refusal{"/api/strings?min=257", nullptr, "min must be 2 to 256"},
        refusal{"/api/strings?count=0", nullptr, "count must be 1 to 1000"},
        refusal{"/api/strings?count=1001", nullptr, "count must be 1 to 1000"},
        refusal{"/api/strings?kinds=utf8", nullptr, "unknown kinds: utf8"},
        refusal{"/api/strings?offset=2&from=1", nullptr, "from must lie in the range"},
        refusal{"/api/strings?length=4&from=5", nullptr, "from must lie in the range"}),
    [](const auto &info) { return "case_" + std::to_string(info.index); });

// A hash of a big sparse file is a job: it reports the bytes done of the
// total, pages are read beside it, edits and other long calls are refused
// as busy, a cancel ends it, and afterwards edits go on.
TEST_F(read_tools, hash_of_a_big_sparse_file_shows_progress_refuses_changes_and_is_cancelled) {
    const int64_t size = int64_t(16) << 30;
    std::string file = dir.file("big.bin");
    { std::ofstream(file, std::ios::binary); }
    std::filesystem::resize_file(file, size);
    start(file);
    json started = json::parse(post("/api/hash", "{}", 202));
    EXPECT_EQ(started["op"], "hash");
    EXPECT_EQ(started["state"], "running");
    const std::string busy = "busy: a hash is running (cancel it or wait for its end)";
    EXPECT_TRUE(has(post("/api/write", R"({"offset":0,"hex":"41"})", 409), busy));
    EXPECT_TRUE(has(post("/api/search", R"({"mode":"ascii","pattern":"x"})", 409), busy));
    EXPECT_TRUE(has(post("/api/hash", "{}", 409), busy));
    EXPECT_TRUE(has(get("/api/page?offset=0x300000000&rows=1"), "\"off\":\"0x0000000300000000\"")) << "a page beside it";
    EXPECT_TRUE(has(get("/api/strings?offset=0x100000&length=64"), "\"items\":[]")) << "strings beside it";

    int64_t first = -1, later = -1;
    for (int i = 0; i < 200 && later <= first; i++) {
        json s = json::parse(get("/api/job"));
        ASSERT_EQ(s["state"], "running") << s.dump();
        EXPECT_EQ(s["total"], size);
        int64_t done = s["done"];
        if (first < 0 && done > 0) first = done;
        else if (first > 0) later = done;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GT(later, first) << "the bytes done go up";
    EXPECT_EQ(post("/api/cancel", "{}"), "{\"cancelled\":true}");
    auto [status, answer] = server->job_end();
    EXPECT_EQ(status, 400);
    EXPECT_EQ(answer, "{\"error\":\"cancelled: hash stopped before its end\"}");
    EXPECT_TRUE(has(get("/api/job"), "\"state\":\"cancelled\""));
    EXPECT_TRUE(has(post("/api/write", R"({"offset":0,"hex":"41"})"), "\"undo\":1")) << "edits again";
}

// A hash is refused while a search runs, and the search goes on.
TEST_F(read_tools, hash_waits_for_no_other_job) {
    std::string file = dir.file("big.bin");
    { std::ofstream(file, std::ios::binary); }
    std::filesystem::resize_file(file, int64_t(16) << 30);
    start(file);
    std::string zeros;
    for (int i = 0; i < 256; i++) zeros += "00";
    post("/api/search", "{\"mode\":\"hex\",\"pattern\":\"" + zeros + "\"}", 202);
    EXPECT_TRUE(has(post("/api/hash", "{}", 409), "busy: a search is running"));
    EXPECT_TRUE(has(get("/api/job"), "\"op\":\"search\",\"state\":\"running\""));
    post("/api/cancel", "{}");
    server->job_end();
}

// Stopping the server cancels a running hash at once.
TEST_F(read_tools, stop_cancels_a_running_hash) {
    std::string file = dir.file("big.bin");
    { std::ofstream(file, std::ios::binary); }
    std::filesystem::resize_file(file, int64_t(16) << 30);
    start(file);
    post("/api/hash", "{}", 202);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(server->stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << "not the whole file";
    server.reset();
}

// ---- Strings -----------------------------------------------------------------

// "offset:length:kind:text" for each listed run.
std::vector<std::string> runs_of(const json &answer) {
    std::vector<std::string> out;
    for (const json &i : answer["items"])
        out.push_back(std::to_string(i["offset"].get<int64_t>()) + ":" + std::to_string(i["length"].get<int64_t>()) +
                      ":" + i["kind"].get<std::string>() + ":" + i["text"].get<std::string>() +
                      (i.contains("cut") ? ":cut" : ""));
    return out;
}

std::string utf16(const std::string &ascii) {
    std::string s;
    for (char c : ascii) s += {c, '\0'};
    return s;
}

struct strings_case {
    const char *name;
    std::string content;
    std::string query;
    std::vector<std::string> runs;
    int64_t next = -1;
    std::vector<staged_edit> edits = {};
};
void PrintTo(const strings_case &c, std::ostream *os) { *os << c.name; }

class strings_list : public read_tools, public ::testing::WithParamInterface<strings_case> {};

TEST_P(strings_list, gives_the_runs_of_the_range) {
    const strings_case &c = GetParam();
    start(dir.write("f.bin", c.content));
    for (const staged_edit &e : c.edits) post(e.route, stage_body(e));
    json answer = json::parse(get("/api/strings?" + c.query));
    EXPECT_EQ(runs_of(answer), c.runs) << answer.dump().substr(0, 500);
    EXPECT_EQ(answer["next"], c.next);
}

const std::string kFiveRuns = "one\x01" "two\x01" "three\x01" "four\x01" "five";
const std::string kPageCrossing = std::string(15995, '\0') + "across the page" + std::string(20, '\0');
const std::string kUtf16Crossing = std::string(15993, '\x01') + utf16("wide one") + "\x01";

INSTANTIATE_TEST_SUITE_P(
    cases, strings_list,
    ::testing::Values(
        strings_case{"ascii_of_at_least_four", std::string("\0\0hello\0ab\0world!\x01", 19), "",
                     {"2:5:ascii:hello", "11:6:ascii:world!"}},
        strings_case{"a_minimum_of_two", std::string("\0\0hello\0ab\0world!\x01", 19), "min=2",
                     {"2:5:ascii:hello", "8:2:ascii:ab", "11:6:ascii:world!"}},
        strings_case{"a_tab_is_printable", "a\tbc\x02", "", {"0:4:ascii:a\tbc"}},
        strings_case{"a_run_at_the_end_of_the_file", "\x03tail", "", {"1:4:ascii:tail"}},
        strings_case{"a_run_cut_by_the_range_end", "\x03headline\x03", "offset=1&length=4", {"1:4:ascii:head"}},
        strings_case{"a_run_cut_by_the_range_start", "\x03headline\x03", "offset=5&length=5", {"5:4:ascii:line"}},
        strings_case{"too_short_at_the_range_end", "\x03headline\x03", "offset=1&length=3", {}},
        strings_case{"utf16_on_an_even_offset", "\x05\x05" + utf16("hello") + std::string(2, '\x05'), "",
                     {"2:10:utf16:hello"}},
        strings_case{"utf16_on_an_odd_offset", "\x05" + utf16("hi there") + "\x05", "", {"1:16:utf16:hi there"}},
        strings_case{"utf16_at_the_end", "\x05" + utf16("last"), "", {"1:8:utf16:last"}},
        strings_case{"both_kinds_touching", "ABCDE" + std::string(1, '\0') + utf16("FGH"), "",
                     {"0:5:ascii:ABCDE", "4:8:utf16:EFGH"}},
        strings_case{"ascii_only", "\x05" + utf16("wide") + "\x05narrow\x05", "kinds=ascii", {"10:6:ascii:narrow"}},
        strings_case{"utf16_only", "\x05" + utf16("wide") + "\x05narrow\x05", "kinds=utf16", {"1:8:utf16:wide"}},
        strings_case{"across_a_page_of_the_reader", kPageCrossing, "", {"15995:15:ascii:across the page"}},
        strings_case{"utf16_across_a_page_of_the_reader", kUtf16Crossing, "", {"15993:16:utf16:wide one"}},
        strings_case{"offsets_of_the_edited_content", "\x05text\x05", "", {"0:6:ascii:teZZxt", "8:4:ascii:more"},
                     -1, {{"/api/insert", 3, "5a 5a"}, {"/api/delete", 0, "1"}, {"/api/insert", 7, "05 6d 6f 72 65"}}},
        strings_case{"paged_by_count", kFiveRuns, "min=3&count=2",
                     {"0:3:ascii:one", "4:3:ascii:two"}, 8},
        strings_case{"the_next_page", kFiveRuns, "min=3&count=2&from=8",
                     {"8:5:ascii:three", "14:4:ascii:four"}, 19},
        strings_case{"the_last_page", kFiveRuns, "min=3&count=2&from=19",
                     {"19:4:ascii:five"}}),
    [](const auto &info) { return std::string(info.param.name); });

// A request reads 8 MiB at most: a run that goes on past the window is left
// whole for the next request; a run longer than a window is listed cut at
// its end, and the next request skips the rest of it.
TEST_F(read_tools, strings_windows_of_8_mib) {
    const int64_t window = 8 << 20;
    std::string content(window + 100, '\x01');
    content.replace(window - 3, 8, "straddle");
    content.replace(10, 5, "first");
    start(dir.write("f.bin", content));
    json a = json::parse(get("/api/strings"));
    EXPECT_EQ(runs_of(a), std::vector<std::string>{"10:5:ascii:first"});
    EXPECT_EQ(a["next"], window - 3) << "the straddling run starts the next window";
    json b = json::parse(get("/api/strings?from=" + std::to_string(window - 3)));
    EXPECT_EQ(runs_of(b), std::vector<std::string>{std::to_string(window - 3) + ":8:ascii:straddle"});
    EXPECT_EQ(b["next"], -1);
}

TEST_F(read_tools, strings_a_run_longer_than_a_window_is_cut) {
    const int64_t window = 8 << 20;
    std::string content(window + 50, 'A');
    content.replace(window + 20, 3, "\x01ok");
    content += "\x02tail\x02";
    start(dir.write("f.bin", content));
    json a = json::parse(get("/api/strings?min=2"));
    ASSERT_EQ(a["items"].size(), 1u) << a.dump().substr(0, 300);
    EXPECT_EQ(a["items"][0]["offset"], 0);
    EXPECT_EQ(a["items"][0]["length"], window);
    EXPECT_EQ(a["items"][0]["cut"], true);
    EXPECT_EQ(a["items"][0]["text"].get<std::string>().size(), 200u) << "the text is shortened";
    EXPECT_EQ(a["next"], window);
    json b = json::parse(get("/api/strings?min=2&from=" + std::to_string(window)));
    EXPECT_EQ(runs_of(b), (std::vector<std::string>{std::to_string(window + 21) + ":29:ascii:ok" + std::string(27, 'A'),
                                                     std::to_string(window + 51) + ":4:ascii:tail"}))
        << "the rest of the cut run is skipped";
}

// A reference listing, byte by byte: ASCII runs, then UTF-16LE runs on both
// parities, ordered by offset.
std::vector<std::string> reference_runs(const std::string &s, size_t min) {
    std::vector<std::pair<size_t, std::string>> found;
    auto printable = [](unsigned char c) { return (c >= 0x20 && c <= 0x7e) || c == '\t'; };
    for (size_t i = 0; i < s.size();) {
        size_t j = i;
        while (j < s.size() && printable(s[j])) j++;
        if (j - i >= min) found.push_back({i, std::to_string(i) + ":" + std::to_string(j - i) + ":ascii"});
        i = j > i ? j : i + 1;
    }
    for (size_t parity = 0; parity < 2; parity++)
        for (size_t i = parity; i + 1 < s.size();) {
            size_t j = i;
            while (j + 1 < s.size() && printable(s[j]) && s[j + 1] == 0) j += 2;
            if ((j - i) / 2 >= min) found.push_back({i, std::to_string(i) + ":" + std::to_string(j - i) + ":utf16"});
            i = j > i ? j : i + 2;
        }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto &f : found) out.push_back(f.second);
    return out;
}

// Pages of a few runs at a time, over windows of 8 MiB, list exactly what a
// plain byte-by-byte listing of the whole file finds.
TEST_F(read_tools, strings_paged_through_windows_match_a_reference) {
    std::string content = mixed_bytes((16 << 20) + 5000);
    // Sprinkle runs, some across the windows' and the reader's pages' ends.
    const int64_t places[] = {0, 15998, 1000000, (8 << 20) - 5, (8 << 20) - 2, (16 << 20) - 7, (16 << 20) + 4990};
    for (int64_t at : places) {
        std::string run = (at & 1) ? utf16("odd wide") : "plain text";
        content.replace(static_cast<size_t>(at), std::min(run.size(), content.size() - static_cast<size_t>(at)), run);
    }
    start(dir.write("f.bin", content));
    std::vector<std::string> paged;
    for (int64_t from = 0, requests = 0; from >= 0 && requests < 10000; requests++) {
        json a = json::parse(get("/api/strings?min=6&count=50&from=" + std::to_string(from)));
        for (const json &i : a["items"])
            paged.push_back(std::to_string(i["offset"].get<int64_t>()) + ":" + std::to_string(i["length"].get<int64_t>()) +
                            ":" + i["kind"].get<std::string>());
        from = a["next"];
    }
    EXPECT_EQ(paged, reference_runs(content, 6));
}

}  // namespace
