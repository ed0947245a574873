#include "edit/save_support.h"

#include <cstdio>
#include <filesystem>

#include "quillmar_hexview.h"

bytes original_content() {
    bytes b(kEditedFileSize);
    for (std::size_t i = 0; i < b.size(); i++) b[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xff);
    return b;
}

void opened_original::SetUp() {
    hexview_test::SetUp();
    original = original_content();
    path = dir.write("data.bin", original);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
}

bytes stage_three_edits(const bytes &original) {
    bytes b = original;
    EXPECT_EQ(hx_insert("aa bb", 0), 0);
    b.insert(b.begin(), {0xaa, 0xbb});
    EXPECT_EQ(hx_write("cc dd", 1048575), 0);
    b[1048575] = 0xcc;
    b[1048576] = 0xdd;
    EXPECT_EQ(hx_delete(2000000, 100), 0);
    b.erase(b.begin() + 2000000, b.begin() + 2000100);
    return b;
}

std::set<std::string> names_in(const std::string &folder) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

std::string raw_row(const bytes &content, std::size_t offset) {
    std::string hex;
    char two[3];
    for (std::size_t i = offset; i < offset + 16; i++) {
        std::snprintf(two, sizeof two, "%02x", i < content.size() ? content[i] : 0);
        hex += two;
    }
    return hex;
}

std::string page_row(int64_t offset) {
    std::vector<std::string> rows = split_rows(hx_page(offset, 1, "raw"));
    return rows.empty() ? "" : json_field(rows[0], "bytes_hex");
}

unsigned long long file_identity(const std::string &path) {
    hv_path_info info{};
    if (!hv_os_native.path_info(path.c_str(), &info)) return 0;
    return info.file_id;
}

unsigned long g_injected_code = 0;

unsigned long injected_code() { return g_injected_code; }

bool fail_with(unsigned long code) {
    g_injected_code = code;
    return false;
}

std::string fill_placeholders(std::string text, const std::vector<std::pair<std::string, std::string>> &values) {
    for (const auto &[key, value] : values) {
        std::size_t at = text.find(key);
        if (at != std::string::npos) text.replace(at, key.size(), value);
    }
    return text;
}

bool in_state_folder(const char *path) {
    std::string folder = journal_state_folder();
    return std::string(path).rfind(folder, 0) == 0;
}

std::set<std::string> names_in_state_folder() {
    std::error_code ec;
    if (!std::filesystem::exists(journal_state_folder(), ec)) return {};
    return names_in(journal_state_folder());
}
