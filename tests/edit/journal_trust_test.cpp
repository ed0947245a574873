// A journal is acted on only when it is ours, whole, for this file and for
// its content as the interrupted save left it; an open never acts on one a
// living save still holds; a save goes only to the file the open found.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/state.h"
#include "edit/content_hash.h"
#include "edit/journal.h"
#include "edit/save_support.h"
#include "quillmar_hexview.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// ---- The content hash -------------------------------------------------------

// However the bytes come (in pieces of any size, zeros as runs), the hash is
// the one of the whole string; a changed byte or length changes it.
TEST(content_hash, is_the_same_however_the_bytes_come) {
    bytes data(300001);
    for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    for (std::size_t i = 1000; i < 9000; i++) data[i] = 0;
    const uint64_t whole = hv_content_hash::of(data.data(), data.size());
    struct { const char *name; std::size_t piece; } pieces[] = {{"bytes", 1}, {"odd", 7}, {"words", 8}, {"large", 65537}};
    for (const auto &p : pieces) {
        hv_content_hash h;
        for (std::size_t at = 0; at < data.size(); at += p.piece) h.add(data.data() + at, std::min(p.piece, data.size() - at));
        EXPECT_EQ(h.value(), whole) << p.name;
    }
    hv_content_hash with_zeros;
    with_zeros.add(data.data(), 1000);
    with_zeros.add_zeros(8000);
    with_zeros.add(data.data() + 9000, data.size() - 9000);
    EXPECT_EQ(with_zeros.value(), whole) << "a run of zeros";
    bytes changed = data;
    changed[150000] ^= 1;
    EXPECT_NE(hv_content_hash::of(changed.data(), changed.size()), whole);
    EXPECT_NE(hv_content_hash::of(data.data(), data.size() - 1), whole);
    bytes one_zero_more = data;
    one_zero_more.push_back(0);
    EXPECT_NE(hv_content_hash::of(one_zero_more.data(), one_zero_more.size()), whole) << "the length counts";
}

// ---- A journal left by a save that was killed just before it removed it ----

std::string journal_of(const std::string &path) { return path + HV_JOURNAL_SUFFIX; }

std::string g_left;  // the journal as the save was about to remove it

void write_in_place(const std::string &path, const bytes &content) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
}

class interrupted_patch : public opened_original {
protected:
    void SetUp() override {
        opened_original::SetUp();
        ASSERT_EQ(hx_write("aa bb", 0), 0);
        ASSERT_EQ(hx_write("cc dd ee", 1048575), 0);
        saved = original;
        saved[0] = 0xaa, saved[1] = 0xbb, saved[1048575] = 0xcc, saved[1048576] = 0xdd, saved[1048577] = 0xee;
        g_left.clear();
        {
            scoped_os os;
            // The journal as it is renamed into place, whole.
            os.table.replace_file = [](const char *from, const char *to) {
                if (std::strstr(to, HV_JOURNAL_SUFFIX)) {
                    std::ifstream f(from, std::ios::binary);
                    g_left.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
                }
                return hv_os_native.replace_file(from, to);
            };
            ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
        }
        hx_close();
        ASSERT_FALSE(g_left.empty());
        journal = journal_of(path);
    }

    void put_journal(const std::string &where) { dir.write(fs::path(where).filename().string(), g_left); }
    void put_journal() { put_journal(journal); }

    std::string left_alone(const std::string &reason) const {
        return "journal left alone: " + journal + " is not valid for this file (" + reason + ")";
    }
    std::string rolled_back() const {
        return "rolled back an interrupted save of " + path + " from " + journal +
               ": the file is as it was before that save";
    }

    bytes saved;
    std::string journal;
};

// What the file holds when the open finds the journal, and what the open
// must do: roll back what the save wrote, or leave a file that changed since.
struct content_case {
    const char *name;
    bytes (*file)(const bytes &original, const bytes &saved);
    bool rolled_back;
};

void PrintTo(const content_case &c, std::ostream *os) { *os << c.name; }

class journal_and_content : public interrupted_patch, public ::testing::WithParamInterface<content_case> {};

TEST_P(journal_and_content, rolls_back_only_the_bytes_the_save_wrote) {
    const content_case &c = GetParam();
    bytes there = c.file(original, saved);
    write_in_place(path, there);
    put_journal();
    ASSERT_EQ(hx_open_rw(path.c_str()), 0) << hx_last_error();
    if (c.rolled_back) {
        EXPECT_EQ(hx_last_error(), rolled_back());
        EXPECT_EQ(read_file(path), original);
        EXPECT_FALSE(file_exists(journal));
    } else {
        EXPECT_EQ(hx_last_error(), left_alone("the file changed after the interrupted save: it holds neither the old "
                                              "bytes nor the new ones"));
        EXPECT_EQ(read_file(path), there) << "a newer content is never mixed with the old";
        EXPECT_EQ(read_file(journal), to_bytes(g_left)) << "kept for the person to decide";
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, journal_and_content,
    ::testing::Values(
        content_case{"all_new", [](const bytes &, const bytes &s) { return s; }, true},
        content_case{"none_written_yet", [](const bytes &o, const bytes &) { return o; }, true},
        content_case{"first_range_only", [](const bytes &o, const bytes &s) {
                         bytes b = o;
                         b[0] = s[0], b[1] = s[1];
                         return b;
                     }, true},
        content_case{"a_write_cut_short", [](const bytes &o, const bytes &s) {
                         bytes b = s;
                         b[1048577] = o[1048577];
                         return b;
                     }, true},
        content_case{"a_newer_version_of_the_same_size", [](const bytes &, const bytes &s) {
                         bytes b = s;
                         for (std::size_t i = 0; i < b.size(); i += 4096) b[i] ^= 0x5a;
                         return b;
                     }, false},
        content_case{"a_byte_of_a_range_changed_since", [](const bytes &, const bytes &s) {
                         bytes b = s;
                         b[1048576] = 0x11;
                         return b;
                     }, false}),
    [](const auto &info) { return std::string(info.param.name); });

// A save through another name of the same file (a hard link) after the kill
// wrote a newer content: the journal is stale, and the save in place it would
// need is refused while it is there.
TEST_F(interrupted_patch, a_save_through_another_name_since_makes_it_stale) {
    put_journal();
    std::string twin = dir.file("twin.bin");
    fs::create_hard_link(path, twin);
    bytes newer = saved;
    newer[1] = 0x42;
    write_in_place(twin, newer);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_EQ(hx_last_error(), left_alone("the file changed after the interrupted save: it holds neither the old bytes "
                                          "nor the new ones"));
    EXPECT_EQ(read_file(path), newer);
    ASSERT_EQ(hx_write("00", 5), 0);
    EXPECT_EQ(hx_save(nullptr), -1);
    EXPECT_EQ(hx_last_error(), "a journal of an earlier save is in the way: " + journal + " - remove it to save in place");
}

// A save emptied its journal and was stopped before its name went: a
// read-write open removes what is left, a read-only one leaves it.
TEST_F(interrupted_patch, an_empty_journal_of_ours_is_removed_by_a_read_write_open) {
    dir.write(fs::path(journal).filename().string(), std::string());
    ASSERT_EQ(hx_open(path.c_str()), 0);
    EXPECT_STREQ(hx_last_error(), "");
    EXPECT_TRUE(file_exists(journal));
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_STREQ(hx_last_error(), "");
    EXPECT_FALSE(file_exists(journal));
    EXPECT_EQ(read_file(path), saved);
}

// A journal an older version wrote (no new bytes, no hashes) still rolls
// back, and the open says it could not be checked.
TEST_F(interrupted_patch, one_of_the_older_format_is_rolled_back_and_says_so) {
    std::string v1 = "HXJRNL01";
    auto u64 = [&](uint64_t v) {
        for (int i = 0; i < 8; i++) v1.push_back(static_cast<char>(v >> (8 * i)));
    };
    hv_path_info info{};
    ASSERT_TRUE(hv_os_native.path_info(path.c_str(), &info));
    u64(original.size());
    u64(info.volume);
    u64(info.file_id);
    u64(1);
    u64(0);
    u64(2);
    v1.append(reinterpret_cast<const char *>(original.data()), 2);
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : v1) h = (h ^ c) * 1099511628211ull;
    u64(h);
    bytes there = original;
    there[0] = 0xaa, there[1] = 0xbb;
    write_in_place(path, there);
    dir.write(fs::path(journal).filename().string(), v1);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_EQ(hx_last_error(), rolled_back() + " (a journal of an older format: it could not be checked against the "
                                               "file's content)");
    EXPECT_EQ(read_file(path), original);
    EXPECT_FALSE(file_exists(journal));
}

// A stray file of gigabytes under the journal's name costs the read of its
// header: whatever the open decides, it reads a few bytes of it.
int64_t g_journal_bytes_read = 0;

bool is_huge(hv_handle h) {
    int64_t size = 0;
    return hv_os_native.file_size(h, &size) && size > (1ll << 30);
}

TEST_F(interrupted_patch, a_huge_stray_file_costs_a_header_read) {
    struct { const char *name; std::string head; const char *reason; } strays[] = {
        {"garbage", "just some bytes of my own", "not a journal"},
        {"a_journal_head", g_left.substr(0, 48), "larger than any journal of this file"},
    };
    for (const auto &s : strays) {
        SCOPED_TRACE(s.name);
        std::string stray = write_sparse(dir, fs::path(journal).filename().string(), 3ll << 30, {{0, to_bytes(s.head)}});
        g_journal_bytes_read = 0;
        for (int rw = 0; rw < 2; rw++) {
            scoped_os os;
            os.table.read_at = [](hv_handle h, int64_t o, uint8_t *d, std::size_t n, std::size_t *got) {
                bool ok = hv_os_native.read_at(h, o, d, n, got);
                if (ok && is_huge(h)) g_journal_bytes_read += static_cast<int64_t>(*got);
                return ok;
            };
            ASSERT_EQ(rw ? hx_open_rw(path.c_str()) : hx_open(path.c_str()), 0);
            EXPECT_EQ(hx_last_error(), left_alone(s.reason));
        }
        EXPECT_LE(g_journal_bytes_read, 4096);
        EXPECT_EQ(fs::file_size(stray), 3ull << 30) << "left alone";
        fs::remove(stray);
    }
}

// ---- The save lock ----------------------------------------------------------

// Another handle (another process's save) holds the file's save lock.
class held_lock {
public:
    explicit held_lock(const std::string &path) : h_(hv_os_native.open_nofollow(path.c_str())) {
        EXPECT_EQ(hv_os_native.try_lock(h_), HV_LOCK_OK);
    }
    ~held_lock() { hv_os_native.close(h_); }

private:
    hv_handle h_;
};

// While a save holds the lock its journal is not hot: no open touches it,
// and no second save starts; once the lock is free the journal rolls back.
TEST_F(interrupted_patch, a_journal_whose_save_holds_the_lock_is_never_rolled_back) {
    put_journal();
    const std::string busy = "another process is saving " + path + " - open it again when that save has ended";
    {
        held_lock other_save(path);
        EXPECT_EQ(hx_open_rw(path.c_str()), -1);
        EXPECT_EQ(hx_last_error(), busy);
        EXPECT_EQ(S.is_open, 0) << "never opened read-only instead";
        EXPECT_EQ(hx_open(path.c_str()), -1);
        EXPECT_EQ(hx_last_error(), busy);
        EXPECT_EQ(read_file(path), saved);
        EXPECT_EQ(read_file(journal), to_bytes(g_left));
    }
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_EQ(hx_last_error(), rolled_back());
}

TEST_F(interrupted_patch, two_saves_of_one_file_exclude_each_other) {
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    struct { const char *name; const char *hex; bool insert; } saves[] = {{"patch", "01", false}, {"whole", "01", true}};
    for (const auto &s : saves) {
        SCOPED_TRACE(s.name);
        ASSERT_EQ(s.insert ? hx_insert(s.hex, 3) : hx_write(s.hex, 3), 0);
        bytes before = read_file(path);
        {
            held_lock other_save(path);
            EXPECT_EQ(hx_save(nullptr), -1);
            EXPECT_EQ(hx_last_error(), "another process is saving " + path + " - save again when that save has ended");
            EXPECT_EQ(read_file(path), before);
            EXPECT_EQ(S.n_edits, 1) << "the edits are kept";
        }
        ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    }
}

// A file saved by its other name: the lock is the file's, not the name's.
TEST_F(interrupted_patch, the_lock_belongs_to_the_file_whatever_its_name) {
    std::string twin = dir.file("twin.bin");
    fs::create_hard_link(path, twin);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    ASSERT_EQ(hx_write("01", 3), 0);
    held_lock other_save(twin);
    EXPECT_EQ(hx_save(nullptr), -1);
    EXPECT_EQ(hx_last_error(), "another process is saving " + path + " - save again when that save has ended");
}

#ifndef _WIN32

// ---- Whose journal it is ----------------------------------------------------

// Another user who may write the folder can put a journal beside our file,
// in the documented format: it is never applied nor removed, by either open.
struct planted_case {
    const char *name;
    void (*plant)(const std::string &journal, const temp_dir &dir);
    const char *reason;  // null: the open tells it cannot be read
    bool needs_root;
};

void PrintTo(const planted_case &c, std::ostream *os) { *os << c.name; }

class planted_journal : public interrupted_patch, public ::testing::WithParamInterface<planted_case> {};

TEST_P(planted_journal, is_never_applied_nor_removed) {
    const planted_case &c = GetParam();
    if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
    put_journal();
    c.plant(journal, dir);
    bytes before = read_file(path);
    for (int rw = 0; rw < 2; rw++) {
        ASSERT_EQ(rw ? hx_open_rw(path.c_str()) : hx_open(path.c_str()), 0) << hx_last_error();
        std::string notice = hx_last_error();
        if (c.reason) {
            EXPECT_EQ(notice, left_alone(c.reason));
        } else {
            EXPECT_EQ(notice.rfind("journal left alone: " + journal + " cannot be read", 0), 0u) << notice;
        }
        EXPECT_EQ(read_file(path), before);
        EXPECT_TRUE(fs::exists(fs::symlink_status(journal)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, planted_journal,
    ::testing::Values(
        planted_case{"writable_by_others", [](const std::string &j, const temp_dir &) { chmod(j.c_str(), 0666); },
                     "writable by other users", false},
        planted_case{"writable_by_the_group", [](const std::string &j, const temp_dir &) { chmod(j.c_str(), 0620); },
                     "writable by other users", false},
        planted_case{"owned_by_another_user",
                     [](const std::string &j, const temp_dir &) { EXPECT_EQ(chown(j.c_str(), 65534, 65534), 0); },
                     "owned by another user", true},
        planted_case{"a_second_name_of_a_file",
                     [](const std::string &j, const temp_dir &d) { fs::create_hard_link(j, d.file("mine.bin")); },
                     "not a plain file", false},
        planted_case{"a_symbolic_link", [](const std::string &j, const temp_dir &d) {
                         fs::rename(j, d.file("elsewhere"));
                         fs::create_symlink("elsewhere", j);
                     }, nullptr, false}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- A journal kept aside ---------------------------------------------------

// Someone who may write the folder keeps the journal of a save under another
// name while the save runs (a second name, or a rename and a file of their
// own in its place), to put it back once the save is done: it was emptied
// when the save ended, so no open ever rolls the finished save back.
struct kept_aside_case {
    const char *name;
    void (*keep)(const std::string &journal, const std::string &aside);
};

void PrintTo(const kept_aside_case &c, std::ostream *os) { *os << c.name; }

const kept_aside_case *g_keep = nullptr;
std::string g_journal_path, g_aside_path;

class journal_kept_aside : public opened_original, public ::testing::WithParamInterface<kept_aside_case> {};

TEST_P(journal_kept_aside, is_empty_when_it_comes_back) {
    g_keep = &GetParam();
    g_journal_path = journal_of(path);
    g_aside_path = dir.file("aside");
    ASSERT_EQ(hx_write("aa bb", 0), 0);
    bytes saved = original;
    saved[0] = 0xaa, saved[1] = 0xbb;
    {
        scoped_os os;
        os.table.write_at = [](hv_handle h, int64_t o, const uint8_t *d, std::size_t n, std::size_t *w) {
            if (g_keep && file_exists(g_journal_path)) {
                g_keep->keep(g_journal_path, g_aside_path);
                g_keep = nullptr;
            }
            return hv_os_native.write_at(h, o, d, n, w);
        };
        ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    }
    hx_close();
    ASSERT_TRUE(file_exists(g_aside_path));
    EXPECT_EQ(fs::file_size(g_aside_path), 0u);
    fs::remove(g_journal_path);
    fs::rename(g_aside_path, g_journal_path);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_STREQ(hx_last_error(), "") << "an empty journal holds nothing to act on";
    EXPECT_EQ(read_file(path), saved) << "the save stands";
    EXPECT_FALSE(file_exists(g_journal_path));
}

INSTANTIATE_TEST_SUITE_P(
    cases, journal_kept_aside,
    ::testing::Values(kept_aside_case{"a_second_name",
                                      [](const std::string &j, const std::string &a) { fs::create_hard_link(j, a); }},
                      kept_aside_case{"renamed_and_replaced",
                                      [](const std::string &j, const std::string &a) {
                                          fs::rename(j, a);
                                          std::ofstream(j) << "a file of someone else's";
                                      }}),
    [](const auto &info) { return std::string(info.param.name); });

// A file under the journal's name that is not ours does not stop our saves:
// our journal goes to the state folder instead, and theirs is left alone.
TEST_F(interrupted_patch, a_journal_name_taken_by_another_user_sends_ours_elsewhere) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
    dir.write(fs::path(journal).filename().string(), std::string("someone else's"));
    ASSERT_EQ(chown(journal.c_str(), 65534, 65534), 0);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    ASSERT_EQ(hx_write("01", 9), 0);
    ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    bytes now = saved;
    now[9] = 0x01;
    EXPECT_EQ(read_file(path), now);
    EXPECT_EQ(read_file(journal), to_bytes("someone else's"));
    EXPECT_EQ(names_in_state_folder(), std::set<std::string>{}) << "ours came and went";
}

// ---- The file the open found ------------------------------------------------

// Another user re-points the link we opened, or renames another file over
// the name: a save is refused, both files untouched, the edits kept.
struct moved_case {
    const char *name;
    bool through_link;
    bool insert;
};

void PrintTo(const moved_case &c, std::ostream *os) { *os << c.name; }

class moved_file : public hexview_test, public ::testing::WithParamInterface<moved_case> {};

TEST_P(moved_file, a_save_is_refused) {
    const moved_case &c = GetParam();
    std::string mine = dir.write("mine.bin", iota_bytes(100)), other = dir.write("other.bin", iota_bytes(100, 50));
    std::string link = dir.file("link.bin");
    fs::create_symlink("mine.bin", link);
    std::string opened = c.through_link ? link : mine;
    ASSERT_EQ(hx_open_rw(opened.c_str()), 0);
    ASSERT_EQ(c.insert ? hx_insert("ff", 0) : hx_write("ff", 0), 0);
    if (c.through_link) {
        fs::remove(link);
        fs::create_symlink("other.bin", link);
    } else {
        fs::rename(other, mine);
    }
    bytes other_bytes = read_file(c.through_link ? other : mine);
    EXPECT_EQ(hx_save(nullptr), -1);
    EXPECT_EQ(hx_last_error(), "the file at " + opened +
                                   " is no longer the one that was opened - the edits are kept; save to another file");
    EXPECT_EQ(read_file(c.through_link ? other : mine), other_bytes);
    EXPECT_EQ(S.n_edits, 1);
    if (c.through_link) {
        EXPECT_EQ(read_file(mine), iota_bytes(100)) << "the file opened is as it was";
    }
}

INSTANTIATE_TEST_SUITE_P(cases, moved_file,
                         ::testing::Values(moved_case{"link_repointed_patch", true, false},
                                           moved_case{"link_repointed_rewrite", true, true},
                                           moved_case{"file_renamed_over_patch", false, false},
                                           moved_case{"file_renamed_over_rewrite", false, true}),
                         [](const auto &info) { return std::string(info.param.name); });

// In a sticky folder every user may write (as /tmp), a link another user
// made is not followed, to open or to save to; one the folder's owner or we
// made is.
TEST_F(hexview_test, links_in_a_shared_sticky_folder_are_followed_only_from_trusted_owners) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a link of another user";
    std::string shared = dir.file("shared");
    fs::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    std::string target = dir.write("target.bin", iota_bytes(10));
    std::string planted = shared + "/planted.bin", own = shared + "/own.bin";
    fs::create_symlink(target, planted);
    fs::create_symlink(target, own);
    ASSERT_EQ(lchown(planted.c_str(), 65534, 65534), 0);
    EXPECT_EQ(hx_open(planted.c_str()), -1);
    EXPECT_EQ(hx_last_error(), "cannot open file: " + planted + " (win error " + std::to_string(EACCES) + ")");
    ASSERT_EQ(hx_open(own.c_str()), 0) << hx_last_error();
    ASSERT_EQ(hx_open_rw(dir.write("f.bin", iota_bytes(4)).c_str()), 0);
    EXPECT_EQ(hx_save(planted.c_str()), -1);
    EXPECT_EQ(hx_last_error(), "cannot open for write: " + planted + " (win error " + std::to_string(EACCES) + ")");
    EXPECT_EQ(read_file(target), iota_bytes(10));
    // A folder link on the way counts as much as one at the end.
    std::string planted_folder = shared + "/folder";
    fs::create_symlink(dir.path(), planted_folder);
    ASSERT_EQ(lchown(planted_folder.c_str(), 65534, 65534), 0);
    EXPECT_EQ(hx_save((planted_folder + "/target.bin").c_str()), -1);
    EXPECT_EQ(read_file(target), iota_bytes(10));
    EXPECT_EQ(hx_open((planted_folder + "/target.bin").c_str()), -1);
}

// ---- After the save --------------------------------------------------------

// The save is done when the re-open fails: the message says so, and no file
// is open (rather than a view of what is no longer there).
TEST_F(hexview_test, a_failed_re_open_after_a_save_says_it_saved) {
    std::string p = dir.write("f.bin", iota_bytes(100));
    ASSERT_EQ(hx_open_rw(p.c_str()), 0);
    ASSERT_EQ(hx_insert("ff", 0), 0);
    {
        scoped_os os;
        os.table.open_rw = [](const char *) {
            fail_with(EIO);
            return HV_NO_HANDLE;
        };
        os.table.last_error = injected_code;
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    EXPECT_EQ(hx_last_error(), "saved " + p + ", but it could not be opened again: cannot open file: " + p +
                                   " (win error " + std::to_string(EIO) + ")");
    EXPECT_EQ(S.is_open, 0);
    EXPECT_EQ(read_file(p).size(), 101u);
}

#endif

}  // namespace
