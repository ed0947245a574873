#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/error.h"
#include "core/parse_hex.h"
#include "support/test_support.h"

namespace {

// The outputs of one hv_parse_hex call, freed on destruction.
struct parsed {
    int rc = 0;
    int64_t count = -7;
    uint8_t *values = nullptr;
    uint8_t *mask = nullptr;
    explicit parsed(const std::string &text) { rc = hv_parse_hex(text.c_str(), &count, &values, &mask); }
    ~parsed() {
        hv_free(values);
        hv_free(mask);
    }
    bytes value_bytes() const { return values ? bytes(values, values + count) : bytes{}; }
    bytes mask_bytes() const { return mask ? bytes(mask, mask + count) : bytes{}; }
};

struct grammar_case {
    const char *name;
    std::string text;
    bool ok;
    bytes values;
    bytes mask;
};

void PrintTo(const grammar_case &c, std::ostream *os) { *os << c.name; }

class hex_grammar : public ::testing::TestWithParam<grammar_case> {};

TEST_P(hex_grammar, parses_items_or_fails_without_touching_the_outputs) {
    const grammar_case &c = GetParam();
    parsed p(c.text);
    if (!c.ok) {
        EXPECT_EQ(p.rc, -1);
        EXPECT_EQ(p.count, -7);
        EXPECT_EQ(p.values, nullptr);
        EXPECT_EQ(p.mask, nullptr);
        return;
    }
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.value_bytes(), c.values);
    EXPECT_EQ(p.mask_bytes(), c.mask);
}

constexpr uint8_t L = 0xff;  // mask of a literal byte
constexpr uint8_t W = 0x00;  // mask of a wildcard byte

INSTANTIATE_TEST_SUITE_P(
    cases, hex_grammar,
    ::testing::Values(
        grammar_case{"one_byte", "41", true, {0x41}, {L}},
        grammar_case{"padded_by_spaces", " 41 ", true, {0x41}, {L}},
        grammar_case{"adjacent_items", "4142", true, {0x41, 0x42}, {L, L}},
        grammar_case{"space", "41 42", true, {0x41, 0x42}, {L, L}},
        grammar_case{"comma", "41,42", true, {0x41, 0x42}, {L, L}},
        grammar_case{"colon", "41:42", true, {0x41, 0x42}, {L, L}},
        grammar_case{"tab", "41\t42", true, {0x41, 0x42}, {L, L}},
        grammar_case{"mixed_separators", "de:ad,BE EF", true, {0xde, 0xad, 0xbe, 0xef}, {L, L, L, L}},
        grammar_case{"separator_runs", ",: \t00\t\t ,ff:,", true, {0x00, 0xff}, {L, L}},
        grammar_case{"lower_upper", "aB", true, {0xab}, {L}},
        grammar_case{"upper_lower", "Ab", true, {0xab}, {L}},
        grammar_case{"all_digits", "0123456789abcdefABCDEF", true,
                     {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0xab, 0xcd, 0xef}, bytes(11, L)},
        grammar_case{"wildcard", "??", true, {0x00}, {W}},
        grammar_case{"wildcard_between", "41 ?? 43", true, {0x41, 0x00, 0x43}, {L, W, L}},
        grammar_case{"wildcards_adjacent", "????41", true, {0x00, 0x00, 0x41}, {W, W, L}},
        grammar_case{"empty", "", false, {}, {}},
        grammar_case{"separators_only", " ,:\t", false, {}, {}},
        grammar_case{"odd_digit_at_end", "414", false, {}, {}},
        grammar_case{"item_split_by_separator", "4 1", false, {}, {}},
        grammar_case{"prefix_0x", "0x41", false, {}, {}},
        grammar_case{"dash", "41-42", false, {}, {}},
        grammar_case{"newline", "41\n42", false, {}, {}},
        grammar_case{"carriage_return", "41\r42", false, {}, {}},
        grammar_case{"semicolon", "41;42", false, {}, {}},
        grammar_case{"dot", "41.42", false, {}, {}},
        grammar_case{"underscore", "41_42", false, {}, {}},
        grammar_case{"lone_question_mark", "?", false, {}, {}},
        grammar_case{"three_question_marks", "???", false, {}, {}},
        grammar_case{"question_then_digit", "?4", false, {}, {}},
        grammar_case{"digit_then_question", "4?", false, {}, {}},
        grammar_case{"question_then_separator", "? ?", false, {}, {}},
        grammar_case{"not_a_hex_digit", "zz", false, {}, {}},
        grammar_case{"high_byte", "41\xc3\xa9", false, {}, {}},
        grammar_case{"good_then_bad", "41 42 4g", false, {}, {}}),
    [](const ::testing::TestParamInfo<grammar_case> &info) { return std::string(info.param.name); });

std::string items(int n, const char *item = "5a ") {
    std::string text;
    for (int i = 0; i < n; i++) text += item;
    return text;
}

// Records the sizes that the parser asks of realloc.
std::vector<std::size_t> g_growths;

void *recording_realloc(void *p, std::size_t n) {
    g_growths.push_back(n);
    return hv_alloc_native.realloc(p, n);
}

const hv_alloc_table recording_table = {hv_alloc_native.malloc, recording_realloc, hv_alloc_native.free};

struct growth_case {
    int items;
    std::vector<std::size_t> growths;  // both arrays grow at each doubling
};

void PrintTo(const growth_case &c, std::ostream *os) { *os << c.items << " items"; }

class hex_growth : public ::testing::TestWithParam<growth_case> {
protected:
    void SetUp() override {
        g_growths.clear();
        hv_alloc = &recording_table;
    }
    void TearDown() override { hv_alloc = &hv_alloc_native; }
};

TEST_P(hex_growth, capacity_doubles_from_1024) {
    parsed p(items(GetParam().items));
    hv_alloc = &hv_alloc_native;
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.count, GetParam().items);
    EXPECT_EQ(p.value_bytes(), bytes(static_cast<std::size_t>(GetParam().items), 0x5a));
    EXPECT_EQ(p.mask_bytes(), bytes(static_cast<std::size_t>(GetParam().items), 0xff));
    EXPECT_EQ(g_growths, GetParam().growths);
}

INSTANTIATE_TEST_SUITE_P(sizes, hex_growth,
                         ::testing::Values(growth_case{1024, {}}, growth_case{1025, {2048, 2048}},
                                           growth_case{2048, {2048, 2048}},
                                           growth_case{2049, {2048, 2048, 4096, 4096}},
                                           growth_case{4097, {2048, 2048, 4096, 4096, 8192, 8192}}));

// Which allocation fails: the n-th one (0 = the first malloc) of a parse of
// 4097 items, which makes two arrays and grows both three times.
class hex_alloc_failure : public ::testing::TestWithParam<int> {};

TEST_P(hex_alloc_failure, fails_silently_and_frees_what_it_made) {
    hv_err_clear();
    std::string text = items(4097);
    int rc;
    int64_t count = -7;
    uint8_t *values = nullptr;
    uint8_t *mask = nullptr;
    {
        scoped_alloc_failure fail(GetParam());
        rc = hv_parse_hex(text.c_str(), &count, &values, &mask);
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(mask, nullptr);
    EXPECT_STREQ(hv_err_text(), "");
    // The leak checker of the sanitizer run catches an array left behind.
}

INSTANTIATE_TEST_SUITE_P(each_allocation, hex_alloc_failure, ::testing::Range(0, 8));

TEST(hex_alloc_failure_plain, reports_invalid_bytes) {
    uint8_t *values = nullptr;
    int64_t count = -7;
    scoped_alloc_failure fail(1);
    EXPECT_EQ(hv_parse_hex_plain("41", &values, &count), -1);
    EXPECT_STREQ(hv_err_text(), "invalid hex bytes: 41");
    EXPECT_EQ(values, nullptr);
}

TEST(hex_alloc_budget, eight_allocations_parse_4097_items) {
    scoped_alloc_failure enough(8);
    parsed p(items(4097));
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.count, 4097);
}

struct plain_case {
    const char *name;
    std::string text;
    bytes values;         // when ok
    const char *message;  // null when ok
};

void PrintTo(const plain_case &c, std::ostream *os) { *os << c.name; }

class hex_plain : public ::testing::TestWithParam<plain_case> {};

TEST_P(hex_plain, refuses_wildcards_and_words_its_messages) {
    const plain_case &c = GetParam();
    hv_err_clear();
    uint8_t *values = nullptr;
    int64_t count = -7;
    int rc = hv_parse_hex_plain(c.text.c_str(), &values, &count);
    if (c.message) {
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(hv_err_text(), c.message);
        EXPECT_EQ(values, nullptr);
        return;
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(bytes(values, values + count), c.values);
    EXPECT_STREQ(hv_err_text(), "");
    hv_free(values);
}

INSTANTIATE_TEST_SUITE_P(
    cases, hex_plain,
    ::testing::Values(plain_case{"bytes", "de ad be ef", {0xde, 0xad, 0xbe, 0xef}, nullptr},
                      plain_case{"wildcard", "41 ?? 43", {}, "wildcards not allowed in patch bytes"},
                      plain_case{"only_wildcard", "??", {}, "wildcards not allowed in patch bytes"},
                      plain_case{"not_hex", "zz", {}, "invalid hex bytes: zz"},
                      plain_case{"empty", "", {}, "invalid hex bytes: "},
                      plain_case{"odd", "4 1", {}, "invalid hex bytes: 4 1"}),
    [](const ::testing::TestParamInfo<plain_case> &info) { return std::string(info.param.name); });

}  // namespace
