#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json.h"

namespace {

struct escape_case {
    const char *name;
    std::string src;
    uint64_t cap;
    std::string expected;
};

void PrintTo(const escape_case &c, std::ostream *os) { *os << c.name; }

class json_escape : public ::testing::TestWithParam<escape_case> {};

TEST_P(json_escape, writes_the_string_body) {
    const escape_case &c = GetParam();
    std::vector<char> dst(c.cap + 8, '#');
    hv_json_escape(dst.data(), c.cap, reinterpret_cast<const uint8_t *>(c.src.data()), c.src.size());
    EXPECT_EQ(std::string(dst.data()), c.expected);
    // Nothing is written at or past the capacity.
    for (uint64_t i = c.cap; i < dst.size(); i++) EXPECT_EQ(dst[i], '#') << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    cases, json_escape,
    ::testing::Values(
        escape_case{"quote", "a\"b", 64, "a\\\"b"},
        escape_case{"backslash", "\\", 64, "\\\\"},
        escape_case{"control_byte", std::string("\x01", 1), 64, "\\u0001"},
        escape_case{"newline_long_form", "\n", 64, "\\u000a"},
        escape_case{"nul_byte", std::string("a\0b", 3), 64, "a\\u0000b"},
        escape_case{"del_and_high_pass", "\x7f\xe9", 64, "\x7f\xe9"},
        escape_case{"empty", "", 64, ""},
        escape_case{"cut_leaves_room_for_an_escape", std::string(20, 'x'), 16, std::string(8, 'x')},
        escape_case{"smallest_capacity_holds_one_escape", "\x1f", 7, "\\u001f"},
        escape_case{"escape_pairs_never_split", std::string(10, '"'), 12, "\\\"\\\""}),
    [](const auto &info) { return std::string(info.param.name); });

std::string build_list(std::size_t cap, const std::vector<std::string> &elements) {
    std::vector<char> buf(cap, 'Z');
    hv_list list = hv_list_begin(buf.data(), cap);
    for (const std::string &e : elements) hv_list_add(list, e.data(), e.size());
    return hv_list_end(list);
}

TEST(json_list, frames_elements_with_comma_and_space) {
    EXPECT_EQ(build_list(64, {}), "[]");
    EXPECT_EQ(build_list(64, {"{\"a\":1}"}), "[{\"a\":1}]");
    EXPECT_EQ(build_list(64, {"{}", "{}", "{}"}), "[{}, {}, {}]");
}

TEST(json_list, text_of_exactly_the_bound_is_kept_and_one_more_is_dropped) {
    // With a buffer of 16 bytes a list may be 14 characters long.
    EXPECT_EQ(build_list(16, {"{}", "{\"k\":12}"}), "[{}, {\"k\":12}]");  // 14
    EXPECT_EQ(build_list(16, {"{}", "{\"k\":123}"}), "");                // 15
    EXPECT_EQ(build_list(16, {"{\"k\":\"1234\"}"}), "[{\"k\":\"1234\"}]");  // 14
    EXPECT_EQ(build_list(16, {"{\"k\":\"12345\"}"}), "");                 // 15
}

TEST(json_list, never_writes_the_last_byte_of_the_buffer) {
    const std::size_t cap = 32;
    std::vector<char> buf(cap, 'Z');
    hv_list list = hv_list_begin(buf.data(), cap);
    std::string big(100, 'e');
    hv_list_add(list, big.data(), big.size());
    EXPECT_EQ(buf[cap - 1], 'Z');
    EXPECT_STREQ(hv_list_end(list), "");
    EXPECT_EQ(buf[cap - 1], 'Z');
}

}  // namespace
