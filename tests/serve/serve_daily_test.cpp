// What a day of patching through `hexview serve` relies on from its API: a
// staged delete removes exactly what it says, so the listed edits, the size
// and the saved file agree.
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

struct delete_case {
    const char *name;
    const char *body;
    int status;
    const char *answer;  // a part of it
};

class serve_daily_delete : public serve_daily, public ::testing::WithParamInterface<delete_case> {};

// A delete that would remove nothing, or less than its length, is refused
// and stages nothing (the engine would list it and count it off the size).
TEST_P(serve_daily_delete, stages_what_it_removes_or_nothing) {
    const delete_case &c = GetParam();
    std::string body = post("/api/delete", c.body, c.status);
    EXPECT_TRUE(has(body, c.answer)) << body;
    if (c.status != 200) {
        EXPECT_TRUE(has(staged(), "\"staged\":[],\"size\":19,")) << staged();
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, serve_daily_delete,
    ::testing::Values(
        delete_case{"the_last_byte", R"({"offset":18,"length":1})", 200, "\"size\":18,"},
        delete_case{"every_byte", R"({"offset":0,"length":19})", 200, "\"size\":0,"},
        delete_case{"after_the_last_byte", R"({"offset":19,"length":1})", 400,
                    "the delete runs past the end of the content (19 bytes)"},
        delete_case{"running_past_the_end", R"({"offset":17,"length":3})", 400,
                    "the delete runs past the end of the content (19 bytes)"},
        delete_case{"far_past_the_end", R"({"offset":"0x7fffffffffff","length":1})", 400,
                    "the delete runs past the end"},
        delete_case{"nothing", R"({"offset":0,"length":0})", 400, "a delete removes 1 byte or more"}),
    [](const auto &info) { return std::string(info.param.name); });

// After an insert the content is longer: a delete up to its new end is in it.
TEST_F(serve_daily, a_delete_counts_the_content_as_edited) {
    post("/api/insert", R"({"offset":0,"hex":"aa bb"})", 200);
    EXPECT_TRUE(has(post("/api/delete", R"({"offset":19,"length":2})", 200), "\"size\":19,"));
    post("/api/delete", R"({"offset":19,"length":1})", 400);
}

}  // namespace
