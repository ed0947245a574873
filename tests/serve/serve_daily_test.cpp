// What a day of patching through `hexview serve` relies on from its API: a
// staged write, insert or delete changes exactly the bytes it names, so the
// listed edits, the size and the saved file agree.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "serve/serve_process.h"
#include "support/test_support.h"

namespace {

const std::string kText = "0123456789abcdefXYZ";  // 19 bytes

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class serve_daily : public ::testing::Test {
protected:
    temp_dir dir;
    std::string file = dir.write("f.bin", kText);
    std::unique_ptr<serve_process> server = std::make_unique<serve_process>(HEXVIEW_TOOL_PATH, std::vector<std::string>{file});

    void SetUp() override { ASSERT_TRUE(server->started()) << server->output(); }
    void TearDown() override { EXPECT_EQ(server->stop(), 0); }

    std::string post(const std::string &path, const std::string &json, int status) {
        auto r = server->post(path, json);
        if (!r) return "no answer";
        EXPECT_EQ(r->status, status) << path << " " << json << ": " << r->body;
        return r->body;
    }
    std::string staged() {
        auto r = server->get("/api/staged");
        return r ? r->body : "no answer";
    }
};

struct edit_case {
    const char *name;
    const char *route;
    const char *body;
    int status;
    const char *answer;  // a part of it
};

class serve_daily_edit : public serve_daily, public ::testing::WithParamInterface<edit_case> {};

// An edit that would change other bytes than it names is refused and stages
// nothing: the engine would list a delete past the end and count its length
// off the size, drop the bytes of a write that fall past the end, and land
// an insert past the end at the end.
TEST_P(serve_daily_edit, stages_the_bytes_it_names_or_nothing) {
    const edit_case &c = GetParam();
    std::string body = post(c.route, c.body, c.status);
    EXPECT_TRUE(has(body, c.answer)) << body;
    if (c.status != 200) {
        EXPECT_TRUE(has(staged(), "\"staged\":[],\"size\":19,")) << staged();
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_daily_edit,
    ::testing::Values(
        edit_case{"delete_the_last_byte", "/api/delete", R"({"offset":18,"length":1})", 200, "\"size\":18,"},
        edit_case{"delete_every_byte", "/api/delete", R"({"offset":0,"length":19})", 200, "\"size\":0,"},
        edit_case{"delete_after_the_last_byte", "/api/delete", R"({"offset":19,"length":1})", 400,
                  "the delete runs past the end of the content (19 bytes)"},
        edit_case{"delete_running_past_the_end", "/api/delete", R"({"offset":17,"length":3})", 400,
                  "the delete runs past the end of the content (19 bytes)"},
        edit_case{"delete_far_past_the_end", "/api/delete", R"({"offset":"0x7fffffffffff","length":1})", 400,
                  "the delete runs past the end"},
        edit_case{"delete_nothing", "/api/delete", R"({"offset":0,"length":0})", 400, "a delete removes 1 byte or more"},
        edit_case{"write_the_last_bytes", "/api/write", R"({"offset":17,"hex":"41 42"})", 200, "\"size\":19,"},
        edit_case{"write_past_the_end", "/api/write", R"({"offset":18,"hex":"41 42"})", 400,
                  "the write runs past the end of the content (19 bytes): bytes after the last one are inserted"},
        edit_case{"write_after_the_end", "/api/write", R"({"offset":19,"hex":"41"})", 400,
                  "the write runs past the end of the content (19 bytes)"},
        edit_case{"merged_write_past_the_end", "/api/write", R"({"offset":19,"hex":"41","merge":true})", 400,
                  "the write runs past the end"},
        edit_case{"insert_at_the_end", "/api/insert", R"({"offset":19,"hex":"41"})", 200, "\"size\":20,"},
        edit_case{"insert_past_the_end", "/api/insert", R"({"offset":20,"hex":"41"})", 400,
                  "offset 20 is past the end of the content (19 bytes)"}),
    [](const auto &info) { return std::string(info.param.name); });

// After an insert the content is longer: a delete up to its new end is in it.
TEST_F(serve_daily, a_delete_counts_the_content_as_edited) {
    post("/api/insert", R"({"offset":0,"hex":"aa bb"})", 200);
    EXPECT_TRUE(has(post("/api/delete", R"({"offset":19,"length":2})", 200), "\"size\":19,"));
    post("/api/delete", R"({"offset":19,"length":1})", 400);
}

}  // namespace
