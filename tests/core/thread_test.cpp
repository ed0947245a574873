#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "core/error.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer)
#define HEXVIEW_HAVE_MALLINFO 1
#endif
#else
#define HEXVIEW_HAVE_MALLINFO 1
#endif
#endif

#ifdef HEXVIEW_HAVE_MALLINFO
#include <malloc.h>
#endif

#ifdef _WIN32
#include "support/win32.h"
#endif

namespace {

using threads = hexview_test;

TEST_F(threads, a_fresh_thread_has_an_empty_error_text) {
    EXPECT_EQ(hx_open(nullptr), -1);
    std::string seen = "unset";
    std::thread t([&] { seen = hx_last_error(); });
    t.join();
    EXPECT_EQ(seen, "");
    EXPECT_STREQ(hx_last_error(), "NULL path");
}

struct thread_view {
    const char *page = nullptr;
    std::string page_text;
    std::string page_text_later;
    std::string error_later;
};

TEST_F(threads, each_thread_has_its_own_error_text_and_page_buffer) {
    ASSERT_EQ(hx_open(dir.write("f.bin", iota_bytes(64, 0x41)).c_str()), 0);
    thread_barrier sync(2);
    thread_view a, b;
    auto run = [&](thread_view &v, int64_t offset, const char *message) {
        v.page = hx_page(offset, 1, nullptr);
        v.page_text = v.page;
        hv_err("%s", message);
        sync.arrive_and_wait();  // both pages and both messages now exist
        sync.arrive_and_wait();
        v.page_text_later = v.page;
        v.error_later = hx_last_error();
    };
    std::thread ta(run, std::ref(a), 0, "failure on a");
    std::thread tb(run, std::ref(b), 16, "failure on b");
    ta.join();
    tb.join();
    EXPECT_NE(a.page, b.page);
    EXPECT_NE(a.page_text, b.page_text);
    EXPECT_EQ(a.page_text_later, a.page_text);
    EXPECT_EQ(b.page_text_later, b.page_text);
    EXPECT_EQ(a.error_later, "failure on a");
    EXPECT_EQ(b.error_later, "failure on b");
    EXPECT_STREQ(hx_last_error(), "");
}

#ifdef HEXVIEW_HAVE_MALLINFO
TEST_F(threads, page_buffer_is_freed_when_the_thread_ends) {
    ASSERT_EQ(hx_open(dir.write("f.bin", iota_bytes(64)).c_str()), 0);
    auto mapped = [] {
        struct mallinfo2 m = mallinfo2();
        return m.uordblks + m.hblkhd;  // bytes in use, on every arena and in mappings
    };
    std::size_t before = mapped();
    std::size_t during = 0;
    std::thread t([&] {
        hx_page(0, 1, nullptr);
        hx_ascii_only(0, 1);
        during = mapped();
    });
    t.join();
    EXPECT_GE(during, before + 2 * 1048576) << "two 1 MiB buffers while the thread lives";
    EXPECT_LT(mapped(), before + 65536) << "and none after it ended";
}
#endif

#ifdef _WIN32
TEST_F(threads, page_buffers_are_freed_when_threads_end) {
    ASSERT_EQ(hx_open(dir.write("f.bin", iota_bytes(64)).c_str()), 0);
    const int kThreads = 48;
    thread_memory_growth g = measure_thread_memory(
        [] {
            hx_page(0, 1, nullptr);
            hx_ascii_only(0, 1);
        },
        kThreads);
    EXPECT_GE(g.while_alive, 2 * 1048576) << "two 1 MiB buffers while the thread lives";
    EXPECT_LT(g.after_all_ended, 16 * 1048576) << "kept buffers of the ended threads would be " << 2 * kThreads << " MiB";
}
#endif

}  // namespace
