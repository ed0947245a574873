// The bookmarks `hexview serve` keeps in the user's data folder: a later run
// finds them, a data folder or store that another user could have prepared
// is refused, sizes are bounded, a file that changed is said, and the store
// is replaced whole under a lock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serve/serve_process.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

json mark(const std::string &name, int64_t offset, int64_t length) {
    return json{{"name", name}, {"offset", offset}, {"length", length}, {"size", 100}};
}

class serve_bookmarks : public ::testing::Test {
protected:
    temp_dir data;  // XDG_DATA_HOME of the servers started here
    temp_dir dir;
    std::string file = dir.write("f.bin", std::string(100, 'x'));
    std::string folder = data.path() + "/hexview";
    std::string store = folder + "/bookmarks.json";

    void SetUp() override { setenv("XDG_DATA_HOME", data.path().c_str(), 1); }

    std::unique_ptr<serve_process> start(const std::string &path, std::vector<std::string> args = {}) {
        args.insert(args.begin(), path);
        auto server = std::make_unique<serve_process>(HEXVIEW_TOOL_PATH, args);
        EXPECT_TRUE(server->started()) << server->output();
        return server;
    }
    std::unique_ptr<serve_process> start(std::vector<std::string> args = {}) { return start(file, std::move(args)); }

    // The status and answer of a POST of `list` for `path`.
    static std::pair<int, std::string> put(const serve_process &s, const json &list, const std::string &path) {
        auto r = s.post("/api/bookmarks", json{{"path", path}, {"bookmarks", list}}.dump());
        return r ? std::pair{r->status, r->body} : std::pair{0, std::string("no answer")};
    }
    std::pair<int, std::string> put(const serve_process &s, const json &list) const { return put(s, list, file); }
    static std::pair<int, std::string> fetch(const serve_process &s) {
        auto r = s.get("/api/bookmarks");
        return r ? std::pair{r->status, r->body} : std::pair{0, std::string("no answer")};
    }
    static json kept(const serve_process &s) {
        auto [status, body] = fetch(s);
        EXPECT_EQ(status, 200) << body;
        return json::parse(body, nullptr, false);
    }
};

TEST_F(serve_bookmarks, a_later_run_on_another_port_finds_them_in_a_private_folder) {
    json list = json::array({mark("header", 0, 4), mark("name \xc3\xa9", 10, 2)});
    auto first = start();
    EXPECT_FALSE(kept(*first)["kept"].get<bool>());
    EXPECT_FALSE(fs::exists(folder)) << "a read makes nothing";
    EXPECT_EQ(put(*first, list).first, 200);
    int port = first->port();
    EXPECT_EQ(first->stop(), 0);

    // A read-only run keeps them too: they are not the file's bytes.
    auto second = start({"--port", std::to_string(port == 65535 ? port - 1 : port + 1), "--read-only"});
    json got = kept(*second);
    EXPECT_TRUE(got["kept"].get<bool>());
    EXPECT_TRUE(got["same_file"].get<bool>());
    EXPECT_EQ(got["bookmarks"], list);
    EXPECT_EQ(got["path"], fs::absolute(file).lexically_normal().string());
    EXPECT_EQ(put(*second, json::array({list[1]})).first, 200);
    EXPECT_EQ(kept(*second)["bookmarks"], json::array({list[1]}));

    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // An empty list leaves nothing of the file in the store.
    EXPECT_EQ(put(*second, json::array()).first, 200);
    EXPECT_FALSE(has(read_text(store), "f.bin"));
    EXPECT_EQ(second->stop(), 0);
}

// A data folder or store that is a link, or that another user owns or may
// write, is refused for reads and writes, and nothing is written through it.
TEST_F(serve_bookmarks, a_folder_or_store_another_user_could_have_prepared_is_refused) {
    temp_dir elsewhere;
    std::string outside = elsewhere.write("target.json", "{\"files\":{}}");
    struct refusal {
        const char *name;
        std::function<bool(const std::string &folder)> prepare;  // false: cannot be made here
        const char *message;
    };
    const std::vector<refusal> cases = {
        {"folder_is_a_link", [&](const std::string &f) { return symlink(elsewhere.path().c_str(), f.c_str()) == 0; },
         "is a symbolic link"},
        {"folder_of_another_user",
         [](const std::string &f) { return mkdir(f.c_str(), 0700) == 0 && chown(f.c_str(), 65534, 65534) == 0; },
         "belongs to another user"},
        {"folder_others_may_write",
         [](const std::string &f) { return mkdir(f.c_str(), 0700) == 0 && chmod(f.c_str(), 0777) == 0; },
         "may be written by other users"},
        {"store_is_a_link",
         [&](const std::string &f) {
             return mkdir(f.c_str(), 0700) == 0 && symlink(outside.c_str(), (f + "/bookmarks.json").c_str()) == 0;
         },
         "is a symbolic link"},
        // The data home itself, as another user could have placed it in a
        // shared folder (a link to the victim's folder, say).
        {"data_home_of_another_user",
         [](const std::string &f) { return chown(fs::path(f).parent_path().c_str(), 65534, 65534) == 0; },
         "belongs to another user (uid 65534), on the way to"},
        {"data_home_others_may_write",
         [](const std::string &f) { return chmod(fs::path(f).parent_path().c_str(), 0777) == 0; },
         "may be written by other users, on the way to"},
        {"store_is_a_pipe",
         [](const std::string &f) { return mkdir(f.c_str(), 0700) == 0 && mkfifo((f + "/bookmarks.json").c_str(), 0600) == 0; },
         "is not a plain file"},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir home;
        setenv("XDG_DATA_HOME", home.path().c_str(), 1);
        std::string f = home.path() + "/hexview";
        if (!c.prepare(f)) {
            std::printf("skipped %s: cannot be prepared here (%s)\n", c.name, std::strerror(errno));
            continue;
        }
        auto server = start();
        auto [status, body] = fetch(*server);
        EXPECT_EQ(status, 409);
        EXPECT_TRUE(has(body, c.message)) << body;
        std::tie(status, body) = put(*server, json::array({mark("m", 0, 1)}));
        EXPECT_EQ(status, 409);
        EXPECT_TRUE(has(body, c.message)) << body;
        EXPECT_EQ(read_text(outside), "{\"files\":{}}");
        EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere.path()), fs::directory_iterator()), 1);
        EXPECT_EQ(server->stop(), 0);
    }
}

TEST_F(serve_bookmarks, a_list_or_store_past_its_bounds_is_refused_and_the_store_kept) {
    auto server = start();
    json before = json::array({mark("kept", 0, 1)});
    ASSERT_EQ(put(*server, before).first, 200);
    json many = json::array();
    for (int i = 0; i < 1001; i++) many.push_back(mark(std::to_string(i), i, 1));
    std::string accents;
    for (int i = 0; i < 200; i++) accents += "\xc3\xa9";  // 200 characters in 400 bytes
    struct bound {
        const char *name;
        json list;
        int status;
        const char *message;
    };
    const std::vector<bound> cases = {
        {"too_many", many, 413, "too many bookmarks: 1001 for one file, at most 1000"},
        {"name_too_long", json::array({mark(std::string(201, 'n'), 0, 1)}), 400, "longer than 200 characters"},
        {"empty_name", json::array({mark("  ", 0, 1)}), 400, "a bookmark needs a name"},
        {"negative_offset", json::array({mark("m", -1, 1)}), 400, "offset"},
        {"past_the_largest_offset", json::array({mark("m", INT64_MAX, 2)}), 400, "runs past the largest offset"},
        {"unknown_field", json::array({json{{"name", "m"}, {"offset", 0}, {"length", 1}, {"colour", "red"}}}), 400,
         "unknown bookmark field: colour"},
        {"nested_field", json::array({json{{"name", json::array({"m"})}, {"offset", 0}, {"length", 1}}}), 400,
         "bookmark fields are strings"},
    };
    for (const bound &c : cases) {
        SCOPED_TRACE(c.name);
        auto [status, body] = put(*server, c.list);
        EXPECT_EQ(status, c.status);
        EXPECT_TRUE(has(body, c.message)) << body;
    }
    EXPECT_EQ(put(*server, json::array({mark(accents, 0, 1)})).first, 200) << "a name's bound counts characters";
    ASSERT_EQ(put(*server, before).first, 200);

    // The store of every file's lists: one that would grow past 8 MiB is not
    // written, and one larger than that is not read.
    json doc = json::parse(read_text(store));
    doc["files"]["/elsewhere.bin"] = json{
        {"size", 1}, {"identity", "1:1"}, {"bookmarks", json::array({mark(std::string((8 << 20) - 400, 'p'), 0, 1)})}};
    write_text(store, doc.dump());
    auto [status, body] = put(*server, json::array({mark("more", 1, 1), mark("and more", 2, 1)}));
    EXPECT_EQ(status, 413);
    EXPECT_TRUE(has(body, "would grow past 8 MiB")) << body;
    EXPECT_EQ(kept(*server)["bookmarks"], before);
    write_text(store, read_text(store) + std::string(1024, ' '));
    std::tie(status, body) = fetch(*server);
    EXPECT_EQ(status, 413);
    EXPECT_TRUE(has(body, "is larger than 8 MiB")) << body;
    EXPECT_EQ(server->stop(), 0);
}

TEST_F(serve_bookmarks, requests_that_are_not_a_list_for_the_open_file_are_refused) {
    auto server = start();
    std::string other = dir.write("other.bin", "other");
    struct bad {
        const char *name;
        std::string body;
        int status;
        const char *message;
    };
    const std::vector<bad> cases = {
        {"not_json", "{\"path\":", 400, "bad request body"},
        {"unknown_field", json{{"path", file}, {"bookmarks", json::array()}, {"x", 1}}.dump(), 400, "unknown field: x"},
        {"no_list", json{{"path", file}, {"bookmarks", "[]"}}.dump(), 400, "field must be a list: bookmarks"},
        {"no_path", json{{"bookmarks", json::array()}}.dump(), 400, "missing field: path"},
        {"another_file", json{{"path", other}, {"bookmarks", json::array()}}.dump(), 409, "reload the page"},
    };
    for (const bad &c : cases) {
        SCOPED_TRACE(c.name);
        auto r = server->post("/api/bookmarks", c.body);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status);
        EXPECT_TRUE(has(r->body, c.message)) << r->body;
    }
    // After Ctrl+O the open file's list is the other file's.
    ASSERT_EQ(put(*server, json::array({mark("first", 0, 1)})).first, 200);
    ASSERT_EQ(server->post("/api/open", json{{"path", other}}.dump())->status, 200);
    EXPECT_EQ(kept(*server)["bookmarks"], json::array());
    EXPECT_EQ(put(*server, json::array({mark("first", 0, 1)})).first, 409);
    EXPECT_EQ(put(*server, json::array({mark("second", 1, 1)}), other).first, 200);
    EXPECT_EQ(server->stop(), 0);
}

// A file replaced or resized since its list was kept gives the list with
// every bookmark marked as made on another state of the file; the marks stay
// when the page sends the list back.
TEST_F(serve_bookmarks, a_file_changed_since_its_list_was_kept_is_said) {
    struct change {
        const char *name;
        std::function<void(const std::string &)> make;
        const char *why;
    };
    const std::vector<change> cases = {
        {"replaced",
         [](const std::string &f) {
             write_text(f + ".new", std::string(100, 'y'));
             fs::rename(f + ".new", f);
         },
         "another file is at this path now (it was replaced)"},
        {"grown", [](const std::string &f) { std::ofstream(f, std::ios::binary | std::ios::app) << "tail"; },
         "its size changed from 100 to 104 bytes"},
    };
    for (const change &c : cases) {
        SCOPED_TRACE(c.name);
        write_text(file, std::string(100, 'x'));
        auto first = start();
        ASSERT_EQ(put(*first, json::array({mark("a", 0, 1)})).first, 200);
        EXPECT_EQ(first->stop(), 0);
        c.make(file);
        auto second = start();
        json got = kept(*second);
        EXPECT_FALSE(got["same_file"].get<bool>());
        EXPECT_EQ(got["why"], c.why);
        EXPECT_EQ(got["bookmarks"][0]["stale"], true);
        json list = got["bookmarks"];
        list.push_back(mark("b", 1, 1));
        ASSERT_EQ(put(*second, list).first, 200);
        got = kept(*second);
        EXPECT_TRUE(got["same_file"].get<bool>());
        EXPECT_EQ(got["bookmarks"][0]["stale"], true);
        EXPECT_FALSE(got["bookmarks"][1].contains("stale"));
        EXPECT_EQ(second->stop(), 0);
    }
}

// A save with an insert gives the file a new identity: the list the page
// sends after it, moved with the inserted bytes, is kept with that identity.
TEST_F(serve_bookmarks, a_save_through_the_server_keeps_the_list_matching) {
    auto server = start();
    ASSERT_EQ(put(*server, json::array({mark("a", 10, 1)})).first, 200);
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    ASSERT_EQ(server->post("/api/insert", R"({"offset":0,"hex":"41 42"})")->status, 200);
    auto saved = server->post("/api/save", json{{"confirm", file}}.dump());
    ASSERT_TRUE(saved);
    if (saved->status == 202) {
        EXPECT_EQ(server->job_end().first, 200);
    }
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino) << "the save replaced the file";
    json moved = mark("a", 12, 1);
    moved["size"] = 102;
    ASSERT_EQ(put(*server, json::array({moved})).first, 200);
    EXPECT_EQ(server->stop(), 0);
    auto next = start();
    json got = kept(*next);
    EXPECT_TRUE(got["same_file"].get<bool>()) << got.dump();
    EXPECT_EQ(got["bookmarks"], json::array({moved}));
    EXPECT_EQ(next->stop(), 0);
}

// The store is replaced by a rename, never written in place; temporary files
// a stopped writer left are removed (a link among them is not followed); an
// unreadable store is refused and left as it is; two servers writing at once
// lose nothing of each other's.
TEST_F(serve_bookmarks, the_store_is_replaced_whole_under_a_lock) {
    auto server = start();
    ASSERT_EQ(put(*server, json::array({mark("one", 0, 1)})).first, 200);
    std::string old_copy = data.path() + "/old.json";
    ASSERT_EQ(link(store.c_str(), old_copy.c_str()), 0);
    std::string before = read_text(store);
    temp_dir elsewhere;
    std::string outside = elsewhere.write("keep.txt", "keep");
    ASSERT_EQ(symlink(outside.c_str(), (folder + "/bookmarks.json.tmp-1-2").c_str()), 0);
    write_text(folder + "/bookmarks.json.tmp-3-4", "{\"files\":");
    ASSERT_EQ(put(*server, json::array({mark("two", 1, 1)})).first, 200);
    EXPECT_EQ(read_text(old_copy), before) << "the old store was renamed over, not written";
    EXPECT_TRUE(has(read_text(store), "\"two\""));
    EXPECT_EQ(read_text(outside), "keep");
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"bookmarks.json"});

    // Two servers on two files, writing at once.
    std::string other = dir.write("g.bin", std::string(50, 'g'));
    auto second = start(other);
    auto writes = [](const serve_process &s, const std::string &path, const std::string &name) {
        for (int i = 0; i < 40; i++) {
            auto [status, body] = put(s, json::array({mark(name, i, 1)}), path);
            EXPECT_EQ(status, 200) << body;
        }
    };
    std::thread a([&] { writes(*server, file, "f"); });
    std::thread b([&] { writes(*second, other, "g"); });
    a.join();
    b.join();
    json store_now = json::parse(read_text(store));
    EXPECT_EQ(store_now["files"][fs::absolute(file).string()]["bookmarks"], json::array({mark("f", 39, 1)}));
    EXPECT_EQ(store_now["files"][fs::absolute(other).string()]["bookmarks"], json::array({mark("g", 39, 1)}));
    EXPECT_EQ(second->stop(), 0);

    write_text(store, "{\"files\": [not json");
    auto [status, body] = fetch(*server);
    EXPECT_EQ(status, 500);
    EXPECT_TRUE(has(body, "is not a bookmark store: move it away")) << body;
    EXPECT_EQ(put(*server, json::array({mark("three", 2, 1)})).first, 500);
    EXPECT_EQ(read_text(store), "{\"files\": [not json");
    EXPECT_EQ(server->stop(), 0);
}

}  // namespace
