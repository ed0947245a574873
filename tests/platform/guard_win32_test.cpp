// Windows: another program cannot truncate a mapped file, and the vectored
// handler takes only the page errors of the engine's own protected reads.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <string>

#include "core/state.h"
#include "platform/guard.h"
#include "quillmar_hexview.h"
#include "support/child_process.h"
#include "support/page_loss.h"
#include "support/test_support.h"
#include "support/win32.h"

namespace {

constexpr unsigned long kUserMappedFile = 1224;  // ERROR_USER_MAPPED_FILE

// The child of resize_from_another_process: sets the end of the file and
// exits with kChildRan or the system's code.
TEST(shrink_child, DISABLED_resize) {
    std::string arg = child_arg();
    std::size_t bar = arg.find('|');
    std::string path = arg.substr(0, bar);
    LARGE_INTEGER size;
    size.QuadPart = std::stoll(arg.substr(bar + 1));
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = h != INVALID_HANDLE_VALUE && SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    DWORD code = ok ? kChildRan : GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    ExitProcess(code);
}

using win32_guard = hexview_test;

TEST_F(win32_guard, another_program_cannot_truncate_the_mapped_file_and_the_engine_goes_on) {
    std::string path = dir.write("live.bin", iota_bytes(1 << 20));
    ASSERT_EQ(hx_open(path.c_str()), 0);
    unsigned long code = 0;
    EXPECT_FALSE(resize_from_another_process(path, 4096, &code));
    EXPECT_EQ(code, kUserMappedFile);
    EXPECT_EQ(hx_search("hex", "fe ff 00 01", 0), 0);
    EXPECT_EQ(hx_search_count(), 4095);
    EXPECT_NE(std::string(hx_entropy_json()), "");
    EXPECT_STREQ(hx_last_error(), "");
    hx_close();
    EXPECT_TRUE(resize_from_another_process(path, 4096));  // once unmapped, it can
}

TEST_F(win32_guard, a_lost_view_is_replaced_by_memory_that_the_close_frees) {
    std::string path = dir.write("live.bin", iota_bytes(1 << 20));
    ASSERT_EQ(hx_open(path.c_str()), 0);
    const uint8_t *base = S.view;
    ASSERT_TRUE(lose_file_tail(path, S.view, S.file_size, 65536));
    // A page of the lost tail is read from the view (a search reads the file itself).
    EXPECT_STREQ(hx_page(S.file_size - 16, 1, nullptr), "");
    EXPECT_EQ(hx_last_error(), "file shrank on disk since it was opened: " + path);
    MEMORY_BASIC_INFORMATION m;
    ASSERT_EQ(VirtualQuery(base, &m, sizeof m), sizeof m);
    EXPECT_EQ(m.Type, static_cast<DWORD>(MEM_PRIVATE));
    hx_close();
    forget_page_loss();
    ASSERT_EQ(VirtualQuery(base, &m, sizeof m), sizeof m);
    EXPECT_EQ(m.State, static_cast<DWORD>(MEM_FREE));
}

// A host's last-chance handler: takes every page error that reaches it.
int g_host_page_errors = 0;

LONG CALLBACK host_handler(EXCEPTION_POINTERS *ep) {
    if (ep->ExceptionRecord->ExceptionCode != EXCEPTION_IN_PAGE_ERROR) return EXCEPTION_CONTINUE_SEARCH;
    g_host_page_errors++;
    return EXCEPTION_CONTINUE_EXECUTION;
}

void raise_page_error(const void *address) {
    ULONG_PTR info[3] = {0, reinterpret_cast<ULONG_PTR>(address), 0xC000009D};
    RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 3, info);
}

TEST_F(win32_guard, page_errors_outside_the_engines_protected_reads_reach_the_host) {
    std::string path = dir.write("live.bin", iota_bytes(1 << 16));
    ASSERT_EQ(hx_open(path.c_str()), 0);
    void *host = AddVectoredExceptionHandler(0, host_handler);
    ASSERT_NE(host, nullptr);
    g_host_page_errors = 0;
    uint8_t own[16] = {};
    raise_page_error(S.view + 100);  // the engine's view, but no protected read
    {
        hv_protected_read reading;
        raise_page_error(own);  // a protected read, but not the engine's memory
    }
    EXPECT_EQ(g_host_page_errors, 2);
    EXPECT_FALSE(hv_guard_lost(HV_GUARD_VIEW));
    {
        hv_protected_read reading;
        raise_page_error(S.view + 100);  // the engine's, inside a protected read
    }
    EXPECT_EQ(g_host_page_errors, 2);
    EXPECT_TRUE(hv_guard_lost(HV_GUARD_VIEW));
    EXPECT_EQ(hx_search("ascii", "x", 0), -1);
    RemoveVectoredExceptionHandler(host);
}

}  // namespace
#endif
