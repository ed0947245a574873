// Faults injected into the save through the OS table: whatever fails before
// the rename, the user's file stays as it was, no temporary file is left, and
// the open file keeps its view, its edits and its content.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/state.h"
#include "edit/save_support.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace fs = std::filesystem;

namespace {

// State of the injected faults, reset before each test.
int g_write_calls = 0;
unsigned long &g_code = g_injected_code;

// The second write call fails: the first megabyte is written.
void write_fails_half_way(hv_os_table &t) {
    t.write = [](hv_handle h, const uint8_t *d, std::size_t n, std::size_t *w) {
        if (++g_write_calls == 2) return fail_with(EIO);
        return hv_os_native.write(h, d, n, w);
    };
}

// The first call writes half of what it was given, the next one fails.
void short_write_then_failure(hv_os_table &t) {
    t.write = [](hv_handle h, const uint8_t *d, std::size_t n, std::size_t *w) {
        if (++g_write_calls == 1) return hv_os_native.write(h, d, n / 2, w);
        return fail_with(EFBIG);
    };
}

void disk_full_on_flush(hv_os_table &t) {
    t.flush = [](hv_handle) { return fail_with(ENOSPC); };
}

void rename_fails(hv_os_table &t) {
    t.replace_file = [](const char *, const char *) {
        g_code = EIO;
        return HV_FS_FAILED;
    };
}

void size_read_back_differs(hv_os_table &t) {
    t.file_size = [](hv_handle h, int64_t *size) {
        bool ok = hv_os_native.file_size(h, size);
        *size += 1;
        return ok;
    };
}

// The size of the finished new file cannot be read (through its own handle).
hv_handle g_new_file = HV_NO_HANDLE;

void written_file_size_cannot_be_read(hv_os_table &t) {
    g_new_file = HV_NO_HANDLE;
    t.create_temp_beside = [](const char *p, hv_temp_kind k, hv_handle *h, char *tp, std::size_t c) {
        hv_fs_result r = hv_os_native.create_temp_beside(p, k, h, tp, c);
        g_new_file = *h;
        return r;
    };
    t.file_size = [](hv_handle h, int64_t *size) {
        if (h == g_new_file) return fail_with(EIO);
        return hv_os_native.file_size(h, size);
    };
}

void disk_full_for_the_temp_file(hv_os_table &t) {
    t.create_temp_beside = [](const char *, hv_temp_kind, hv_handle *, char *, std::size_t) {
        g_code = ENOSPC;
        return HV_FS_FAILED;
    };
}

// Messages: %s the target path; %n the content's length, %m that length plus one.
const fault_case kFaults[] = {
    {"write_fails_half_way", write_fails_half_way, "WriteFile failed: %s"},
    {"short_write_then_failure", short_write_then_failure, "WriteFile failed: %s"},
    {"disk_full_on_flush", disk_full_on_flush, "WriteFile failed: %s"},
    {"rename_fails", rename_fails, "cannot open for write: %s (win error 5)"},
    {"size_read_back_differs", size_read_back_differs, "save size mismatch: expected %n got %m"},
    {"written_file_size_cannot_be_read", written_file_size_cannot_be_read, "save size mismatch: expected %n got -1"},
    {"disk_full_for_the_temp_file", disk_full_for_the_temp_file, "cannot open for write: %s (win error 28)"},
};

std::string fill_message(const std::string &text, const std::string &path, std::size_t length) {
    return fill_placeholders(text, {{"%s", path}, {"%n", std::to_string(length)}, {"%m", std::to_string(length + 1)}});
}

enum class save_mode { in_place, save_as };

class edited_file : public opened_original {
protected:
    void SetUp() override {
        g_write_calls = 0;
        g_code = 0;
        ASSERT_NO_FATAL_FAILURE(opened_original::SetUp());
        other = dir.write("other.bin", iota_bytes(3000, 9));
        expected = stage_three_edits(original);
        staged = hx_staged_json();
    }

    // The open file still works on its view, with its edits and its content.
    void expect_open_file_usable() {
        EXPECT_EQ(S.is_open, 1);
        EXPECT_EQ(S.n_edits, 3);
        EXPECT_EQ(std::string(hx_staged_json()), staged);
        ASSERT_NE(S.logical, nullptr);
        EXPECT_EQ(S.logical_stale, 0);
        EXPECT_EQ(hx_file_size(), static_cast<int64_t>(expected.size()));
        EXPECT_EQ(page_row(0), raw_row(expected, 0));
        EXPECT_EQ(page_row(1048570), raw_row(expected, 1048570));
        EXPECT_EQ(page_row(1999990), raw_row(expected, 1999990));
    }

    bytes expected;
    std::string other, staged;
};

class save_fault : public edited_file,
                   public ::testing::WithParamInterface<std::tuple<fault_case, save_mode>> {};

TEST_P(save_fault, leaves_the_target_intact_and_the_open_file_usable) {
    const auto &[fault, mode] = GetParam();
    bool in_place = mode == save_mode::in_place;
    std::string target = in_place ? path : other;
    bytes target_before = read_file(target);
    const uint8_t *view = S.view;
    {
        scoped_os os;
        os.table.last_error = injected_code;
        fault.inject(os.table);
        EXPECT_EQ(hx_save(in_place ? nullptr : target.c_str()), -1);
    }
    EXPECT_EQ(hx_last_error(), fill_message(fault.message, target, expected.size()));
    EXPECT_EQ(read_file(target), target_before) << "the target is untouched";
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "other.bin"})) << "no temporary file is left";
    // A refused rename of the open file lets go of the view and retries, so
    // the view may come back at another address.
    if (!in_place || std::string(fault.name) != "rename_fails") {
        EXPECT_EQ(S.view, view) << "the open file stays mapped";
    }
    ASSERT_NE(S.view, nullptr) << "the open file is mapped";
    EXPECT_EQ(std::memcmp(S.view, original.data(), original.size()), 0);
    expect_open_file_usable();

    ASSERT_EQ(hx_save(in_place ? nullptr : target.c_str()), 0) << hx_last_error();
    EXPECT_EQ(read_file(target), expected);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "other.bin"}));
}

INSTANTIATE_TEST_SUITE_P(faults, save_fault,
                         ::testing::Combine(::testing::ValuesIn(kFaults),
                                            ::testing::Values(save_mode::in_place, save_mode::save_as)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == save_mode::in_place ? "_in_place" : "_save_as");
                         });

// Refusals of the folder that rewriting the file in place gets around.
struct detour_case {
    const char *name;
    void (*inject)(hv_os_table &);
};

void PrintTo(const detour_case &c, std::ostream *os) { *os << c.name; }

class save_detour : public edited_file, public ::testing::WithParamInterface<detour_case> {};

TEST_P(save_detour, rewrites_the_target_in_place) {
    unsigned long long id = file_identity(path);
    {
        scoped_os os;
        GetParam().inject(os.table);
        ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    }
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(file_identity(path), id);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "other.bin"}));
    EXPECT_EQ(page_row(1048570), raw_row(expected, 1048570));
}

INSTANTIATE_TEST_SUITE_P(
    refusals, save_detour,
    ::testing::Values(
        detour_case{"no_new_file_in_the_folder",
                    [](hv_os_table &t) {
                        t.create_temp_beside = [](const char *p, hv_temp_kind k, hv_handle *h, char *tp,
                                                  std::size_t c) {
                            if (!in_state_folder(p)) return HV_FS_NOT_ALLOWED;
                            return hv_os_native.create_temp_beside(p, k, h, tp, c);
                        };
                    }},
        detour_case{"no_rename_over_the_target",
                    [](hv_os_table &t) {
                        t.replace_file = [](const char *from, const char *to) {
                            if (!std::strstr(to, ".hexview-journal")) return HV_FS_NOT_ALLOWED;
                            return hv_os_native.replace_file(from, to);
                        };
                    }},
        detour_case{"attributes_cannot_be_copied",
                    [](hv_os_table &t) { t.apply_attributes = [](hv_handle, const hv_path_info *) { return false; }; }}),
    [](const auto &info) { return std::string(info.param.name); });

// Windows refuses to rename over a mapped file: the save lets go of its view
// for the rename and opens the saved file again.
TEST_F(edited_file, a_rename_refused_over_the_mapped_file_succeeds_without_the_view) {
    unsigned long long id = file_identity(path);
    {
        scoped_os os;
        os.table.replace_file = [](const char *from, const char *to) {
            if (S.view) return HV_FS_NOT_ALLOWED;
            return hv_os_native.replace_file(from, to);
        };
        ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    }
    EXPECT_EQ(read_file(path), expected);
    EXPECT_NE(file_identity(path), id) << "replaced by the new file, not rewritten";
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "other.bin"}));
    ASSERT_NE(S.view, nullptr);
    EXPECT_EQ(S.n_edits, 0);
    EXPECT_EQ(page_row(1048570), raw_row(expected, 1048570));
}

TEST_F(edited_file, a_folder_that_cannot_be_synced_does_not_undo_the_save) {
    scoped_os os;
    os.table.sync_folder_of = [](const char *) { return false; };
    ASSERT_EQ(hx_save(other.c_str()), 0);
    EXPECT_EQ(read_file(other), expected);
}

// A file with a second name and a size-changing edit is rewritten in place,
// which releases the view: a whole copy of the content goes beside it first,
// flushed, with a journal naming it, and after a failure the message names
// the copy, pages read it, and the next read-write open finishes the rewrite.
bool g_target_opened = false;

class rewritten_in_place : public edited_file {
protected:
    void SetUp() override {
        g_target_opened = false;
        edited_file::SetUp();
        fs::create_hard_link(path, dir.file("twin.bin"));
    }

    // The second write to the target itself fails, after the copy is whole.
    static void target_write_fails_half_way(hv_os_table &t) {
        t.open_existing_rw = [](const char *p) {
            g_target_opened = true;
            return hv_os_native.open_existing_rw(p);
        };
        t.write = [](hv_handle h, const uint8_t *d, std::size_t n, std::size_t *w) {
            if (g_target_opened && ++g_write_calls == 2) return fail_with(EIO);
            return hv_os_native.write(h, d, n, w);
        };
    }

    // A folder that lets no new file be made: the copy and its journal go to
    // the user's state folder.
    static void no_file_beside(hv_os_table &t) {
        t.create_temp_beside = [](const char *p, hv_temp_kind k, hv_handle *h, char *tp, std::size_t c) {
            if (!in_state_folder(p)) return HV_FS_NOT_ALLOWED;
            return hv_os_native.create_temp_beside(p, k, h, tp, c);
        };
    }

    void fail_a_save(const char *target, bool no_folder = false) {
        scoped_os os;
        os.table.last_error = injected_code;
        target_write_fails_half_way(os.table);
        if (no_folder) no_file_beside(os.table);
        EXPECT_EQ(hx_save(target), -1);
    }

    // The copy a failed rewrite left (beside the file, or in the state folder).
    std::string left_copy() {
        for (const std::string &folder : {dir.path(), journal_state_folder()})
            for (const std::string &name : folder == dir.path() ? names_in(folder) : names_in_state_folder())
                if (name.find(".hxcopy-") != std::string::npos)
                    return folder == dir.path() ? dir.file(name) : journal_state_file(name);
        return "";
    }

    // Its journal: a file with two names keeps it in the state folder,
    // where the open through either name finds it.
    std::string left_journal() {
        for (const std::string &name : names_in_state_folder())
            if (name.size() > 16 && name.substr(name.size() - 16) == ".hexview-journal")
                return journal_state_file(name);
        return "";
    }

    std::set<std::string> untouched_names() const { return {"data.bin", "twin.bin", "other.bin"}; }
};

TEST_F(rewritten_in_place, after_a_failed_save_pages_read_the_copy_and_a_new_save_works) {
    fail_a_save(nullptr);
    std::string copy = left_copy();
    ASSERT_NE(copy, "") << "the copy stays on disk";
    EXPECT_EQ(hx_last_error(), "WriteFile failed: " + path + " - the content is whole in " + copy);
    EXPECT_EQ(read_file(copy), expected);
    EXPECT_NE(left_journal(), "") << "with the journal that names it";
    EXPECT_EQ(S.view, nullptr);
    EXPECT_EQ(S.file_size, static_cast<int64_t>(original.size()));
    expect_open_file_usable();

    // A new edit would need a rebuild from the released view: it is refused
    // and the copy stays the content.
    EXPECT_EQ(hx_write("ee", 0), -1);
    EXPECT_STREQ(hx_last_error(), "file content unavailable after a failed save - save again or reopen the file");
    EXPECT_EQ(hx_delete(0, 1), -1);
    EXPECT_EQ(S.n_edits, 3);
    expect_open_file_usable();

    ASSERT_EQ(hx_save(dir.file("copy.bin").c_str()), 0) << "a save-as from the copy";
    EXPECT_EQ(read_file(dir.file("copy.bin")), expected);
    EXPECT_EQ(hx_insert("ee", 0), -1) << "still no view to build on";
    EXPECT_EQ(hx_save(nullptr), 0) << "nothing staged: nothing to do";
    ASSERT_EQ(hx_discard(), 0);
    EXPECT_EQ(read_file(copy), expected) << "a discard leaves the named copy on disk";

    // The next read-write open finishes the rewrite from the copy.
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_EQ(hx_last_error(), "finished an interrupted save of " + path + " from its copy " + copy +
                                   ": the file holds the content that save wrote");
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(read_file(dir.file("twin.bin")), expected);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "twin.bin", "other.bin", "copy.bin"}));
    EXPECT_EQ(S.n_edits, 0);
}

// The journal of a file with two names is found through either name.
TEST_F(rewritten_in_place, the_other_name_finishes_the_rewrite) {
    fail_a_save(nullptr);
    std::string copy = left_copy(), twin = dir.file("twin.bin");
    hx_close();
    ASSERT_EQ(hx_open_rw(twin.c_str()), 0);
    EXPECT_EQ(hx_last_error(), "finished an interrupted save of " + twin + " from its copy " + copy +
                                   ": the file holds the content that save wrote");
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(names_in_state_folder(), std::set<std::string>{});
}

// A later file that got the inode number of the one whose rewrite stopped
// (its birth time tells them apart) is another file: left alone.
TEST_F(rewritten_in_place, a_later_file_with_the_same_number_is_left_alone) {
    hv_path_info info{};
    ASSERT_TRUE(hv_os_native.path_info(path.c_str(), &info));
    if (info.birth == 0) GTEST_SKIP() << "the file system keeps no birth times";
    fail_a_save(nullptr);
    std::string journal = left_journal();
    hx_close();
    bytes before = read_file(path);
    {
        scoped_os os;
        os.table.handle_info = [](hv_handle h, hv_path_info *i) {
            bool ok = hv_os_native.handle_info(h, i);
            if (i->links == 2) i->birth += 1;  // the data file, as a later one
            return ok;
        };
        ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    }
    EXPECT_EQ(hx_last_error(), "journal left alone: " + journal + " is not valid for this file (written for another file)");
    EXPECT_EQ(read_file(path), before);
}

// A save to a new name in a folder that takes no file makes nothing.
TEST_F(edited_file, a_save_as_to_a_new_name_where_no_file_can_be_made_makes_nothing) {
    std::string target = dir.file("new.bin");
    {
        scoped_os os;
        os.table.last_error = injected_code;
        os.table.create_temp_beside = [](const char *, hv_temp_kind, hv_handle *, char *, std::size_t) {
            g_code = EACCES;
            return HV_FS_NOT_ALLOWED;
        };
        os.table.create_for_write = [](const char *) {
            g_code = EACCES;
            return HV_NO_HANDLE;
        };
        EXPECT_EQ(hx_save(target.c_str()), -1);
    }
    EXPECT_EQ(hx_last_error(), "cannot open for write: " + target + " (win error " + std::to_string(EACCES) + ")");
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "other.bin"}));
    EXPECT_EQ(names_in_state_folder(), std::set<std::string>{});
    EXPECT_EQ(S.n_edits, 3);
}

// Another program wrote the file after the rewrite stopped: the copy must
// not go over that content, so the journal is left for the person to decide.
TEST_F(rewritten_in_place, a_file_written_since_the_failure_is_left_alone) {
    fail_a_save(nullptr);
    std::string copy = left_copy();
    hx_close();
    bytes newer = iota_bytes(5000, 3);
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);  // the same file, not a new one
        f.write(reinterpret_cast<const char *>(newer.data()), static_cast<std::streamsize>(newer.size()));
    }
    std::string journal = left_journal();
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_EQ(hx_last_error(), "journal left alone: " + journal + " is not valid for this file (the file changed after "
                               "the interrupted save: it is neither as it was nor a part of what that save wrote)");
    EXPECT_EQ(read_file(path), newer);
    EXPECT_EQ(read_file(copy), expected) << "the copy stays with its journal";
}

TEST_F(rewritten_in_place, a_second_in_place_save_after_a_failure_writes_the_copy_and_removes_it) {
    fail_a_save(nullptr);
    ASSERT_NE(left_copy(), "");
    ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(read_file(dir.file("twin.bin")), expected);
    EXPECT_EQ(names_in(dir), untouched_names()) << "no copy, no journal";
    ASSERT_NE(S.view, nullptr) << "opened again";
    EXPECT_EQ(page_row(1999990), raw_row(expected, 1999990));
    EXPECT_STREQ(hx_staged_json(), "[]");
}

TEST_F(rewritten_in_place, a_whole_save_leaves_no_copy_behind) {
    ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(read_file(dir.file("twin.bin")), expected);
    EXPECT_EQ(names_in(dir), untouched_names());
}

// The copy cannot be written whole (a full disk): the file is not touched.
TEST_F(rewritten_in_place, a_copy_that_fails_leaves_the_file_and_the_view_alone) {
    const uint8_t *view = S.view;
    {
        scoped_os os;
        os.table.last_error = injected_code;
        write_fails_half_way(os.table);
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    EXPECT_EQ(hx_last_error(), "WriteFile failed: " + path);
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(names_in(dir), untouched_names());
    EXPECT_EQ(S.view, view) << "the view is kept";
    expect_open_file_usable();
    EXPECT_EQ(hx_write("ee", 0), 0) << "edits go on as before";
}

TEST_F(rewritten_in_place, after_a_failed_save_and_a_discard_pages_show_no_file_bytes) {
    fail_a_save(nullptr);
    ASSERT_EQ(hx_discard(), 0);
    EXPECT_EQ(hx_file_size(), static_cast<int64_t>(original.size()));
    EXPECT_EQ(page_row(0), std::string(32, '0'));
    std::vector<std::string> rows = split_rows(hx_page(100, 2, nullptr));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(json_field(rows[1], "ascii"), std::string(16, '.'));
    EXPECT_EQ(json_field(split_rows(hx_ascii_only(0, 1))[0], "text"), "");
}

TEST_F(rewritten_in_place, a_failed_save_as_to_another_name_of_the_open_file_keeps_the_content) {
    std::string twin = dir.file("twin.bin");
    fail_a_save(twin.c_str());
    EXPECT_EQ(hx_last_error(), "WriteFile failed: " + twin + " - the content is whole in " + left_copy());
    EXPECT_EQ(S.view, nullptr) << "the file under the view was being rewritten";
    expect_open_file_usable();
    ASSERT_EQ(hx_save(twin.c_str()), 0);
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(page_row(1999990), raw_row(expected, 1999990));
    EXPECT_EQ(names_in(dir), untouched_names());
}

// Where the folder takes no new file, the copy and its journal go to the
// user's state folder, where the next read-write open finds them.
TEST_F(rewritten_in_place, a_folder_that_takes_no_file_keeps_the_copy_in_the_state_folder) {
    fail_a_save(nullptr, true);
    std::string copy = left_copy();
    ASSERT_EQ(copy.rfind(journal_state_folder(), 0), 0u) << copy;
    EXPECT_EQ(hx_last_error(), "WriteFile failed: " + path + " - the content is whole in " + copy);
    EXPECT_EQ(names_in(dir), untouched_names());
    expect_open_file_usable();
    hx_close();
    {
        scoped_os os;
        no_file_beside(os.table);
        ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    }
    EXPECT_EQ(hx_last_error(), "finished an interrupted save of " + path + " from its copy " + copy +
                                   ": the file holds the content that save wrote");
    EXPECT_EQ(read_file(dir.file("twin.bin")), expected);
    EXPECT_EQ(names_in_state_folder(), std::set<std::string>{});
}

// With no place for a way back at all, a save that would rewrite the file in
// place is refused before it touches anything.
TEST_F(rewritten_in_place, with_no_place_for_a_copy_the_save_is_refused) {
    const uint8_t *view = S.view;
    for (bool overwrite_only : {false, true}) {
        SCOPED_TRACE(overwrite_only ? "a patch" : "a rewrite");
        if (overwrite_only) {
            ASSERT_EQ(hx_discard(), 0);
            ASSERT_EQ(hx_write("01", 7), 0);
        }
        {
            scoped_os os;
            os.table.last_error = injected_code;
            os.table.create_temp_beside = [](const char *, hv_temp_kind, hv_handle *, char *, std::size_t) {
                g_code = EACCES;
                return HV_FS_NOT_ALLOWED;
            };
            os.table.state_folder = [](bool, char *, std::size_t) {
                g_code = EACCES;
                return false;
            };
            EXPECT_EQ(hx_save(nullptr), -1);
        }
        EXPECT_EQ(hx_last_error(), "cannot save " + path +
                                       " in place: no journal can be made beside it nor in the user's state folder "
                                       "(win error " + std::to_string(EACCES) + ") - the edits are kept; save to "
                                       "another file");
        EXPECT_EQ(read_file(path), original);
        EXPECT_EQ(names_in(dir), untouched_names());
        EXPECT_EQ(S.view, view) << "the view is kept";
        EXPECT_EQ(S.n_edits, overwrite_only ? 1 : 3) << "the edits are kept";
    }
}

// Emptying the open file destroys the bytes the content reads, so the
// content moves to a copy first; without the memory for its journal the save
// stops there, the file untouched and the copy gone.
TEST_F(rewritten_in_place, without_memory_for_the_journal_the_file_is_left_alone) {
    ASSERT_EQ(hx_page(0, 1, nullptr)[0], '[');  // the content is built
    const uint8_t *view = S.view;
    {
        scoped_alloc_failure no_memory(0);
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    EXPECT_STREQ(hx_last_error(), "out of memory");
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(names_in(dir), untouched_names());
    EXPECT_EQ(S.view, view) << "the view is kept";
    expect_open_file_usable();
    EXPECT_EQ(hx_write("ee", 0), 0) << "edits go on as before";
}

// Windows refuses a rename over the mapped file; when the rename still fails
// without the view and the file cannot be mapped again, the finished
// temporary file, which holds the whole content, becomes its source.
class rename_without_view : public edited_file {
protected:
    static void refuse_rename_and_reopening(hv_os_table &t) {
        t.last_error = injected_code;
        t.replace_file = [](const char *, const char *) {
            g_code = EACCES;
            return HV_FS_FAILED;
        };
        t.open_existing_rw = [](const char *) {
            g_code = EACCES;
            return HV_NO_HANDLE;
        };
    }
};

TEST_F(rename_without_view, the_temporary_file_keeps_the_content_for_a_new_save) {
    {
        scoped_os os;
        refuse_rename_and_reopening(os.table);
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    EXPECT_EQ(hx_last_error(), "cannot open for write: " + path + " (win error " + std::to_string(EACCES) + ")");
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(S.view, nullptr);
    expect_open_file_usable();
#ifndef _WIN32
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "other.bin"})) << "its name goes at once";
#endif
    EXPECT_EQ(hx_insert("ee", 0), -1) << "no edit without the file to build on";
    ASSERT_EQ(hx_save(other.c_str()), 0) << hx_last_error();
    EXPECT_EQ(read_file(other), expected);
    EXPECT_EQ(hx_page(0, 1, "raw"), std::string("[{\"off\":\"0x0000000000000000\",\"bytes_hex\":\"") +
                                        std::string(32, '0') + "\"}]")
        << "a save-as drops the edits and the content with them";
}

TEST_F(rename_without_view, a_second_in_place_save_writes_the_kept_content) {
    {
        scoped_os os;
        refuse_rename_and_reopening(os.table);
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "other.bin"}));
    ASSERT_NE(S.view, nullptr) << "opened again";
    EXPECT_EQ(S.spare, nullptr);
    EXPECT_EQ(page_row(1999990), raw_row(expected, 1999990));
}

TEST_F(rename_without_view, with_nothing_left_to_read_the_content_is_dropped_not_shown_stale) {
    {
        scoped_os os;
        refuse_rename_and_reopening(os.table);
        os.table.open_read = [](const char *name) {  // once the view is gone
            if (S.view) return hv_os_native.open_read(name);
            g_code = EACCES;
            return HV_NO_HANDLE;
        };
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "other.bin"}));
    EXPECT_EQ(S.logical, nullptr);
    EXPECT_EQ(S.n_edits, 3) << "the edits stay";
    EXPECT_STREQ(hx_page(0, 1, nullptr), "");
    EXPECT_STREQ(hx_last_error(), "file content unavailable after a failed save - save again or reopen the file");
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_EQ(page_row(0), raw_row(original, 0));
}

// After that, the file gets a second name and an insert, so a save rewrites
// it in place from the temporary file (through a copy of its own, with a
// journal), and that write fails half-way: the copy is named, and a discard
// leaves it on disk for the next read-write open.
TEST_F(rename_without_view, a_failed_rewrite_from_the_kept_content_names_where_it_is) {
    {
        scoped_os os;
        refuse_rename_and_reopening(os.table);
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    fs::create_hard_link(path, dir.file("twin.bin"));
    static int writes;
    static bool target_opened;
    writes = 0;
    target_opened = false;
    {
        scoped_os os;
        os.table.last_error = injected_code;
        os.table.open_existing_rw = [](const char *p) {
            target_opened = true;
            return hv_os_native.open_existing_rw(p);
        };
        os.table.write = [](hv_handle h, const uint8_t *d, std::size_t n, std::size_t *w) {
            if (target_opened && ++writes == 2) return fail_with(EIO);
            return hv_os_native.write(h, d, n, w);
        };
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    expect_open_file_usable();
    std::string copy;
    for (const std::string &folder : {dir.path(), journal_state_folder()})
        for (const std::string &name : folder == dir.path() ? names_in(folder) : names_in_state_folder())
            if (name.find(".hxcopy-") != std::string::npos)
                copy = folder == dir.path() ? dir.file(name) : journal_state_file(name);
    ASSERT_NE(copy, "");
    EXPECT_EQ(hx_last_error(), "WriteFile failed: " + path + " - the content is whole in " + copy);
    ASSERT_EQ(hx_discard(), 0);
    EXPECT_EQ(read_file(copy), expected) << "a discard leaves the named copy on disk";
}

#ifndef _WIN32

// The real thing: a file-size limit stops the write half-way (a short write,
// then EFBIG), in a child so the limit stays there.
TEST_F(edited_file, a_save_over_the_file_size_limit_leaves_the_original_intact) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1536 * 1024, 1536 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
        if (hx_save(nullptr) != -1) _exit(4);
        if (hx_last_error() != "WriteFile failed: " + path) _exit(5);
        if (S.view == nullptr || S.n_edits != 3 || page_row(1999990) != raw_row(expected, 1999990)) _exit(6);
        if (hx_save(other.c_str()) != -1) _exit(7);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(read_file(other), iota_bytes(3000, 9));
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "other.bin"}));
}

#endif

}  // namespace
