// Loads the built library as a host does: every function the header declares
// resolves, and nothing else is exported.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "declared_names.h"

namespace {

std::set<std::string> exported_names() {
    std::string cmd = std::string("nm -D --defined-only '") + HEXVIEW_LIBRARY_PATH + "'";
    std::set<std::string> names;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return names;
    char line[1024];
    while (std::fgets(line, sizeof line, p)) {
        char addr[64], type[8], name[900];
        if (std::sscanf(line, "%63s %7s %899s", addr, type, name) == 3) names.insert(name);
    }
    pclose(p);
    return names;
}

TEST(abi, every_declared_function_resolves_from_the_loaded_library) {
    void *lib = dlopen(HEXVIEW_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    std::set<std::string> names = declared_names(HEXVIEW_HEADER_PATH);
    EXPECT_EQ(names.size(), 25u) << "the header declares the 23 functions of the API and the two long-call additions";
    for (const std::string &n : names) EXPECT_NE(dlsym(lib, n.c_str()), nullptr) << n;

    using last_error_fn = const char *(*)();
    using open_fn = int (*)(const char *);
    auto last_error = reinterpret_cast<last_error_fn>(dlsym(lib, "hx_last_error"));
    auto open = reinterpret_cast<open_fn>(dlsym(lib, "hx_open"));
    ASSERT_TRUE(last_error && open);
    EXPECT_STREQ(last_error(), "");
    EXPECT_EQ(open(nullptr), -1);
    EXPECT_STREQ(last_error(), "NULL path");
    dlclose(lib);
}

TEST(abi, only_the_declared_functions_are_exported) {
#ifdef HEXVIEW_SANITIZED
    GTEST_SKIP() << "sanitizer instrumentation exports symbols of its own";
#endif
    std::set<std::string> exported = exported_names();
    ASSERT_FALSE(exported.empty());
    EXPECT_EQ(exported, declared_names(HEXVIEW_HEADER_PATH));
}

}  // namespace
