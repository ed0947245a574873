#include "fuzz_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

std::string fuzz_content(input_reader &in, size_t limit) {
    std::string s;
    int pieces = in.pick(32);
    for (int i = 0; i < pieces && s.size() < limit; i++) {
        if (in.flag()) {
            s += in.take(static_cast<size_t>(in.range(0, 64)));
        } else {
            std::string unit = in.take(static_cast<size_t>(in.range(1, 64)));
            if (unit.empty()) break;
            size_t times = static_cast<size_t>(in.range(0, 255)) * (in.flag() ? 64 : 1);
            for (size_t k = 0; k < times && s.size() < limit; k++) s += unit;
        }
    }
    if (s.size() > limit) s.resize(limit);
    return s;
}

const std::string &fuzz_dir() {
    // Never destroyed: the exit handler below still needs it.
    static const std::string &dir = *new std::string([] {
        struct stat st;
        const char *base = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0
                               ? "/dev/shm"
                               : "/tmp";
        std::string d = std::string(base) + "/hexview-fuzz-" + std::to_string(::getpid());
        ::mkdir(d.c_str(), 0700);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(fuzz_dir(), ignored);
        });
        return d;
    }());
    return dir;
}

std::string fuzz_path(const std::string &name) { return fuzz_dir() + "/" + name; }

void fuzz_write_file(const std::string &path, const std::string &content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    f.close();
    if (!f) fuzz_fail("fuzz_write_file", __FILE__, __LINE__, path);
}

bytes fuzz_read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) return {};
    bytes b(static_cast<size_t>(f.tellg()));
    f.seekg(0);
    f.read(reinterpret_cast<char *>(b.data()), static_cast<std::streamsize>(b.size()));
    return b;
}

namespace {

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

parsed_hex reference_parse_hex(const std::string &t) {
    parsed_hex r;
    for (size_t i = 0; i < t.size();) {
        char c = t[i];
        if (c == '\t' || c == ' ' || c == ',' || c == ':') {
            i++;
        } else if (c == '?' && i + 1 < t.size() && t[i + 1] == '?') {
            r.values.push_back(0);
            r.mask.push_back(0);
            i += 2;
        } else if (digit(c) >= 0 && i + 1 < t.size() && digit(t[i + 1]) >= 0) {
            r.values.push_back(static_cast<uint8_t>(digit(c) * 16 + digit(t[i + 1])));
            r.mask.push_back(0xff);
            i += 2;
        } else {
            return parsed_hex{};
        }
    }
    r.ok = !r.values.empty();
    return r;
}

std::string reference_json_escape(const std::string &src, size_t cap) {
    std::string out;
    for (size_t i = 0; i < src.size(); i++) {
        uint8_t b = static_cast<uint8_t>(src[i]);
        if (b == '"' || b == '\\') {
            if (out.size() + 2 < cap) {
                out += '\\';
                out += static_cast<char>(b);
            }
        } else if (b < 0x20) {
            char u[8];
            std::snprintf(u, sizeof u, "\\u%04x", b);
            out += u;
        } else {
            out += static_cast<char>(b);
        }
        if (i + 1 < src.size() && out.size() + 8 >= cap) break;
    }
    return out;
}

std::string lower_hex(const uint8_t *b, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

std::string format_offset(const char *fmt, uint64_t v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, static_cast<unsigned long long>(v));
    return buf;
}

int fuzz_open_fds() {
    DIR *d = ::opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (::readdir(d)) n++;
    ::closedir(d);
    return n;
}

int fuzz_mapped_files() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int n = 0;
    while (std::getline(maps, line))
        if (line.find(fuzz_dir()) != std::string::npos) n++;
    return n;
}

void fuzz_fail(const char *what, const char *file, int line, const std::string &detail) {
    std::fprintf(stderr, "check failed: %s at %s:%d\n%s\n", what, file, line, detail.c_str());
    std::abort();
}
