// Runs `hexview serve` on small files and checks every route over loopback:
// the answers, each refusal of the guards and each bad input, which must
// change nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>

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
        int got = r->status;
        std::string body = r->body;
        if (got == 202 && status != 202) std::tie(got, body) = server->job_end();  // slow on a busy machine
        EXPECT_EQ(got, status) << path << " " << json << ": " << body;
        return body;
    }
    std::string staged() { return get("/api/staged"); }
};

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Well-formed UTF-8: no stray continuation byte, overlong form, surrogate or
// code point past U+10FFFF.
bool valid_utf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= text.size() + (extra == 0)) return false;
        uint32_t cp = extra ? c & (0x3f >> extra) : c;
        for (int k = 1; k <= extra; k++) {
            auto d = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((d >> 6) != 2) return false;
            cp = cp << 6 | (d & 0x3f);
        }
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp < 0xe000)) return false;
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

TEST_F(serve_api, info_and_pages_pass_the_engine_json_through) {
    std::string info = get("/api/info");
    EXPECT_TRUE(has(info, "\"info\":{\"name\":\"" + file + "\",\"size\":38,\"is_rw\":1,")) << info;
    EXPECT_TRUE(has(info, "\"writable\":true")) << info;
    EXPECT_TRUE(has(info, "\"limits\":{\"max_pattern_bytes\":4096,\"max_stored_hits\":10000,\"max_edits\":1000,"
                          "\"max_runs\":10000,\"run_bytes\":64,\"max_staged_bytes\":1073741824}}"))
        << info;
    std::string page = get("/api/page?offset=0x10&rows=1");
    EXPECT_EQ(page,
              "{\"offset\":16,\"size\":38,\"rows\":[{\"off\":\"0x0000000000000010\",\"hex\":\"65 72 76 65 21 20 30 31  "
              "32 33 34 35 36 37 38 39\",\"ascii\":\"erve! 0123456789\"}],\"version\":0}");
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
                     "\"size\":38,\"undo\":1,\"redo\":2,\"version\":5,\"path\":\"" + file + "\"}");
    state = post("/api/redo", "{}");
    EXPECT_TRUE(has(state, "\"op\":\"insert\"") && has(state, "\"undo\":2,\"redo\":1")) << state;
    // A new edit ends the redo chain.
    EXPECT_TRUE(has(post("/api/write", R"({"offset":9,"hex":"00"})"), "\"undo\":3,\"redo\":0"));
    post("/api/redo", "{}", 409);
    EXPECT_EQ(post("/api/discard", "{}"), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0,\"version\":8,\"path\":\"" + file + "\"}");
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
    EXPECT_EQ(post("/api/save", "{\"confirm\":\"" + file + "\"}"), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0,\"version\":2,\"path\":\"" + file + "\"}");
    EXPECT_EQ(read_file(file), to_bytes("hello, hexview serve! 0123456789abcdef"));
}

// After a save as, editing goes on in the new file: the next save writes
// there and the file it came from is never touched again.
TEST_F(serve_api, save_as_writes_a_copy_goes_on_with_it_and_asks_before_replacing) {
    post("/api/delete", R"({"offset":0,"length":7})");
    std::string copy = dir.file("copy.bin");
    std::string state = post("/api/save-as", R"({"path":"copy.bin"})");  // beside the open file
    EXPECT_TRUE(has(state, "\"saved\":\"" + copy + "\"")) << state;
    EXPECT_TRUE(has(state, "\"staged\":[],\"size\":31,\"undo\":0")) << state;
    EXPECT_EQ(read_file(copy), to_bytes(kContent.substr(7)));
    EXPECT_EQ(read_file(file), to_bytes(kContent));
    EXPECT_TRUE(has(get("/api/info"), "\"path\":\"" + copy + "\"")) << get("/api/info");

    post("/api/write", R"({"offset":0,"hex":"58"})");
    EXPECT_TRUE(has(post("/api/save", "{\"confirm\":\"" + file + "\"}", 400), copy)) << "the open file is the copy";
    post("/api/save", "{\"confirm\":\"" + copy + "\"}");
    std::string patched = kContent.substr(7);
    patched[0] = 'X';
    EXPECT_EQ(read_file(copy), to_bytes(patched));
    EXPECT_EQ(read_file(file), to_bytes(kContent));

    // Onto an existing file: only when told to replace it.
    post("/api/write", R"({"offset":1,"hex":"59"})");
    EXPECT_TRUE(has(post("/api/save-as", "{\"path\":\"" + file + "\"}", 409), "the file exists"));
    EXPECT_EQ(read_file(file), to_bytes(kContent));
    post("/api/save-as", "{\"path\":\"" + file + "\",\"overwrite\":true}");
    patched[1] = 'Y';
    EXPECT_EQ(read_file(file), to_bytes(patched));
    EXPECT_TRUE(has(post("/api/save-as", "{\"path\":\"" + file + "\",\"overwrite\":true}", 400), "use Save"));
}

// Typed bytes sent with "merge" join the last edit when they go on from its
// end: a typed run is one edit and one undo step; anything else is its own.
// A save that fails while it rewrites a hard-linked file in place. The server
// runs in a mount namespace of its own on a small file system (tmpfs) with
// no room for the file's new content: the file is left partly written, and
// only the copy the save wrote first (in the user's state folder, as the
// file has two names) holds the edited content.
class serve_failed_rewrite : public ::testing::Test {
protected:
    temp_dir dir;
    std::string disk = dir.file("disk");
    std::string file = disk + "/data.bin";
    bytes original = iota_bytes(16384, 3);
    std::unique_ptr<serve_process> server;

    void SetUp() override {
        std::string src = dir.write("src.bin", original);
        ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
        if (std::system(("unshare -m sh -c 'mount -t tmpfs tmpfs " + disk + "' 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "no mount namespace with a tmpfs here (needs root)";
        std::string script = "mount -t tmpfs -o size=20k tmpfs " + disk + " && cp " + src + " " + file + " && ln " +
                             file + " " + disk + "/link.bin && exec \"$@\"";
        server = std::make_unique<serve_process>(HEXVIEW_TOOL_PATH, std::vector<std::string>{file},
                                                 std::vector<std::string>{"unshare", "-m", "sh", "-c", script, "sh"});
        ASSERT_TRUE(server->started()) << server->output();
    }
    void TearDown() override {
        if (server) {
            EXPECT_EQ(server->stop(), 0) << "the content was saved: no edit is left unsaved";
        }
    }
    std::pair<int, std::string> post(const std::string &path, const std::string &json) {
        auto r = server->post(path, json);
        if (!r) return {0, "no answer"};
        return r->status == 202 ? server->job_end() : std::pair<int, std::string>{r->status, r->body};
    }
    std::string body_of(const std::string &path) {
        auto r = server->get(path);
        return r ? r->body : "no answer";
    }
};

TEST_F(serve_failed_rewrite, keeps_the_copy_refuses_undo_and_discard_and_saves_a_copy) {
    ASSERT_EQ(post("/api/insert", "{\"offset\":0,\"hex\":\"" + std::string(2 * 8192, 'a') + "\"}").first, 200);
    auto [status, failure] = post("/api/save", "{\"confirm\":\"" + file + "\"}");
    EXPECT_EQ(status, 400);
    std::smatch copy;
    // A file with two names keeps its copy in the user's state folder.
    ASSERT_TRUE(std::regex_search(failure, copy, std::regex(" - the content is whole in ([^\"]+\\.hxcopy-[0-9a-f]{8})")))
        << failure;

    // The state says where the content is; pages show it whole, from the copy.
    EXPECT_TRUE(has(body_of("/api/staged"), "\"at_risk\":\"" + copy[1].str() + "\"")) << body_of("/api/staged");
    EXPECT_TRUE(has(body_of("/api/page?offset=0x1ff0&rows=2&mode=raw"),
                    "\"bytes_hex\":\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"}, {\"off\":\"0x0000000000002000\",\"bytes_hex\":"
                    "\"030405060708090a0b0c0d0e0f101112\""))
        << body_of("/api/page?offset=0x1ff0&rows=2&mode=raw");

    // Nothing starts again from the partly written file, or drops the content.
    std::string src = dir.file("src.bin");
    for (std::string route : {"/api/undo", "/api/discard", "/api/open"}) {
        auto [refused, why] = post(route, route == "/api/open" ? "{\"path\":\"" + src + "\",\"discard\":true}" : "{}");
        EXPECT_EQ(refused, 409) << route;
        EXPECT_TRUE(has(why, "may be partly written; the edited content is whole only in " + copy[1].str() +
                                 " - save a copy (Save as) first"))
            << why;
    }
    EXPECT_TRUE(has(body_of("/api/staged"), "\"len\":8192")) << "the edit stays staged";

    // Typed bytes that would join the last edit restage the list: refused
    // like an undo, whichever route asks, and the server's list and the
    // engine's still agree. So is a step of several edits, which a refusal
    // part-way would have to restage.
    const std::vector<std::pair<std::string, std::string>> restaging = {
        {"/api/insert", "{\"offset\":8192,\"hex\":\"bb\",\"merge\":true}"},
        {"/api/replace", "{\"offsets\":\"0,1\",\"find\":\"aa\",\"hex\":\"dd\"}"},
    };
    for (const auto &[route, json] : restaging) {
        auto [refused, why] = post(route, json);
        EXPECT_EQ(refused, 409) << route << ": " << why;
        EXPECT_TRUE(has(why, "may be partly written")) << why;
    }
    std::string after_typing = body_of("/api/staged");
    EXPECT_TRUE(has(after_typing, "\"}],\"size\":24576,\"undo\":1,")) << "the one insert alone: " << after_typing;
    EXPECT_TRUE(has(body_of("/api/page?offset=0x1ff0&rows=2&mode=raw"),
                    "\"bytes_hex\":\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"}, {\"off\":\"0x0000000000002000\",\"bytes_hex\":"
                    "\"030405060708090a0b0c0d0e0f101112\""));

    // A copy saved elsewhere holds the edited content, and editing goes on there.
    std::string saved = dir.file("saved.bin");
    EXPECT_EQ(post("/api/save-as", "{\"path\":\"" + saved + "\"}").first, 200);
    bytes expected(8192 + original.size(), 0xaa);
    std::copy(original.begin(), original.end(), expected.begin() + 8192);
    EXPECT_EQ(read_file(saved), expected);
    EXPECT_FALSE(has(body_of("/api/staged"), "at_risk")) << body_of("/api/staged");
    EXPECT_TRUE(has(body_of("/api/info"), "\"path\":\"" + saved + "\""));
}

TEST_F(serve_api, opens_another_file_of_the_folder) {
    std::string other = dir.write("other.bin", std::string("another file's bytes"));
    std::string files = get("/api/files");
    EXPECT_EQ(files, "{\"folder\":\"" + dir.path() + "\",\"files\":[\"f.bin\",\"other.bin\"],\"more\":false}");
    post("/api/write", "{\"offset\":0,\"hex\":\"48\"}");
    EXPECT_TRUE(has(post("/api/open", "{\"path\":\"other.bin\"}", 409),
                    "unsaved edits: 1 staged edit(s) would be dropped - save them, or confirm with \\\"discard\\\""));
    std::string opened = post("/api/open", "{\"path\":\"other.bin\",\"discard\":true}");
    EXPECT_TRUE(has(opened, "\"path\":\"" + other + "\",\"writable\":true,\"version\":2,\"undo\":0,\"redo\":0,")) << opened;
    EXPECT_TRUE(has(opened, ",\"notice\":\"\"}")) << opened;
    EXPECT_TRUE(has(get("/api/page?rows=1"), "\"ascii\":\"another file's b\""));
    EXPECT_TRUE(has(staged(), "{\"staged\":[],\"size\":20,")) << staged();
    EXPECT_EQ(read_file(file), bytes(kContent.begin(), kContent.end())) << "the dropped edit was never saved";
    // Editing goes on in the file now open, with paths from its folder.
    post("/api/write", "{\"offset\":0,\"hex\":\"41\"}");
    post("/api/save", "{\"confirm\":\"" + other + "\"}");
    EXPECT_EQ(read_file(other)[0], 'A');
}

struct open_refusal_case {
    const char *name;
    const char *path;  // in the folder; made by the test as `kind` says
    const char *kind;  // "none", "folder", "fifo"
    int status;
    const char *says;  // followed by the path
};

class serve_open_refusal : public serve_api, public ::testing::WithParamInterface<open_refusal_case> {};

TEST_P(serve_open_refusal, leaves_the_open_file_and_its_edits) {
    const open_refusal_case &c = GetParam();
    std::string path = dir.file(c.path);
    const std::string kind = c.kind;
    if (kind == "folder") {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else if (kind == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    }
    post("/api/write", "{\"offset\":0,\"hex\":\"48\"}");
    EXPECT_TRUE(has(post("/api/open", std::string("{\"path\":\"") + c.path + "\",\"discard\":true}", c.status),
                    c.says + path))
        << c.name;
    EXPECT_TRUE(has(get("/api/info"), "\"path\":\"" + file + "\""));
    EXPECT_TRUE(has(staged(), "\"op\":\"write\"")) << "the edit stays";
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.bin"))) << "an open makes no file";
}

INSTANTIATE_TEST_SUITE_P(cases, serve_open_refusal,
                         ::testing::Values(open_refusal_case{"missing", "missing.bin", "none", 404, "no such file: "},
                                           open_refusal_case{"folder", "sub", "folder", 400, "is a folder: "},
                                           open_refusal_case{"fifo", "pipe", "fifo", 400,
                                                             "not a plain file (a pipe, device or socket): "}),
                         [](const auto &info) { return std::string(info.param.name); });

// Run as another user: a file it may read but not write opens read-only, as
// at the start, and says so; one it may not read at all does not open, and
// the file open before opens again with its edits.
struct open_as_user_case {
    const char *name;
    mode_t mode;
    int status;
    const char *says;  // after the file's path
};

void PrintTo(const open_as_user_case &c, std::ostream *os) { *os << c.name; }

class serve_open_as_another_user : public ::testing::TestWithParam<open_as_user_case> {};

TEST_P(serve_open_as_another_user, opens_what_it_may) {
    const open_as_user_case &c = GetParam();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the server as another user";
    temp_dir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string file = dir.write("f.bin", kContent), other = dir.write("other.bin", std::string("other"));
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    ASSERT_EQ(chmod(other.c_str(), c.mode), 0);
    // The command and its library, where the other user may run them whatever
    // the build folder's permissions.
    namespace fs = std::filesystem;
    fs::path built(HEXVIEW_TOOL_PATH), library = built.parent_path().parent_path().parent_path() /
                                                 "libquillmar-hexview.so.1";
    if (!fs::exists(library)) GTEST_SKIP() << "the library is not beside the build's tools/ folder";
    std::string bin = dir.file("bin");
    fs::create_directory(bin);
    fs::copy_file(built, bin + "/hexview");
    fs::copy_file(library, bin + "/libquillmar-hexview.so.1");
    ASSERT_EQ(chmod(bin.c_str(), 0755), 0);
    serve_process server(bin + "/hexview", {file},
                         {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env",
                          "LD_LIBRARY_PATH=" + bin});
    ASSERT_TRUE(server.started()) << server.output();
    ASSERT_EQ(server.post("/api/write", "{\"offset\":0,\"hex\":\"48\"}")->status, 200);
    auto r = server.post("/api/open", "{\"path\":\"other.bin\",\"discard\":true}");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    EXPECT_TRUE(has(r->body, other + c.says)) << r->body;
    std::string info = server.get("/api/info")->body;
    if (c.status == 200) {
        EXPECT_TRUE(has(info, "\"path\":\"" + other + "\",\"writable\":false")) << info;
        auto write = server.post("/api/write", "{\"offset\":0,\"hex\":\"48\"}");
        EXPECT_EQ(write->status, 409) << write->body;
        EXPECT_TRUE(has(write->body, "the file is open read-only")) << write->body;
        EXPECT_TRUE(has(server.get("/api/page?rows=1")->body, "\"ascii\":\"other.")) << server.get("/api/page?rows=1")->body;
    } else {
        EXPECT_TRUE(has(info, "\"path\":\"" + file + "\",\"writable\":true")) << info;
        EXPECT_TRUE(has(server.get("/api/staged")->body, "\"op\":\"write\"")) << "the edit is staged again";
        EXPECT_TRUE(has(server.get("/api/page?rows=1")->body, "\"ascii\":\"Hello, hexview s\""));
        ASSERT_EQ(server.post("/api/discard", "{}")->status, 200);
    }
}

INSTANTIATE_TEST_SUITE_P(cases, serve_open_as_another_user,
                         ::testing::Values(open_as_user_case{"read_only", 0444, 200, " cannot be written ("},
                                           open_as_user_case{"unreadable", 0600, 400, ""}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(serve_api, typed_runs_join_the_last_edit) {
    post("/api/write", R"({"offset":0,"hex":"41"})");
    post("/api/write", R"({"offset":1,"hex":"42 43","merge":true})");
    std::string state = post("/api/write", R"({"offset":5,"hex":"44","merge":true})");  // not where the run ends
    EXPECT_TRUE(has(state, R"("len":3,"bytes":"414243"})")) << state;
    EXPECT_TRUE(has(state, "\"undo\":2")) << state;
    post("/api/insert", R"({"offset":3,"hex":"31","merge":true})");  // another kind
    state = post("/api/insert", R"({"offset":4,"hex":"32","merge":true})");
    EXPECT_TRUE(has(state, R"({"op":"insert","offset":"0x000000000003","len":2,"bytes":"3132"})")) << state;
    state = post("/api/undo", "{}");
    EXPECT_FALSE(has(state, "insert")) << "the typed run goes in one step";
    EXPECT_TRUE(has(get("/api/page?rows=1"), "\"ascii\":\"ABCloD hexview s")) << get("/api/page?rows=1");

    // Bytes that join a run are checked as any staged bytes are: what the
    // engine would refuse is refused, and nothing joins.
    post("/api/write", R"({"offset":8,"hex":"45"})");
    for (const char *hex : {"a b c", "0x43", "zz", "", "4"}) {
        std::string json = std::string(R"({"offset":9,"hex":")") + hex + R"(","merge":true})";
        EXPECT_TRUE(has(post("/api/write", json, 400), "invalid hex bytes: ")) << hex;
    }
    EXPECT_TRUE(has(staged(), R"({"op":"write","offset":"0x000000000008","len":1,"bytes":"45"})")) << staged();
    EXPECT_TRUE(has(post("/api/write", R"({"offset":9,"hex":"46:4A","merge":true})"), R"("len":3,"bytes":"45464a"})"));
}

// The first Ctrl-C with unsaved edits warns and the server goes on; a second
// one stops it. Without edits, or with --force, the first one stops it.
TEST_F(serve_api, ctrl_c_with_unsaved_edits_needs_a_second_one) {
    struct { bool edit; bool force; int signals_to_stop; } cases[] = {{true, false, 2}, {false, false, 1}, {true, true, 1}};
    for (const auto &c : cases) {
        if (server) server->stop();
        start(c.force ? std::vector<std::string>{"--force"} : std::vector<std::string>{});
        if (c.edit) post("/api/write", R"({"offset":0,"hex":"00"})");
        for (int n = 1; n < c.signals_to_stop; n++) {
            kill(server->pid(), SIGINT);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_TRUE(has(get("/api/staged"), "\"undo\":1")) << "still serving, the edit kept";
        }
        kill(server->pid(), SIGINT);
        EXPECT_EQ(server->wait_exit(), 0) << "edit " << c.edit << " force " << c.force;
        server.reset();
        EXPECT_EQ(read_file(file), to_bytes(kContent));
    }
}

// The sizes a compare answers are those of what was compared, even when the
// open file was renamed meanwhile.
TEST_F(serve_api, compare_sizes_come_from_what_was_compared) {
    dir.write("other.bin", kContent + "!");
    std::filesystem::rename(file, dir.file("renamed.bin"));
    std::string r = post("/api/compare", R"({"path":"other.bin"})");
    EXPECT_TRUE(has(r, "\"size\":38,\"other_size\":39")) << r;
}

// UTF-16 text is encoded as UTF-16LE by the server, non-ASCII included.
TEST_F(serve_api, utf16_search_encodes_the_text) {
    std::string cafe16("c\0a\0f\0\xe9\0", 8);
    std::string f = dir.write("u.bin", "caf\xe9" + cafe16);
    if (server) server->stop();
    file = f;
    start();
    EXPECT_EQ(post("/api/search", R"({"mode":"utf16","pattern":"café"})"), "{\"count\":1,\"stored\":1,\"last\":4,\"length\":8}");
    EXPECT_TRUE(has(post("/api/search", "{\"mode\":\"utf16\",\"pattern\":\"\"}", 400), "error"));
}

// The histogram counts all 256 values of the edited content; the entropy
// strip gives a figure per region, a sparse 64 GiB file included.
TEST_F(serve_api, histogram_and_entropy_map_of_the_edited_content) {
    post("/api/write", R"({"offset":0,"hex":"00 00"})");  // "He" -> two zeros
    std::string h = get("/api/histogram");
    EXPECT_TRUE(has(h, "{\"offset\":0,\"length\":38,\"sampled\":38,")) << h;
    EXPECT_TRUE(has(h, "\"counts\":[2,")) << h;
    EXPECT_EQ(std::count(h.begin(), h.end(), ','), 4 + 255) << h;
    EXPECT_TRUE(has(get("/api/histogram?offset=0x16&length=10"), "\"counts\":[0,")) << "digits only";
    std::string m = get("/api/entropy-map?regions=2");
    EXPECT_TRUE(has(m, "{\"size\":38,\"region\":19,\"entropy\":[")) << m;
    EXPECT_TRUE(has(get("/api/histogram?offset=x", 400), "invalid offset: x"));
    EXPECT_EQ(get("/api/bytes?offset=0&length=3"), "{\"offset\":0,\"length\":3,\"hex\":\"00006c\"}");
    EXPECT_TRUE(has(get("/api/bytes?offset=0&length=16777217", 413), "1 MiB of bytes at most")) << "a clear limit";

    server->stop();
    server.reset();
    file = dir.file("sparse.bin");
    { std::ofstream(file, std::ios::binary); }
    std::filesystem::resize_file(file, int64_t(64) << 30);
    start({"--read-only"});
    m = get("/api/entropy-map?regions=1024");
    EXPECT_TRUE(has(m, "\"region\":67108864,\"entropy\":[0.000,")) << m.substr(0, 200);
    h = get("/api/histogram");
    EXPECT_TRUE(has(h, "\"sampled\":1048576,\"entropy\":0.000,\"counts\":[1048576,0,")) << h.substr(0, 200);
}

// A search of a multi-GiB sparse file runs in the background: the start answers at
// once (202), pages are answered beside it, its progress goes up, changes and
// a second long call are refused with the engine's "busy" message, and a
// cancel ends it as cancelled. A later search runs to its end.
TEST_F(serve_api, long_search_runs_beside_pages_and_is_cancelled) {
    server->stop();
    server.reset();
    file = dir.file("big.bin");
    const int64_t size = int64_t(16) << 30;
    { std::ofstream(file, std::ios::binary); }
    std::filesystem::resize_file(file, size);
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(size - 100);
        f << "NEEDLE";
    }
    start();
    auto number = [](const std::string &json, const std::string &key) {
        std::smatch m;
        return std::regex_search(json, m, std::regex("\"" + key + "\":(-?[0-9]+)")) ? std::stoll(m[1]) : -1;
    };
    // 256 zero bytes: a pattern that can match zeros makes the search read the holes.
    std::string zeros;
    for (int i = 0; i < 256; i++) zeros += "00";
    std::string started = post("/api/search", "{\"mode\":\"hex\",\"pattern\":\"" + zeros + "\"}", 202);
    EXPECT_TRUE(has(started, "\"op\":\"search\",\"state\":\"running\"")) << started;
    const std::string busy = "busy: a search is running (cancel it or wait for its end)";
    EXPECT_TRUE(has(get("/api/page?offset=0x100000&rows=2"), "\"off\":\"0x0000000000100000\"")) << "a page beside it";
    EXPECT_TRUE(has(post("/api/compare", R"({"path":"big.bin"})", 409), busy));
    EXPECT_TRUE(has(post("/api/search", R"({"mode":"ascii","pattern":"x"})", 409), busy));
    EXPECT_TRUE(has(post("/api/write", R"({"offset":0,"hex":"41"})", 409), busy)) << "an edit is refused";
    EXPECT_EQ(staged(), "{\"staged\":[],\"size\":" + std::to_string(size) + ",\"undo\":0,\"redo\":0,\"version\":0,\"path\":\"" + file + "\"}");
    EXPECT_TRUE(has(get("/api/hits", 409), busy));

    int64_t first = -1, later = -1;
    for (int i = 0; i < 200 && later <= first; i++) {  // the progress goes up
        std::string s = get("/api/job");
        if (!has(s, "\"state\":\"running\"")) FAIL() << "ended before it was seen going up: " << s;
        int64_t done = number(s, "done");
        EXPECT_EQ(number(s, "total"), done > 0 ? size : number(s, "total"));
        if (first < 0 && done > 0) first = done;
        else if (first > 0) later = done;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GT(later, first);
    EXPECT_TRUE(has(get("/api/page?offset=0x200000000&rows=1"), "\"off\":\"0x0000000200000000\""));
    EXPECT_EQ(post("/api/cancel", "{\"job\":12345}"), "{\"cancelled\":false}") << "another job's cancel";
    EXPECT_EQ(post("/api/cancel", "{}"), "{\"cancelled\":true}");
    std::string ended;
    for (int i = 0; i < 100; i++) {
        ended = get("/api/job");
        if (!has(ended, "\"state\":\"running\"")) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(has(ended, "\"state\":\"cancelled\"")) << ended;
    EXPECT_TRUE(has(ended, "\"answer\":{\"error\":\"cancelled")) << ended;
    EXPECT_EQ(get("/api/hits"), "{\"count\":0,\"stored\":0,\"from\":0,\"items\":[]}") << "no partial hits";

    std::string whole = post("/api/search", R"({"mode":"ascii","pattern":"NEEDLE","start":"0x3ffff0000"})");
    EXPECT_EQ(whole, "{\"count\":1,\"stored\":1,\"last\":" + std::to_string(size - 100) + ",\"length\":6}");
    EXPECT_TRUE(has(post("/api/write", R"({"offset":0,"hex":"41"})"), "\"undo\":1")) << "edits again";
}

// Stopping the server cancels the search it runs and ends cleanly at once.
TEST_F(serve_api, stop_cancels_a_running_search) {
    server->stop();
    server.reset();
    file = dir.file("big.bin");
    { std::ofstream(file, std::ios::binary); }
    std::filesystem::resize_file(file, int64_t(16) << 30);
    start();
    std::string zeros;
    for (int i = 0; i < 256; i++) zeros += "00";
    post("/api/search", "{\"mode\":\"hex\",\"pattern\":\"" + zeros + "\"}", 202);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(server->stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << "not the whole scan";
    server.reset();
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

// The page and its files hold nothing of the open file: they come without a
// token, and no answer sets a cookie.
TEST_F(serve_api, page_and_assets_are_served_with_the_security_headers) {
    auto c = server->client();
    auto page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_FALSE(page->has_header("Set-Cookie"));
    EXPECT_TRUE(has(page->body, "<script type=\"module\" src=\"/app.js\""));
    EXPECT_FALSE(has(page->body, "Hello")) << "no byte of the file";
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    std::string csp = page->get_header_value("Content-Security-Policy");
    EXPECT_TRUE(has(csp, "default-src 'none'") && has(csp, "script-src 'self';")) << csp;
    EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
    auto script = c.Get("/app.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 200);
    EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_FALSE(server->get("/api/info")->has_header("Set-Cookie"));
}

// The printed address's launch token buys one session; Enter where the
// server runs prints a fresh address, whose token buys another.
TEST_F(serve_api, a_launch_token_works_once_and_fresh_ones_come_on_request) {
    auto again = server->exchange(server->launch());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 403);
    EXPECT_TRUE(has(again->body, "this address was used already")) << again->body;
    std::string fresh = server->fresh_launch();
    ASSERT_EQ(fresh.size(), 64u) << server->output();
    EXPECT_NE(fresh, server->launch());
    auto second = server->exchange(fresh);
    ASSERT_TRUE(second);
    ASSERT_EQ(second->status, 200) << second->body;
    EXPECT_FALSE(has(second->body, server->token())) << "a session token of its own";
    std::string other = second->body.substr(10, 64);
    auto info = server->client().Get("/api/info", {{"X-Hexview-Token", other}});
    ASSERT_TRUE(info);
    EXPECT_EQ(info->status, 200) << "the second tab's session";
    EXPECT_EQ(get("/api/info").find("\"writable\":true") != std::string::npos, true) << "the first still works";
    auto reused = server->exchange(fresh);
    ASSERT_TRUE(reused);
    EXPECT_EQ(reused->status, 403);
}

// A launch token that is not traded in time buys nothing, and the page says
// why; one traded already says so, in words that tell the person to stop the
// server when it was not them.
TEST_F(serve_api, a_launch_token_expires_and_a_used_one_says_so) {
    server.reset();
    start({"--launch-seconds", "1"});
    std::string late = server->fresh_launch();
    ASSERT_EQ(late.size(), 64u) << server->output();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the token's own clock, not a measured one
    const std::vector<std::tuple<const char *, std::string, const char *>> cases = {
        {"past its time", late, "this address expired (an address works once, within 1 seconds"},
        {"past its time, again", late, "this address expired"},
        {"used already", server->launch(), "this address was used already. If you did not open it in another tab, "
                                           "someone else may have: stop hexview serve"},
        {"never printed", std::string(64, 'a'), "this address is not from this server"},
    };
    for (const auto &[name, launch, says] : cases) {
        auto r = server->exchange(launch);
        ASSERT_TRUE(r) << name;
        EXPECT_EQ(r->status, 403) << name;
        EXPECT_TRUE(has(r->body, says)) << name << ": " << r->body;
    }
    EXPECT_TRUE(has(server->output(), "within 1 seconds")) << "the printed address says how long it works";
}

// Where the system tells who made a connection's other end, another user's
// program cannot trade a launch token it read (from the browser's command
// line, say), and the token stays good for its owner.
TEST_F(serve_api, another_user_cannot_trade_a_launch_token) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to send a request as another user";
    if (!std::filesystem::exists("/proc/net/tcp")) GTEST_SKIP() << "the system does not list sockets' users";
    std::string launch = server->fresh_launch();
    ASSERT_EQ(launch.size(), 64u) << server->output();
    std::string exchange = "POST /api/session HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) +
                           "\r\nOrigin: " + server->origin() + "\r\nContent-Type: application/json\r\n" +
                           "X-Hexview-Launch: " + launch + "\r\nContent-Length: 0\r\n\r\n";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        std::string answer = raw_exchange(server->port(), exchange);
        _exit(write(out[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()) ? 0 : 4);
    }
    close(out[1]);
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 403 ")) << answer;
    EXPECT_TRUE(has(answer, "opened by another user's program (user id 65534)")) << answer;
    auto mine = server->exchange(launch);
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine->status, 200) << "the owner's tab still gets in: " << mine->body;
}

// A change carries the version of the content its page saw: one made on
// another file or older edits is refused whole, with a reason the page acts
// on; one in step, or one that names no version, is made.
TEST_F(serve_api, a_change_made_on_an_older_version_is_refused) {
    auto change = [&](const std::string &path, const std::string &json, const std::string &seen) {
        httplib::Headers h = server->post_headers();
        if (!seen.empty()) h.emplace("X-Hexview-Version", seen);
        return server->client().Post(path, h, json, "application/json");
    };
    ASSERT_EQ(change("/api/write", R"({"offset":0,"hex":"41"})", "0")->status, 200);  // version 0 -> 1
    std::string other = dir.write("other.bin", std::string("other"));
    const std::vector<std::tuple<const char *, std::string, std::string>> stale = {
        {"/api/write", R"({"offset":1,"hex":"42"})", "0"},
        {"/api/insert", R"({"offset":1,"hex":"42","merge":true})", "0"},
        {"/api/delete", R"({"offset":1,"length":1})", "0"},
        {"/api/undo", "{}", "0"},
        {"/api/redo", "{}", "7"},
        {"/api/discard", "{}", "0"},
        {"/api/fill", R"({"offset":0,"length":2,"hex":"00"})", "0"},
        {"/api/paste", R"({"offset":0,"hex":"00","insert":false})", "0"},
        {"/api/open", R"({"path":"other.bin","discard":true})", "0"},
        {"/api/save", "{\"confirm\":\"" + file + "\"}", "0"},
        {"/api/save-as", R"({"path":"copy.bin"})", "0"},
    };
    for (const auto &[path, json, seen] : stale) {
        auto r = change(path, json, seen);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 409) << path << ": " << r->body;
        EXPECT_EQ(r->body, R"({"error":"the file or its edits changed in another tab","reason":"stale"})") << path;
    }
    EXPECT_TRUE(has(staged(), "\"undo\":1,\"redo\":0,\"version\":1")) << staged();
    EXPECT_FALSE(std::filesystem::exists(dir.file("copy.bin")));
    EXPECT_EQ(change("/api/write", R"({"offset":1,"hex":"42"})", "1")->status, 200) << "in step";
    EXPECT_EQ(change("/api/undo", "{}", "")->status, 200) << "a change that names no version";
    EXPECT_EQ(change("/api/search", R"({"mode":"hex","pattern":"41"})", "0")->status, 200) << "a read is no change";
}

// A launch sent by a client that closed its side (it cannot read the answer,
// which another user would then have spent for nothing) is refused, and the
// address stays good for its owner.
TEST_F(serve_api, a_launch_from_a_connection_that_closed_is_refused_and_kept) {
    int probe = socket(AF_NETLINK, SOCK_DGRAM, 4 /* NETLINK_SOCK_DIAG */);
    if (probe < 0) GTEST_SKIP() << "the system tells nothing of its sockets' owners here";
    close(probe);
    std::string launch = server->fresh_launch();
    ASSERT_EQ(launch.size(), 64u) << server->output();
    std::string exchange = "POST /api/session HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) +
                           "\r\nOrigin: " + server->origin() + "\r\nContent-Type: application/json\r\n" +
                           "X-Hexview-Launch: " + launch + "\r\nContent-Length: 0\r\n\r\n";
    int sock = connect_loopback(server->port());
    ASSERT_GE(sock, 0);
    ASSERT_EQ(send(sock, exchange.data(), exchange.size(), MSG_NOSIGNAL), static_cast<ssize_t>(exchange.size()));
    shutdown(sock, SHUT_WR);
    std::string answer;
    char buf[4096];
    for (ssize_t n; (n = recv(sock, buf, sizeof buf, 0)) > 0;) answer.append(buf, static_cast<size_t>(n));
    close(sock);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 403 ")) << answer;
    EXPECT_TRUE(has(answer, "the program that sent this is gone")) << answer;
    auto mine = server->exchange(launch);
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine->status, 200) << "the owner's tab still gets in: " << mine->body;
}

// Each refusal: a JSON error, the status, and nothing read or changed.
struct refusal_case {
    const char *name;
    const char *method;
    const char *path;
    httplib::Headers headers;  // TOKEN, COOKIE, LAUNCH and ORIGIN stand for the real ones
    int status;
    const char *says;
};

void PrintTo(const refusal_case &c, std::ostream *os) { *os << c.name; }

class serve_refusal : public serve_api, public ::testing::WithParamInterface<refusal_case> {};

TEST_P(serve_refusal, answers_with_an_error_and_changes_nothing) {
    const refusal_case &c = GetParam();
    auto real = [&](std::string v) {
        if (v == "TOKEN") return server->token();
        if (v == "COOKIE") return "hexview_" + std::to_string(server->port()) + "=" + server->token();
        if (v == "LAUNCH") return server->launch();
        if (v == "ORIGIN") return server->origin();
        return v;
    };
    httplib::Headers h;
    std::string type = "application/json";
    for (auto [k, v] : c.headers) {
        if (k == "Content-Type") type = v;
        else h.emplace(k, real(v));
    }
    std::string path = c.path;
    if (size_t at = path.find("TOKEN"); at != std::string::npos) path.replace(at, 5, server->token());
    auto cli = server->client();
    std::string body = std::string(c.method) == "BIG"         ? std::string(2 << 20, ' ')
                       : std::string(c.path) == "/api/session" ? ""  // the exchange takes no body
                                                               : R"({"offset":0,"hex":"00"})";
    std::string method = c.method;
    httplib::Result r = method == "GET"       ? cli.Get(path, h)
                        : method == "PUT"     ? cli.Put(path, h, body, "application/json")
                        : method == "OPTIONS" ? cli.Options(path, h)
                                              : cli.Post(path, h, body, type);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << r->body;
    EXPECT_TRUE(has(r->body, std::string("{\"error\":\"") + c.says)) << r->body;
    EXPECT_FALSE(has(r->body, "Hello")) << "no content leaks";
    EXPECT_FALSE(has(r->body, "<html")) << "no page without the token";
    for (const auto &[name, value] : r->headers)
        EXPECT_FALSE(has(name, "Access-Control-Allow")) << "no cross-origin request is ever granted: " << name;
    EXPECT_EQ(staged(), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0,\"version\":0,\"path\":\"" + file + "\"}");
    EXPECT_EQ(read_file(file), to_bytes(kContent));
}

const httplib::Headers kToken = {{"X-Hexview-Token", "TOKEN"}};
const httplib::Headers kPost = {{"X-Hexview-Token", "TOKEN"}, {"Origin", "ORIGIN"}};

INSTANTIATE_TEST_SUITE_P(
    cases, serve_refusal,
    ::testing::Values(
        refusal_case{"no_token_api", "GET", "/api/page", {}, 401, "refused: no access token"},
        refusal_case{"no_token_write", "POST", "/api/write", {{"Origin", "ORIGIN"}}, 401, "refused: no access token"},
        refusal_case{"wrong_token", "GET", "/api/page", {{"X-Hexview-Token", "00"}}, 403, "refused: wrong access token"},
        refusal_case{"token_in_a_cookie", "GET", "/api/info", {{"Cookie", "COOKIE"}}, 401, "refused: no access"},
        refusal_case{"token_in_the_query", "GET", "/api/page?token=TOKEN", {}, 401, "refused: no access"},
        refusal_case{"token_as_authorization", "GET", "/api/info", {{"Authorization", "Bearer TOKEN"}}, 401,
                     "refused: no access"},
        refusal_case{"launch_token_as_session", "GET", "/api/info", {{"X-Hexview-Token", "LAUNCH"}}, 403,
                     "refused: wrong access token"},
        refusal_case{"session_token_as_launch", "POST", "/api/session", {{"X-Hexview-Launch", "TOKEN"}, {"Origin", "ORIGIN"}},
                     403, "refused: this address is not from this server"},
        refusal_case{"launch_from_another_origin", "POST", "/api/session",
                     {{"X-Hexview-Launch", "LAUNCH"}, {"Origin", "http://evil.test"}}, 403, "refused: a change must come"},
        refusal_case{"foreign_host", "GET", "/api/page", {{"X-Hexview-Token", "TOKEN"}, {"Host", "evil.example:80"}}, 403,
                     "refused: the Host header"},
        refusal_case{"rebound_host_our_port", "GET", "/api/page", {{"X-Hexview-Token", "TOKEN"}, {"Host", "attacker.test"}},
                     403, "refused: the Host header"},
        refusal_case{"rebound_host_page", "GET", "/", {{"Host", "attacker.test"}}, 403, "refused: the Host header"},
        refusal_case{"post_without_origin", "POST", "/api/write", kToken, 403, "refused: a change must come"},
        refusal_case{"post_foreign_origin", "POST", "/api/write",
                     {{"X-Hexview-Token", "TOKEN"}, {"Origin", "http://evil.test"}}, 403, "refused: a change must come"},
        refusal_case{"post_cross_site_fetch", "POST", "/api/write",
                     {{"X-Hexview-Token", "TOKEN"}, {"Origin", "ORIGIN"}, {"Sec-Fetch-Site", "cross-site"}}, 403,
                     "refused: a change must come from the page itself"},
        refusal_case{"post_form_body", "POST", "/api/write",
                     {{"X-Hexview-Token", "TOKEN"}, {"Origin", "ORIGIN"}, {"Content-Type", "text/plain"}}, 415,
                     "a change must be sent as application/json"},
        refusal_case{"put", "PUT", "/api/write", kPost, 405, "method not allowed: PUT"},
        refusal_case{"preflight", "OPTIONS", "/api/write",
                     {{"Origin", "http://evil.test"}, {"Access-Control-Request-Method", "POST"},
                      {"Access-Control-Request-Headers", "x-hexview-token,content-type"}},
                     405, "method not allowed: OPTIONS"},
        refusal_case{"get_on_a_change", "GET", "/api/write", kToken, 405, "method not allowed: GET /api/write"},
        refusal_case{"post_on_a_read", "POST", "/api/page", kPost, 405, "method not allowed: POST /api/page"},
        refusal_case{"unknown_route", "GET", "/api/no-such-route", kToken, 404, "not found"},
        refusal_case{"other_file", "GET", "/etc/passwd", kToken, 404, "not found"},
        refusal_case{"dot_dot", "GET", "/../../etc/passwd", kToken, 404, "not found"},
        refusal_case{"unknown_asset", "GET", "/secret.js", kToken, 404, "not found: /secret.js"},
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
    EXPECT_TRUE(valid_utf8(body)) << "whatever bytes the request held";
    EXPECT_FALSE(has(body, "win error")) << "the system's words for its errors";
    EXPECT_EQ(staged(), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0,\"version\":0,\"path\":\"" + file + "\"}");
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
        bad_input_case{"page_mode_not_utf8", "GET", "/api/page?mode=%FFx%C3%28%ED%A0%80%F4%90%80%80", "", 400,
                       "unknown mode: \xEF\xBF\xBDx"},
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
                       "cannot open for write: /nonexistent/x.bin (No such file or directory)"},
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
    EXPECT_TRUE(has(post("/api/save-as", R"({"path":"copy.bin"})", 409), "the file is open read-only"));
    EXPECT_FALSE(file_exists(dir.file("copy.bin"))) << "a read-only server writes nothing";
    EXPECT_EQ(read_file(file), to_bytes(kContent));
}

// A save-as target that is no plain file is refused before a byte is written,
// and the staged edits stay.
struct target_case {
    const char *name;
    const char *path;  // FIFO: a named pipe made beside the file; DIR: the file's folder
    const char *says;
};

void PrintTo(const target_case &c, std::ostream *os) { *os << c.name; }

class serve_save_as_target : public serve_api, public ::testing::WithParamInterface<target_case> {};

TEST_P(serve_save_as_target, is_refused_before_writing) {
    std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A reader holds the pipe open, so that a write would not block but arrive.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::string path = GetParam().path;
    if (path == "FIFO") path = fifo;
    if (path == "DIR") path = dir.path();
    post("/api/write", R"({"offset":0,"hex":"58"})");
    std::string answer = post("/api/save-as", "{\"path\":\"" + path + "\",\"overwrite\":true}", 400);
    EXPECT_TRUE(has(answer, GetParam().says)) << answer;
    char byte;
    EXPECT_LE(read(reader, &byte, 1), 0) << "nothing went into the pipe";
    close(reader);
    EXPECT_TRUE(has(staged(), "\"undo\":1")) << "the edits stay staged";
}

INSTANTIATE_TEST_SUITE_P(cases, serve_save_as_target,
                         ::testing::Values(target_case{"fifo", "FIFO", "not a plain file"},
                                           target_case{"character_device", "/dev/null", "not a plain file"},
                                           target_case{"folder", "DIR", "is a folder"}),
                         [](const auto &info) { return std::string(info.param.name); });

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

// A socket of the test's own listening on a loopback port, or -1 when the
// address cannot be had here.
int listen_on(bool ipv6, bool reuseport, int port = 0, int *error = nullptr) {
    int sock = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    int on = 1;
    if (reuseport) setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    if (ipv6) setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_storage a;
    socklen_t len = loopback_address(ipv6, port, a);
    if (bind(sock, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(sock, 1) != 0) {
        if (error) *error = errno;
        close(sock);
        return -1;
    }
    return sock;
}

int port_of(int sock) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    getsockname(sock, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port
                                         : reinterpret_cast<sockaddr_in *>(&a)->sin_port);
}

// ---- the transport ---------------------------------------------------------

// A raw request to the server: `headers` are whole lines ("Name: value\r\n").
std::string raw_request(const std::string &method, const std::string &path, const std::string &headers,
                        const std::string &body = "") {
    return method + " " + path + " HTTP/1.1\r\n" + headers + "\r\n" + body;
}

size_t answers_in(const std::string &bytes) {
    size_t n = 0;
    for (size_t at = 0; (at = bytes.find("HTTP/1.1 ", at)) != std::string::npos; at++) n++;
    return n;
}

class serve_transport : public serve_api {
protected:
    std::string host() { return "Host: 127.0.0.1:" + std::to_string(server->port()) + "\r\n"; }
    std::string token() { return "X-Hexview-Token: " + server->token() + "\r\n"; }
    std::string change_headers() {
        return host() + token() + "Origin: " + server->origin() + "\r\nContent-Type: application/json\r\n";
    }
    // A whole change the server would take on its own, cookie included.
    std::string good_write() {
        std::string body = R"({"offset":0,"hex":"58"})";
        return raw_request("POST", "/api/write",
                           change_headers() + "Cookie: hexview_" + std::to_string(server->port()) + "=" +
                               server->token() + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n",
                           body);
    }
};

// A request hidden in the body of a refused one, or sent after an answered
// one on the same connection, is never read as a request.
TEST_F(serve_transport, one_request_per_connection_and_nothing_left_over) {
    std::string inner = good_write();
    std::string length = "Content-Length: " + std::to_string(inner.size()) + "\r\n";
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"refused without a token", raw_request("POST", "/api/write", host() + "Origin: " + server->origin() +
                                                                          "\r\nContent-Type: text/plain\r\n" + length,
                                                inner)},
        {"refused: not found", raw_request("POST", "/nowhere", change_headers() + length, inner)},
        {"refused: wrong method", raw_request("GET", "/api/write", host() + token() + length, inner)},
        {"answered, then a pipelined request", raw_request("GET", "/api/info", host() + token()) + inner},
        {"refused head, the rest of the bytes", raw_request("GET", "/api/info", host() + "Host: x\r\n") + inner},
    };
    for (const auto &[name, bytes] : cases) {
        std::string answer = raw_exchange(server->port(), bytes);
        EXPECT_EQ(answers_in(answer), 1u) << name << ":\n" << answer;
        EXPECT_TRUE(has(answer, "Connection: close")) << name;
    }
    EXPECT_EQ(staged(), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0,\"version\":0,\"path\":\"" + file + "\"}");
    EXPECT_EQ(answers_in(raw_exchange(server->port(), inner)), 1u);
    EXPECT_TRUE(has(staged(), "\"undo\":1")) << "the same request alone is taken";
}

// Headers that decide who may do what, or where a request ends, come once;
// a length is a plain number.
struct framing_case {
    const char *name;
    std::string extra;   // lines added to a good change
    std::string length;  // its Content-Length line ("" for the right one)
    const char *says;
};

void PrintTo(const framing_case &c, std::ostream *os) { *os << c.name; }

class serve_framing : public serve_transport, public ::testing::WithParamInterface<framing_case> {};

TEST_P(serve_framing, is_a_400_that_closes) {
    const framing_case &c = GetParam();
    std::string body = R"({"offset":0,"hex":"58"})";
    std::string extra = c.extra;
    for (auto [word, value] : {std::pair<std::string, std::string>{"HOST", "127.0.0.1:" + std::to_string(server->port())},
                               {"ORIGIN", server->origin()},
                               {"TOKEN", server->token()}})
        for (size_t at; (at = extra.find(word)) != std::string::npos;) extra.replace(at, word.size(), value);
    std::string length = c.length.empty() ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : c.length;
    std::string answer = raw_exchange(server->port(), raw_request("POST", "/api/write", change_headers() + extra + length, body));
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 400 ")) << answer;
    EXPECT_TRUE(has(answer, c.says)) << answer;
    EXPECT_EQ(answers_in(answer), 1u);
    EXPECT_EQ(staged(), "{\"staged\":[],\"size\":38,\"undo\":0,\"redo\":0,\"version\":0,\"path\":\"" + file + "\"}");
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_framing,
    ::testing::Values(
        framing_case{"host_twice", "Host: HOST\r\n", "", "repeated header: Host"},
        framing_case{"host_twice_differing", "host: evil.test\r\n", "", "repeated header: host"},
        framing_case{"origin_twice", "Origin: ORIGIN\r\n", "", "repeated header: Origin"},
        framing_case{"cookie_twice", "Cookie: a=1\r\nCookie: b=2\r\n", "", "repeated header: Cookie"},
        framing_case{"content_type_twice", "Content-Type: text/plain\r\n", "", "repeated header: Content-Type"},
        framing_case{"authorization_twice", "Authorization: a\r\nAuthorization: b\r\n", "", "repeated header: Authorization"},
        framing_case{"sec_fetch_site_twice", "Sec-Fetch-Site: same-origin\r\nSec-Fetch-Site: same-origin\r\n", "",
                     "repeated header: Sec-Fetch-Site"},
        framing_case{"token_twice", "X-Hexview-Token: TOKEN\r\n", "", "repeated header: X-Hexview-Token"},
        framing_case{"content_length_twice", "Content-Length: 23\r\n", "", "Content-Length"},
        framing_case{"content_length_text", "", "Content-Length: abc\r\n", "invalid Content-Length"},
        framing_case{"content_length_list", "", "Content-Length: 23, 23\r\n", "invalid Content-Length"},
        framing_case{"content_length_signed", "", "Content-Length: +23\r\n", "invalid Content-Length"},
        framing_case{"content_length_and_chunked", "Transfer-Encoding: chunked\r\n", "", "bad request: invalid"}),
    [](const auto &info) { return std::string(info.param.name); });

// A request that takes no body and announces one is refused on its head,
// before its token is looked at and before a byte of the body is read.
TEST_F(serve_transport, a_body_where_none_is_taken_is_refused_unread) {
    std::string session = host() + "Origin: " + server->origin() + "\r\nContent-Type: application/json\r\n" +
                          "X-Hexview-Launch: " + std::string(64, 'a') + "\r\n";
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"the page with a length", raw_request("GET", "/", host() + "Content-Length: 1048576\r\n")},
        {"a script, chunked", raw_request("GET", "/app.js", host() + "Transfer-Encoding: chunked\r\n")},
        {"a read with a token", raw_request("GET", "/api/info", host() + token() + "Content-Length: 10\r\n")},
        {"the exchange with a length", raw_request("POST", "/api/session", session + "Content-Length: 1048576\r\n")},
        {"the exchange, chunked", raw_request("POST", "/api/session", session + "Transfer-Encoding: chunked\r\n")},
        {"a post to the page", raw_request("POST", "/", change_headers() + "Content-Length: 1048576\r\n")},
    };
    for (const auto &[name, head] : cases) {
        // Only the head is sent: an answer at all means nothing waited for the body.
        std::string answer = raw_exchange(server->port(), head);
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 413 ")) << name << ":\n" << answer;
        EXPECT_TRUE(has(answer, "takes no body")) << name;
    }
    std::string empty = raw_request("POST", "/api/session", session + "Content-Length: 0\r\n");
    EXPECT_TRUE(has(raw_exchange(server->port(), empty), "not from this server")) << "an empty body is no body";
}

// Connections that were let in and then stall in their body count like ones
// that stall in their head: at the cap the oldest makes room, so a good
// request is answered however many there are.
TEST_F(serve_transport, stalled_bodies_make_room_at_the_cap) {
    std::string stall = raw_request("POST", "/api/write", change_headers() + "Content-Length: 1048576\r\n");
    std::vector<int> holders;
    for (int i = 0; i < 160; i++) {
        int sock = connect_loopback(server->port());
        ASSERT_GE(sock, 0);
        ASSERT_EQ(send(sock, stall.data(), stall.size(), MSG_NOSIGNAL), static_cast<ssize_t>(stall.size()));
        holders.push_back(sock);
    }
    for (int i = 0; i < 5; i++) {
        auto r = server->get("/api/info");
        ASSERT_TRUE(r) << "no answer beside 160 stalled bodies";
        EXPECT_EQ(r->status, 200);
    }
    pollfd first{holders.front(), POLLIN, 0};
    char byte;
    EXPECT_TRUE(poll(&first, 1, 10000) == 1 && recv(holders.front(), &byte, 1, MSG_DONTWAIT) <= 0)
        << "the oldest stalled body was dropped to make room";
    for (int sock : holders) close(sock);
}

// Sends up to `total` bytes of `unit`-sized pieces after `head`, until the
// server closes the connection.
void flood(int port, const std::string &head, const std::string &unit, size_t total) {
    int sock = connect_loopback(port);
    if (sock < 0) return;
    bool open = send(sock, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size());
    for (size_t sent = 0; open && sent < total; sent += unit.size())
        open = send(sock, unit.data(), unit.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(unit.size());
    close(sock);
}

#ifdef HEXVIEW_SANITIZED
constexpr long kHeldKiB = 48 * 1024;  // AddressSanitizer keeps freed blocks in its quarantine a while
#else
constexpr long kHeldKiB = 16 * 1024;
#endif

// No request without a token makes the server hold memory: big bodies (with a
// length or chunked), endless request lines and floods of headers, four at a
// time, with the server's resident memory sampled throughout.
TEST_F(serve_transport, unauthenticated_floods_hold_no_memory) {
    get("/api/info");
    long before = resident_kib(server->pid());
    ASSERT_GT(before, 0);
    std::atomic<bool> done{false};
    std::atomic<long> peak{before};
    std::thread sampler([&] {
        while (!done) {
            peak = std::max(peak.load(), resident_kib(server->pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const size_t kTotal = 200u << 20;
    const std::string mib(1 << 20, 'a');
    std::string chunk = "100000\r\n" + mib + "\r\n";
    std::string post_head = raw_request("POST", "/api/write",
                                        host() + "Origin: " + server->origin() +
                                            "\r\nContent-Type: application/json\r\nContent-Length: " +
                                            std::to_string(kTotal) + "\r\n");
    std::string chunked_head = raw_request("POST", "/api/write", host() + "Transfer-Encoding: chunked\r\n");
    std::string session_head = raw_request("POST", "/api/session",
                                           host() + "Origin: " + server->origin() +
                                               "\r\nContent-Type: application/json\r\nContent-Length: " +
                                               std::to_string(kTotal) + "\r\n");
    std::string page_chunked = raw_request("GET", "/app.js", host() + "Transfer-Encoding: chunked\r\n");
    std::vector<std::thread> attackers;
    for (int i = 0; i < 2; i++) {
        attackers.emplace_back(flood, server->port(), post_head, mib, kTotal);
        attackers.emplace_back(flood, server->port(), chunked_head, chunk, kTotal);
        attackers.emplace_back(flood, server->port(), session_head, mib, kTotal);
        attackers.emplace_back(flood, server->port(), page_chunked, chunk, kTotal);
        attackers.emplace_back(flood, server->port(), "GET /", mib, kTotal);
        attackers.emplace_back(flood, server->port(), "GET / HTTP/1.1\r\n", std::string(1 << 16, 'x') + ": y\r\n", kTotal);
        std::string many_headers;
        for (int k = 0; k < 65536; k++) many_headers += "X-A: b\r\n";
        attackers.emplace_back(flood, server->port(), "GET / HTTP/1.1\r\n", many_headers, kTotal);
    }
    for (auto &t : attackers) t.join();
    done = true;
    sampler.join();
    long growth = peak - before;
    std::printf("[ figures  ] server RSS %ld KiB before, %ld KiB at most under fourteen unauthenticated floods of up to 200 MiB each\n", before,
                peak.load());
    EXPECT_LT(growth, kHeldKiB) << "KiB held for requests without a token";
    EXPECT_TRUE(has(get("/api/info"), "\"writable\":true")) << "and it still serves";
}

// Idle sockets and heads sent a byte at a time neither stop a good request
// nor last: the head has a deadline, and at the connection cap the oldest of
// them makes room.
TEST_F(serve_transport, slow_and_idle_connections_do_not_lock_anyone_out) {
    std::vector<int> idle;
    for (int i = 0; i < 500; i++) idle.push_back(connect_loopback(server->port()));
    std::vector<int> slow;
    for (int i = 0; i < 50; i++) slow.push_back(connect_loopback(server->port()));
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        const std::string head = "GET /api/info HTTP/1.1\r\nX-Slow: " + std::string(1000, 'a');
        for (size_t at = 0; at < head.size() && !done; at++) {
            for (int sock : slow) send(sock, &head[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    double worst = 0;
    for (int i = 0; i < 5; i++) {
        auto start = std::chrono::steady_clock::now();
        auto r = server->get("/api/info");
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        worst = std::max(worst, seconds);
        ASSERT_TRUE(r) << "no answer under the flood";
        EXPECT_EQ(r->status, 200);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    // How long it took is the benchmark's to say (bench/serve): here, that it was answered.
    std::printf("[ figures  ] a good request took %.4f s at most beside 500 idle and 50 slow connections\n", worst);
    // Past the head's deadline every slow connection has been closed.
    std::this_thread::sleep_for(std::chrono::seconds(6));
    size_t closed = 0;
    for (int sock : slow) {
        pollfd p{sock, POLLIN, 0};
        char byte;
        if (poll(&p, 1, 1000) == 1 && recv(sock, &byte, 1, MSG_DONTWAIT) <= 0) closed++;
    }
    done = true;
    trickle.join();
    EXPECT_EQ(closed, slow.size()) << "a head sent slowly ends at its deadline";
    for (int sock : idle) close(sock);
    for (int sock : slow) close(sock);
}

// Nobody can listen on the server's port beside it, even with SO_REUSEPORT.
TEST_F(serve_transport, nobody_listens_beside_it) {
    for (bool ipv6 : {false, true}) {
        int error = 0;
        int sock = listen_on(ipv6, true, server->port(), &error);
        if (sock >= 0) close(sock);
        if (ipv6 && error == EADDRNOTAVAIL) continue;  // no IPv6 loopback here
        EXPECT_LT(sock, 0) << (ipv6 ? "[::1]" : "127.0.0.1");
        EXPECT_EQ(error, EADDRINUSE) << (ipv6 ? "[::1]" : "127.0.0.1");
    }
}

struct startup_case {
    const char *name;
    std::vector<std::string> args;  // "FILE", "DIR", "BUSY" (the port taken)
    const char *taken;              // "" or which socket holds the port: "v4", "v6", "v4 reuseport", "v6 reuseport"
    const char *says;
};

void PrintTo(const startup_case &c, std::ostream *os) { *os << c.name; }

class serve_startup : public ::testing::TestWithParam<startup_case> {};

TEST_P(serve_startup, fails_with_a_message_and_status_2) {
    const startup_case &c = GetParam();
    temp_dir dir;
    std::string f = dir.write("x.bin", "x");
    std::string taken = c.taken;
    int sock = -1;
    if (!taken.empty()) {
        sock = listen_on(has(taken, "v6"), has(taken, "reuseport"));
        if (sock < 0) GTEST_SKIP() << "no IPv6 loopback here";
    }
    std::vector<std::string> args;
    for (std::string a : c.args)
        args.push_back(a == "FILE" ? f : a == "DIR" ? dir.path() : a == "BUSY" ? std::to_string(port_of(sock)) : a);
    serve_process p(HEXVIEW_TOOL_PATH, args);
    EXPECT_FALSE(p.started());
    EXPECT_EQ(p.wait_exit(), 2);
    EXPECT_TRUE(has(p.output(), c.says)) << p.output();
    if (sock >= 0) close(sock);
    EXPECT_FALSE(file_exists(dir.file("missing.bin"))) << "never created";
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_startup,
    ::testing::Values(startup_case{"missing_file", {"DIR/missing.bin"}, "", "no such file"},
                      startup_case{"folder", {"DIR"}, "", "is a folder, not a file"},
                      startup_case{"busy_port", {"FILE", "--port", "BUSY"}, "v4",
                                   "cannot listen on 127.0.0.1 port"},
                      startup_case{"busy_port_reuseport", {"FILE", "--port", "BUSY"}, "v4 reuseport",
                                   "Address already in use"},
                      startup_case{"busy_ipv6_port", {"FILE", "--port", "BUSY"}, "v6", "cannot listen on [::1] port"},
                      startup_case{"busy_ipv6_port_reuseport", {"FILE", "--port", "BUSY"}, "v6 reuseport",
                                   "cannot listen on [::1] port"},
                      startup_case{"bad_port", {"FILE", "--port", "70000"}, "", "--port"}),
    [](const auto &info) { return std::string(info.param.name); });

// Where the machine has no IPv6 loopback (here: a network namespace of the
// test's own with IPv6 off), the server says so in one line and serves on
// 127.0.0.1.
TEST(serve_no_ipv6, says_so_and_serves_on_ipv4) {
    if (std::system("unshare -n true 2>/dev/null && command -v ip >/dev/null") != 0)
        GTEST_SKIP() << "needs unshare -n (root) and ip (iproute2)";
    temp_dir dir;
    std::string f = dir.write("x.bin", "x");
    serve_process p(HEXVIEW_TOOL_PATH, {f},
                    {"unshare", "-n", "sh", "-c",
                     "ip link set lo up && sysctl -q -w net.ipv6.conf.lo.disable_ipv6=1 && exec \"$0\" \"$@\""});
    std::string out = p.output();
    EXPECT_TRUE(has(out, "open http://127.0.0.1:")) << out;
    std::regex note("hexview: no IPv6 loopback here \\(\\[::1\\]: [^)]+\\); serving on 127\\.0\\.0\\.1 only\n");
    EXPECT_TRUE(std::regex_search(out, note)) << out;
    EXPECT_EQ(p.stop(), 0);
}

// --open hands the browser a file only the user can read, which redirects to
// a launch address; no command line holds a token. HEXVIEW_OPENER names a
// stand-in that records what it was given.
TEST(serve_open, starts_the_browser_through_a_private_file) {
    temp_dir dir;
    std::string f = dir.write("x.bin", "x");
    std::string opener = dir.write("opener", "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$(dirname \"$0\")/argv.tmp\"\n"
                                             "stat -c %a \"$1\" > \"$(dirname \"$0\")/mode\"\n"
                                             "cat \"$1\" > \"$(dirname \"$0\")/page\"\n"
                                             "mv \"$(dirname \"$0\")/argv.tmp\" \"$(dirname \"$0\")/argv\"\n");
    ASSERT_EQ(chmod(opener.c_str(), 0700), 0);
    setenv("HEXVIEW_OPENER", opener.c_str(), 1);
    serve_process p(HEXVIEW_TOOL_PATH, {f, "--open"});
    unsetenv("HEXVIEW_OPENER");
    ASSERT_TRUE(p.started()) << p.output();
    for (int i = 0; i < 500 && !file_exists(dir.file("argv")); i++) usleep(10000);
    ASSERT_TRUE(file_exists(dir.file("argv"))) << p.output();
    auto text = [&](const char *name) {
        std::ifstream in(dir.file(name));
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::string argv = text("argv"), page = text("page");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(argv, m, std::regex(opener + "\n(/[^\n]+\\.html)\n"))) << argv;
    std::string redirect_file = m[1];
    EXPECT_FALSE(std::regex_search(argv, std::regex("[0-9a-f]{32}"))) << "no token on a command line";
    EXPECT_EQ(text("mode"), "600\n");
    ASSERT_TRUE(std::regex_search(page, m, std::regex("http://127\\.0\\.0\\.1:" + std::to_string(p.port()) +
                                                        "/#launch=([0-9a-f]{64})")))
        << page;
    EXPECT_TRUE(has(page, "http-equiv=\"refresh\"")) << page;
    auto first = p.exchange(m[1]);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 200) << "the browser's page starts with it";
    EXPECT_EQ(p.exchange(m[1])->status, 403) << "once";
    EXPECT_EQ(p.stop(), 0);
    EXPECT_FALSE(file_exists(redirect_file)) << "removed when the server stops";
}

}  // namespace
