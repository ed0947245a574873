#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "core/state.h"
#include "edit/save_support.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

using saving = hexview_test;

std::string cannot_open_for_write(const std::string &path, unsigned long code) {
    return "cannot open for write: " + path + " (win error " + std::to_string(code) + ")";
}

// The sizes of the write calls a save makes.
std::vector<std::size_t> g_write_sizes;

class counted_writes : public scoped_os {
public:
    counted_writes() {
        g_write_sizes.clear();
        table.write = [](hv_handle h, const uint8_t *d, std::size_t n, std::size_t *w) {
            g_write_sizes.push_back(n);
            return hv_os_native.write(h, d, n, w);
        };
    }
};

TEST_F(saving, no_file_open_in_both_modes) {
    EXPECT_EQ(hx_save(nullptr), -1);
    EXPECT_STREQ(hx_last_error(), "no file open");
    hx_close();
    EXPECT_EQ(hx_save(dir.file("out.bin").c_str()), -1);
    EXPECT_STREQ(hx_last_error(), "no file open");
    EXPECT_FALSE(file_exists(dir.file("out.bin")));
}

TEST_F(saving, in_place_without_edits_touches_nothing) {
    std::string p = dir.write("f.bin", iota_bytes(10));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    const uint8_t *view = S.view;
    EXPECT_EQ(hx_open(nullptr), -1);  // leaves a message and the file open
    counted_writes os;
    EXPECT_EQ(hx_save(nullptr), 0);
    EXPECT_EQ(hx_save(""), 0);
    EXPECT_TRUE(g_write_sizes.empty());
    EXPECT_EQ(S.view, view) << "not opened again";
    EXPECT_STREQ(hx_last_error(), "NULL path");
    EXPECT_EQ(names_in(dir), std::set<std::string>{"f.bin"});
}

TEST_F(saving, save_as_without_edits_copies_a_read_only_file) {
    bytes data = iota_bytes(300);
    ASSERT_EQ(hx_open(dir.write("f.bin", data).c_str()), 0);
    std::string out = dir.file("copy.bin");
    ASSERT_EQ(hx_save(out.c_str()), 0);
    EXPECT_EQ(read_file(out), data);
    EXPECT_EQ(S.is_rw, 0);
    EXPECT_NE(S.view, nullptr);
}

TEST_F(saving, save_as_from_an_empty_file_makes_no_write_call) {
    ASSERT_EQ(hx_open_rw(dir.write("empty.bin", bytes{}).c_str()), 0);
    std::string out = dir.write("out.bin", std::string("old content"));
    counted_writes os;
    ASSERT_EQ(hx_save(out.c_str()), 0);
    EXPECT_TRUE(g_write_sizes.empty());
    EXPECT_TRUE(file_exists(out));
    EXPECT_TRUE(read_file(out).empty());
}

TEST_F(saving, in_place_insert_reopens_the_saved_file) {
    std::string p = dir.write("f.bin", iota_bytes(10));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_insert("aa bb", 4), 0);
    EXPECT_EQ(hx_open(nullptr), -1);
    ASSERT_EQ(hx_save(nullptr), 0);
    bytes expected = {0, 1, 2, 3, 0xaa, 0xbb, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(read_file(p), expected);
    EXPECT_EQ(hx_file_size(), 12);
    EXPECT_EQ(S.file_size, 12);
    EXPECT_EQ(S.is_rw, 1);
    EXPECT_EQ(S.logical, nullptr);
    EXPECT_STREQ(hx_staged_json(), "[]");
    EXPECT_STREQ(hx_last_error(), "");
    EXPECT_EQ(page_row(0), raw_row(expected, 0));
}

TEST_F(saving, save_as_insert_leaves_the_open_file_and_drops_the_edits) {
    std::string p = dir.write("f.bin", iota_bytes(10));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    for (int i = 0; i < 65; i++) ASSERT_EQ(hx_delete(100, 1), 0);
    ASSERT_EQ(hx_insert("aa bb", 4), 0);
    std::string out = dir.file("out.bin");
    ASSERT_EQ(hx_save(out.c_str()), 0);
    EXPECT_EQ(read_file(out).size(), 12u);
    EXPECT_EQ(read_file(p), iota_bytes(10));
    EXPECT_EQ(hx_file_size(), 10);
    EXPECT_STREQ(hx_staged_json(), "[]");
    EXPECT_EQ(S.cap_edits, 128) << "the array is kept as on discard";
    EXPECT_EQ(S.logical, nullptr);
    EXPECT_EQ(page_row(0), raw_row(iota_bytes(10), 0));
}

TEST_F(saving, in_place_after_everything_was_deleted_leaves_an_empty_file) {
    std::string p = dir.write("f.bin", iota_bytes(40));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_delete(0, 1000), 0);
    ASSERT_EQ(hx_save(nullptr), 0);
    EXPECT_TRUE(read_file(p).empty());
    EXPECT_EQ(S.is_open, 1);
    EXPECT_EQ(S.view, nullptr);
    EXPECT_EQ(hx_file_size(), 0);
}

struct chunk_case {
    std::size_t size;
    std::vector<std::size_t> calls;
};

void PrintTo(const chunk_case &c, std::ostream *os) { *os << c.size; }

class save_chunks : public hexview_test, public ::testing::WithParamInterface<chunk_case> {};

TEST_P(save_chunks, are_at_most_one_mib) {
    bytes data = iota_bytes(GetParam().size, 3);
    ASSERT_EQ(hx_open(dir.write("f.bin", data).c_str()), 0);
    std::string out = dir.file("out.bin");
    {
        counted_writes os;
        ASSERT_EQ(hx_save(out.c_str()), 0);
    }
    EXPECT_EQ(g_write_sizes, GetParam().calls);
    EXPECT_EQ(read_file(out), data);
}

constexpr std::size_t kMiB = 1048576;

INSTANTIATE_TEST_SUITE_P(sizes, save_chunks,
                         ::testing::Values(chunk_case{1, {1}}, chunk_case{kMiB, {kMiB}},
                                           chunk_case{kMiB + 1, {kMiB, 1}},
                                           chunk_case{kMiB * 5 / 2, {kMiB, kMiB, kMiB / 2}}));

TEST_F(saving, short_writes_are_continued) {
    bytes data = iota_bytes(10000, 1);
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", data).c_str()), 0);
    ASSERT_EQ(hx_write("ff", 9999), 0);
    data[9999] = 0xff;
    scoped_os os;
    os.table.write = [](hv_handle h, const uint8_t *d, std::size_t n, std::size_t *w) {
        return hv_os_native.write(h, d, n < 777 ? n : 777, w);
    };
    ASSERT_EQ(hx_save(nullptr), 0);
    EXPECT_EQ(read_file(dir.file("f.bin")), data);
}

TEST_F(saving, a_write_call_that_makes_no_progress_fails_instead_of_hanging) {
    std::string p = dir.write("f.bin", iota_bytes(100));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_insert("01", 0), 0);
    {
        scoped_os os;
        os.table.write = [](hv_handle, const uint8_t *, std::size_t, std::size_t *w) {
            *w = 0;
            return true;
        };
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    EXPECT_EQ(hx_last_error(), "WriteFile failed: " + p);
    EXPECT_EQ(read_file(p), iota_bytes(100));
    EXPECT_EQ(names_in(dir), std::set<std::string>{"f.bin"});
}

TEST_F(saving, out_of_memory_for_the_content_changes_nothing_in_both_modes) {
    std::string p = dir.write("f.bin", iota_bytes(100));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_insert("aa", 0), 0);
    const uint8_t *view = S.view;
    for (const char *target : {static_cast<const char *>(nullptr), "out.bin"}) {
        std::string path = target ? dir.file(target) : "";
        {
            scoped_alloc_failure no_memory(0);
            EXPECT_EQ(hx_save(target ? path.c_str() : nullptr), -1);
        }
        EXPECT_STREQ(hx_last_error(), "out of memory materializing logical file");
        EXPECT_EQ(S.view, view);
        EXPECT_EQ(S.n_edits, 1);
    }
    EXPECT_EQ(read_file(p), iota_bytes(100));
    EXPECT_EQ(names_in(dir), std::set<std::string>{"f.bin"});
}

TEST_F(saving, a_target_in_a_missing_folder_fails_and_keeps_the_edits) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(10)).c_str()), 0);
    ASSERT_EQ(hx_insert("aa", 0), 0);
    std::string out = dir.file("no/such/out.bin");
    EXPECT_EQ(hx_save(out.c_str()), -1);
    EXPECT_EQ(hx_last_error(), cannot_open_for_write(out, kMissingFolderCode));
    EXPECT_EQ(S.n_edits, 1);
    EXPECT_EQ(hx_file_size(), 11);
}

TEST_F(saving, a_folder_as_target_fails_with_its_code) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(10)).c_str()), 0);
    fs::create_directory(dir.file("sub"));
    EXPECT_EQ(hx_save(dir.file("sub").c_str()), -1);
    EXPECT_EQ(hx_last_error(), cannot_open_for_write(dir.file("sub"), kFolderCode));
}

#ifndef _WIN32

TEST_F(saving, a_fifo_without_a_reader_fails_without_blocking) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(10)).c_str()), 0);
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(hx_save(fifo.c_str()), -1);
    EXPECT_EQ(hx_last_error(), cannot_open_for_write(fifo, ENXIO));
}

mode_t mode_of(const std::string &p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

TEST_F(saving, the_target_keeps_its_permission_bits_and_a_new_one_gets_the_default) {
    std::string p = dir.write("f.bin", iota_bytes(10));
    std::string other = dir.write("other.bin", iota_bytes(3));
    chmod(p.c_str(), 0640);
    chmod(other.c_str(), 0604);
    unsigned long long before = file_identity(p);
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_insert("aa", 0), 0);
    ASSERT_EQ(hx_save(other.c_str()), 0);
    EXPECT_EQ(mode_of(other), 0604u);
    ASSERT_EQ(hx_insert("aa", 0), 0);
    mode_t old_mask = umask(027);
    ASSERT_EQ(hx_save(dir.file("new.bin").c_str()), 0);
    EXPECT_EQ(mode_of(dir.file("new.bin")), 0640u);
    umask(old_mask);
    ASSERT_EQ(hx_insert("aa", 0), 0);
    ASSERT_EQ(hx_save(nullptr), 0);
    EXPECT_EQ(mode_of(p), 0640u);
    EXPECT_NE(file_identity(p), before) << "replaced by a rename";
    EXPECT_EQ(read_file(p)[0], 0xaa);
}

TEST_F(saving, the_target_keeps_its_owner_and_group_where_allowed) {
    if (geteuid() != 0) GTEST_SKIP() << "only root may give a file away";
    std::string p = dir.write("f.bin", iota_bytes(10));
    ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(p.c_str(), 06750), 0);
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_insert("aa", 0), 0);
    ASSERT_EQ(hx_save(nullptr), 0);
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 06750u) << "set-id bits stay with their owner";
}

TEST_F(saving, a_symbolic_link_keeps_pointing_at_the_replaced_file) {
    fs::create_directory(dir.file("real"));
    std::string file = dir.write("real/f.bin", iota_bytes(10));
    std::string link = dir.file("link");
    std::string chain = dir.file("chain");
    fs::create_symlink("real/f.bin", link);
    fs::create_symlink("link", chain);
    ASSERT_EQ(hx_open_rw(chain.c_str()), 0);
    ASSERT_EQ(hx_insert("aa", 0), 0);
    ASSERT_EQ(hx_save(nullptr), 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::is_symlink(chain));
    EXPECT_EQ(read_file(file).size(), 11u);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"real", "link", "chain"}));
    EXPECT_EQ(names_in(dir.file("real")), std::set<std::string>{"f.bin"});

    ASSERT_EQ(hx_insert("bb", 0), 0);
    ASSERT_EQ(hx_save(link.c_str()), 0);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_file(file)[0], 0xbb);
}

// A link to nothing would make a file where whoever made the link chose:
// refused, naming both, with the edits kept.
TEST_F(saving, a_dangling_link_is_refused_and_names_its_target) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(10)).c_str()), 0);
    ASSERT_EQ(hx_write("ff", 0), 0);
    std::string link = dir.file("link");
    fs::create_symlink("made.bin", link);
    EXPECT_EQ(hx_save(link.c_str()), -1);
    EXPECT_EQ(hx_last_error(),
              "cannot save to " + link + ": it is a symbolic link to " + dir.file("made.bin") + ", which does not exist");
    EXPECT_FALSE(file_exists(dir.file("made.bin")));
    EXPECT_EQ(S.n_edits, 1);
}

TEST_F(saving, a_loop_of_links_fails_with_its_code) {
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(10)).c_str()), 0);
    std::string a = dir.file("a");
    fs::create_symlink("b", a);
    fs::create_symlink("a", dir.file("b"));
    EXPECT_EQ(hx_save(a.c_str()), -1);
    EXPECT_EQ(hx_last_error(), cannot_open_for_write(a, ELOOP));
}

TEST_F(saving, a_file_with_two_names_is_rewritten_in_place) {
    std::string p = dir.write("f.bin", iota_bytes(10));
    std::string twin = dir.file("twin.bin");
    fs::create_hard_link(p, twin);
    unsigned long long id = file_identity(p);
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_delete(0, 4), 0);
    ASSERT_EQ(hx_save(nullptr), 0);
    EXPECT_EQ(file_identity(p), id);
    EXPECT_EQ(read_file(twin), iota_bytes(6, 4));
    EXPECT_EQ(fs::hard_link_count(p), 2u);
    EXPECT_EQ(page_row(0), raw_row(iota_bytes(6, 4), 0));
}

// A save-as to the open file by any other name (its path, another spelling,
// a symbolic or a hard link) is a save in place: the file is opened again as
// saved, so a later save has nothing stale to write back.
TEST_F(saving, save_as_to_the_open_file_by_another_name_is_a_save_in_place) {
    std::string p = dir.write("f.bin", iota_bytes(5000));
    fs::create_directory(dir.file("sub"));
    fs::create_symlink("f.bin", dir.file("link"));
    fs::create_hard_link(p, dir.file("twin.bin"));
    bytes content = iota_bytes(5000);
    for (const std::string &target : {p, dir.file("sub/../f.bin"), dir.file("link"), dir.file("twin.bin")}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(hx_open_rw(p.c_str()), 0);
        ASSERT_EQ(hx_insert("abcd", 10), 0);
        content.insert(content.begin() + 10, {0xab, 0xcd});
        ASSERT_EQ(hx_save(target.c_str()), 0) << hx_last_error();
        EXPECT_STREQ(hx_staged_json(), "[]");
        EXPECT_EQ(hx_file_size(), static_cast<int64_t>(content.size()));
        EXPECT_EQ(page_row(0), raw_row(content, 0)) << "pages show the file as saved";
        ASSERT_EQ(hx_write("ee", 0), 0);
        content[0] = 0xee;
        ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
        EXPECT_EQ(read_file(p), content) << "the insert is still there";
    }
    EXPECT_TRUE(fs::is_symlink(dir.file("link")));
    EXPECT_EQ(read_file(dir.file("twin.bin")), content);
}

// Another hard link to the open file can only be rewritten in place: the save
// then shows the saved file, and no page reads a view of a file that shrank.
TEST_F(saving, save_as_to_another_link_of_the_open_file_shows_the_saved_file) {
    std::string p = dir.write("f.bin", iota_bytes(5000));
    std::string twin = dir.file("twin.bin");
    fs::create_hard_link(p, twin);
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_delete(0, 4000), 0);
    ASSERT_EQ(hx_save(twin.c_str()), 0);
    bytes saved = iota_bytes(1000, static_cast<uint8_t>(4000 & 0xff));
    EXPECT_EQ(read_file(p), saved);
    EXPECT_EQ(hx_file_size(), 1000);
    EXPECT_EQ(page_row(4900), raw_row(saved, 4900));
    EXPECT_EQ(page_row(16), raw_row(saved, 16));
    EXPECT_EQ(S.is_rw, 1);
    EXPECT_STREQ(hx_staged_json(), "[]");
}

// Root may write anywhere, so the folder that refuses a new file is tried in
// a child that gives up its privileges first. The file is rewritten in place
// behind a copy and a journal in the user's own state folder, which the save
// leaves empty; with no state folder to be had, the save is refused and the
// file left alone.
TEST_F(saving, a_folder_that_refuses_new_files_keeps_the_way_back_in_the_state_folder) {
    std::string sub = dir.file("locked"), state = dir.file("state");
    fs::create_directory(sub);
    fs::create_directory(state);
    std::string p = dir.write("locked/f.bin", iota_bytes(10));
    chmod(p.c_str(), 0666);
    chmod(dir.path().c_str(), 0755);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(state.c_str(), 65534, 65534), 0);
    }
    unsigned long long id = file_identity(p);
    struct { bool state_folder; size_t size_after; } cases[] = {{true, 11}, {false, 11}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.state_folder ? "with a state folder" : "without one");
        chmod(sub.c_str(), 0555);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
            setenv("XDG_STATE_HOME", c.state_folder ? state.c_str() : "/proc/no-such-folder", 1);
            bool opened = hx_open_rw(p.c_str()) == 0 && hx_insert("aa", 0) == 0;
            bool saved = opened && hx_save(nullptr) == 0 && hx_file_size() == 11;
            bool refused = opened && !saved &&
                           std::string(hx_last_error()).rfind("cannot save " + p + " in place: no journal can be made", 0) == 0;
            _exit(c.state_folder ? (saved ? 0 : 1) : (refused ? 0 : 2));
        }
        int status = 0;
        waitpid(child, &status, 0);
        chmod(sub.c_str(), 0755);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(read_file(p).size(), c.size_after);
        EXPECT_EQ(file_identity(p), id);
        EXPECT_EQ(names_in(sub), std::set<std::string>{"f.bin"});
        if (fs::exists(state + "/quillmar-hexview")) {
            EXPECT_EQ(names_in(state + "/quillmar-hexview"), std::set<std::string>{});
        }
    }
}

#endif

}  // namespace
