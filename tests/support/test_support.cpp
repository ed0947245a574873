#include "support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "quillmar_hexview.h"

namespace fs = std::filesystem;

namespace {

// Journals that cannot lie beside their file go to the user's state folder:
// every test process gets a fresh one of its own (and the programs it
// starts inherit it), never the real user's.
std::string g_process_state_root;

class private_state_folder : public ::testing::Environment {
public:
    private_state_folder() : root_(std::make_unique<temp_dir>()) {
        g_process_state_root = root_->path();
        point_state_folder_at(g_process_state_root);
    }
    void TearDown() override { root_.reset(); }

private:
    std::unique_ptr<temp_dir> root_;
};

[[maybe_unused]] ::testing::Environment *const g_state_folder =
    ::testing::AddGlobalTestEnvironment(new private_state_folder);

}  // namespace

void point_state_folder_at(const std::string &root) {
#ifdef _WIN32
    _putenv_s("LOCALAPPDATA", root.c_str());
#else
    setenv("XDG_STATE_HOME", root.c_str(), 1);
#endif
}

std::string journal_state_folder() {
#ifdef _WIN32
    const char *root = std::getenv("LOCALAPPDATA");
    return std::string(root ? root : "") + "\\quillmar-hexview";  // as the library spells it
#else
    const char *root = std::getenv("XDG_STATE_HOME");
    return std::string(root ? root : "") + "/quillmar-hexview";
#endif
}

std::string journal_state_file(const std::string &name) {
#ifdef _WIN32
    return journal_state_folder() + "\\" + name;
#else
    return journal_state_folder() + "/" + name;
#endif
}

temp_dir::temp_dir() {
    fs::path base = fs::temp_directory_path();
    std::random_device rd;
    for (;;) {
        fs::path p = base / ("hexview-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            path_ = p.string();
            return;
        }
    }
}

temp_dir::~temp_dir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string temp_dir::write(const std::string &name, const bytes &data) const {
    std::string p = file(name);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    return p;
}

std::string temp_dir::write(const std::string &name, const std::string &text) const {
    return write(name, to_bytes(text));
}

bytes read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string write_sparse(const temp_dir &dir, const std::string &name, int64_t size,
                         const std::vector<island> &islands) {
    std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc).close();
    fs::resize_file(path, static_cast<std::uintmax_t>(size));
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    for (const island &i : islands) {
        f.seekp(static_cast<std::streamoff>(i.at));
        f.write(reinterpret_cast<const char *>(i.data.data()), static_cast<std::streamsize>(i.data.size()));
    }
    return path;
}

bytes sparse_bytes(int64_t size, const std::vector<island> &islands) {
    bytes all(static_cast<std::size_t>(size), 0);
    for (const island &i : islands) std::copy(i.data.begin(), i.data.end(), all.begin() + i.at);
    return all;
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bytes to_bytes(const std::string &text) { return bytes(text.begin(), text.end()); }

std::string hex_string(const bytes &b) {
    std::string s;
    char two[3];
    for (uint8_t v : b) {
        std::snprintf(two, sizeof two, "%02x", v);
        s += two;
    }
    return s;
}

bytes iota_bytes(std::size_t n, uint8_t first) {
    bytes b(n);
    for (std::size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

// Journals kept in the state folder are named by the file's identity, which
// a file of a later test may get again: each test has a folder of its own.
void hexview_test::SetUp() {
    hx_close();
    point_state_folder_at(state_root.path());
}

void hexview_test::TearDown() {
    hx_close();
    point_state_folder_at(g_process_state_root);
}

scoped_os::scoped_os() : table(*hv_os) { hv_os = &table; }

scoped_os::~scoped_os() { hv_os = &hv_os_native; }

namespace {

int g_allocs_left = 0;

void *failing_malloc(std::size_t n) {
    if (g_allocs_left <= 0) return nullptr;
    g_allocs_left--;
    return std::malloc(n);
}

void *failing_realloc(void *p, std::size_t n) {
    if (g_allocs_left <= 0) return nullptr;
    g_allocs_left--;
    return std::realloc(p, n);
}

const hv_alloc_table failing_table = {failing_malloc, failing_realloc, std::free};

}  // namespace

scoped_alloc_failure::scoped_alloc_failure(int allow) {
    g_allocs_left = allow;
    hv_alloc = &failing_table;
}

scoped_alloc_failure::~scoped_alloc_failure() { hv_alloc = &hv_alloc_native; }

std::vector<std::string> split_rows(const std::string &list) {
    std::vector<std::string> rows;
    if (list.size() < 2 || list == "[]") return rows;
    std::string body = list.substr(1, list.size() - 2);
    std::size_t pos = 0;
    for (;;) {
        std::size_t next = body.find("}, {", pos);
        if (next == std::string::npos) {
            rows.push_back(body.substr(pos));
            return rows;
        }
        rows.push_back(body.substr(pos, next + 1 - pos));
        pos = next + 3;
    }
}

std::string json_field(const std::string &object, const std::string &key) {
    std::string needle = "\"" + key + "\":\"";
    std::size_t at = object.find(needle);
    if (at == std::string::npos) return "";
    at += needle.size();
    std::string value;
    for (std::size_t i = at; i < object.size(); i++) {
        if (object[i] == '\\' && i + 1 < object.size()) {
            value += object[i];
            value += object[++i];
            continue;
        }
        if (object[i] == '"') break;
        value += object[i];
    }
    return value;
}
