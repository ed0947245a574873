// Loads the built DLL as a Windows host does: every function the header
// declares resolves by its plain name. The export table itself is checked
// against the header by objdump, outside this program.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "declared_names.h"
#include "support/thread_barrier.h"
#include "support/win32.h"

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

// A small file in the temporary folder, removed when the object goes.
struct sample_file {
    std::string path;
    sample_file() {
        char temp[MAX_PATH + 1];
        GetTempPathA(sizeof temp, temp);
        path = std::string(temp) + "hexview-abi-" + std::to_string(GetCurrentProcessId()) + ".bin";
        std::ofstream(path, std::ios::binary) << "sixteen bytes ok";
    }
    ~sample_file() { DeleteFileA(path.c_str()); }
};

TEST(abi, every_declared_function_resolves_from_the_loaded_dll) {
    loaded_library lib;
    ASSERT_NE(lib.module, nullptr) << "LoadLibraryA failed with " << GetLastError();
    std::set<std::string> names = declared_names(HEXVIEW_HEADER_PATH);
    EXPECT_EQ(names.size(), 25u) << "the header declares the 23 functions of the API and the two long-call additions";
    for (const std::string &n : names) EXPECT_NE(lib.function<void (*)()>(n.c_str()), nullptr) << n;

    auto last_error = lib.function<const char *(*)()>("hx_last_error");
    auto open = lib.function<int (*)(const char *)>("hx_open");
    ASSERT_TRUE(last_error && open);
    EXPECT_STREQ(last_error(), "");
    EXPECT_EQ(open(nullptr), -1);
    EXPECT_STREQ(last_error(), "NULL path");
}

// A host's threads each get their own page buffers from the DLL, and those go
// when the threads end.
TEST(abi, page_buffers_of_the_dll_are_freed_when_threads_end) {
    loaded_library lib;
    ASSERT_NE(lib.module, nullptr);
    auto open = lib.function<int (*)(const char *)>("hx_open");
    auto close = lib.function<void (*)()>("hx_close");
    auto page = lib.function<const char *(*)(int64_t, int32_t, const char *)>("hx_page");
    auto ascii_only = lib.function<const char *(*)(int64_t, int32_t)>("hx_ascii_only");
    ASSERT_TRUE(open && close && page && ascii_only);

    sample_file file;
    ASSERT_EQ(open(file.path.c_str()), 0);

    const int kThreads = 48;
    thread_memory_growth g = measure_thread_memory(
        [&] {
            page(0, 1, nullptr);
            ascii_only(0, 1);
        },
        kThreads);
    close();
    EXPECT_GE(g.while_alive, 2 * 1048576) << "two 1 MiB buffers while the thread lives";
    EXPECT_LT(g.after_all_ended, 16 * 1048576) << "kept buffers of the ended threads would be " << 2 * kThreads << " MiB";
}

// A host may unload the DLL while its threads still hold page buffers: the
// buffers go with the DLL, and those threads end later without calling into
// unloaded code.
TEST(abi, unloading_the_dll_before_a_thread_ends_is_safe) {
    auto lib = std::make_unique<loaded_library>();
    ASSERT_NE(lib->module, nullptr);
    auto open = lib->function<int (*)(const char *)>("hx_open");
    auto close = lib->function<void (*)()>("hx_close");
    auto page = lib->function<const char *(*)(int64_t, int32_t, const char *)>("hx_page");
    ASSERT_TRUE(open && close && page);
    sample_file file;
    ASSERT_EQ(open(file.path.c_str()), 0);
    thread_barrier sync(2);
    std::thread t([&] {
        EXPECT_STRNE(page(0, 1, nullptr), "");
        sync.arrive_and_wait();  // the thread's buffers are made
        sync.arrive_and_wait();  // the DLL is gone
    });
    sync.arrive_and_wait();
    close();
    lib.reset();
    EXPECT_EQ(GetModuleHandleA("quillmar-hexview.dll"), nullptr) << "the DLL is unloaded";
    sync.arrive_and_wait();
    t.join();
}

}  // namespace
