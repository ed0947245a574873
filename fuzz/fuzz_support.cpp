#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>

std::string fuzz_path(const char *name) {
    return "/tmp/hexview-fuzz-" + std::to_string(getpid()) + "-" + name;
}

void fuzz_write_file(const std::string &path, const std::string &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}
