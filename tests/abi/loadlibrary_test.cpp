// Loads the built DLL as a Windows host does: every function the header
// declares resolves by its plain name. The export table itself is checked
// against the header by objdump, outside this program.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "declared_names.h"

namespace {

// A loaded library, freed when the object goes.
struct loaded_library {
    HMODULE module = LoadLibraryA(HEXVIEW_LIBRARY_PATH);
    ~loaded_library() {
        if (module) FreeLibrary(module);
    }
    template <typename F>
    F function(const char *name) const {
        return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    }
};

TEST(abi, every_declared_function_resolves_from_the_loaded_dll) {
    loaded_library lib;
    ASSERT_NE(lib.module, nullptr) << "LoadLibraryA failed with " << GetLastError();
    std::set<std::string> names = declared_names(HEXVIEW_HEADER_PATH);
    EXPECT_GE(names.size(), 7u);
    for (const std::string &n : names) EXPECT_NE(lib.function<void (*)()>(n.c_str()), nullptr) << n;

    auto last_error = lib.function<const char *(*)()>("hx_last_error");
    auto open = lib.function<int (*)(const char *)>("hx_open");
    ASSERT_TRUE(last_error && open);
    EXPECT_STREQ(last_error(), "");
    EXPECT_EQ(open(nullptr), -1);
    EXPECT_STREQ(last_error(), "NULL path");
}

}  // namespace
