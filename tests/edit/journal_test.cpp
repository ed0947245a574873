// Saves that only overwrite bytes patch the file in place behind a rollback
// journal: faults at every step leave the file as it was, a kill at any
// moment loses nothing, and an open rolls an interrupted patch back.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/state.h"
#include "edit/journal.h"
#include "edit/save_support.h"
#include "platform/temp_name.h"
#include "quillmar_hexview.h"
#include "support/child_process.h"
#include "support/test_support.h"

#ifdef _WIN32
#include "support/win32.h"
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace fs = std::filesystem;

namespace {

std::string journal_of(const std::string &path) { return path + HV_JOURNAL_SUFFIX; }

// Three overwrites: at the start, across the 1 MiB mark and at the very end.
struct overwrite {
    int64_t offset;
    const char *hex;
    bytes value;
};
const overwrite kOverwrites[] = {
    {0, "aa bb", {0xaa, 0xbb}},
    {1048575, "cc dd ee", {0xcc, 0xdd, 0xee}},
    {static_cast<int64_t>(kEditedFileSize) - 1, "ff", {0xff}},
};

bytes stage_overwrites(const bytes &original, int64_t shift = 0) {
    bytes b = original;
    for (const overwrite &o : kOverwrites) {
        int64_t at = o.offset + (o.offset > 0 ? shift : 0);
        EXPECT_EQ(hx_write(o.hex, at), 0) << hx_last_error();
        for (std::size_t i = 0; i < o.value.size(); i++)
            if (static_cast<std::size_t>(at) + i < b.size()) b[static_cast<std::size_t>(at) + i] = o.value[i];
    }
    return b;
}

// ---- Faults at every step -------------------------------------------------

int g_calls = 0;  // calls of the faulty entry so far
unsigned long &g_code = g_injected_code;

bool is_journal(const char *path) { return std::strstr(path, HV_JOURNAL_SUFFIX) != nullptr; }

// Messages: %s the file, %j its journal.
const fault_case kPatchFaults[] = {
    {"journal_cannot_be_created",
     [](hv_os_table &t) {
         t.create_temp_beside = [](const char *, hv_temp_kind, hv_handle *, char *, std::size_t) {
             g_code = ENOSPC;
             return HV_FS_FAILED;
         };
     },
     "cannot create journal: %j (win error 28)"},
    {"journal_write_fails",
     [](hv_os_table &t) {
         t.write = [](hv_handle, const uint8_t *, std::size_t, std::size_t *w) {
             *w = 0;
             return fail_with(EIO);
         };
     },
     "cannot write journal: %j (win error 5)"},
    {"journal_flush_fails",
     [](hv_os_table &t) {
         t.flush = [](hv_handle h) { return ++g_calls == 1 ? fail_with(ENOSPC) : hv_os_native.flush(h); };
     },
     "cannot write journal: %j (win error 28)"},
    {"journal_rename_fails",
     [](hv_os_table &t) {
         t.replace_file = [](const char *, const char *) {
             g_code = EIO;
             return HV_FS_FAILED;
         };
     },
     "cannot write journal: %j (win error 5)"},
    {"first_patch_write_fails",
     [](hv_os_table &t) {
         t.write_at = [](hv_handle h, int64_t o, const uint8_t *d, std::size_t n, std::size_t *w) {
             return ++g_calls == 1 ? fail_with(EIO) : hv_os_native.write_at(h, o, d, n, w);
         };
     },
     "WriteFile failed: %s"},
    {"second_patch_write_fails",
     [](hv_os_table &t) {
         t.write_at = [](hv_handle h, int64_t o, const uint8_t *d, std::size_t n, std::size_t *w) {
             return ++g_calls == 2 ? fail_with(EIO) : hv_os_native.write_at(h, o, d, n, w);
         };
     },
     "WriteFile failed: %s"},
    {"short_patch_write_then_failure",
     [](hv_os_table &t) {
         t.write_at = [](hv_handle h, int64_t o, const uint8_t *d, std::size_t n, std::size_t *w) {
             ++g_calls;
             if (g_calls == 2) return hv_os_native.write_at(h, o, d, n / 2 + 1, w);
             if (g_calls == 3) return fail_with(EFBIG);
             return hv_os_native.write_at(h, o, d, n, w);
         };
     },
     "WriteFile failed: %s"},
    {"file_flush_fails",
     [](hv_os_table &t) {
         t.flush = [](hv_handle h) { return ++g_calls == 2 ? fail_with(EIO) : hv_os_native.flush(h); };
     },
     "WriteFile failed: %s"},
    {"journal_removal_fails",
     [](hv_os_table &t) {
         t.remove_file = [](const char *p) {
             return is_journal(p) && ++g_calls == 1 ? fail_with(EACCES) : hv_os_native.remove_file(p);
         };
     },
     "cannot remove journal: %j (win error 13) - the file was left as it was"},
};

std::string fill(const std::string &text, const std::string &path) {
    return fill_placeholders(text, {{"%s", path}, {"%j", journal_of(path)}});
}

class overwritten_file : public opened_original {
protected:
    void SetUp() override {
        g_calls = 0;
        g_code = 0;
        ASSERT_NO_FATAL_FAILURE(opened_original::SetUp());
        expected = stage_overwrites(original);
    }

    void expect_edits_staged() {
        EXPECT_EQ(S.n_edits, 3);
        ASSERT_NE(S.view, nullptr);
        EXPECT_EQ(page_row(0), raw_row(expected, 0));
        EXPECT_EQ(page_row(1048570), raw_row(expected, 1048570));
        EXPECT_EQ(page_row(kEditedFileSize - 16), raw_row(expected, kEditedFileSize - 16));
    }

    bytes expected;
};

class patch_fault_test : public overwritten_file, public ::testing::WithParamInterface<fault_case> {};

TEST_P(patch_fault_test, leaves_the_file_as_it_was_and_the_edits_staged) {
    unsigned long long id = file_identity(path);
    {
        scoped_os os;
        os.table.last_error = injected_code;
        GetParam().inject(os.table);
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    EXPECT_EQ(hx_last_error(), fill(GetParam().message, path));
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(names_in(dir), std::set<std::string>{"data.bin"}) << "no journal and no temporary file is left";
    expect_edits_staged();

    ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(file_identity(path), id) << "patched, not replaced";
    EXPECT_EQ(names_in(dir), std::set<std::string>{"data.bin"});
}

INSTANTIATE_TEST_SUITE_P(steps, patch_fault_test, ::testing::ValuesIn(kPatchFaults),
                         [](const auto &info) { return std::string(info.param.name); });

// When even putting the old bytes back fails, the journal stays and the
// next read-write open finishes the roll-back.
TEST_F(overwritten_file, a_failed_roll_back_keeps_the_journal_for_the_next_open) {
    {
        scoped_os os;
        os.table.write_at = [](hv_handle h, int64_t o, const uint8_t *d, std::size_t n, std::size_t *w) {
            return ++g_calls >= 2 ? fail_with(EIO) : hv_os_native.write_at(h, o, d, n, w);
        };
        EXPECT_EQ(hx_save(nullptr), -1);
    }
    EXPECT_EQ(hx_last_error(), "WriteFile failed: " + path +
                                   " - the file may be partly saved: open it read-write to roll it back from " +
                                   journal_of(path));
    EXPECT_TRUE(file_exists(journal_of(path)));
    expect_edits_staged();
    hx_close();
    EXPECT_EQ(hx_open(path.c_str()), -1) << "a read-only open never writes";
    EXPECT_EQ(hx_last_error(), path + " has the journal of an interrupted save: " + journal_of(path) +
                                   " - a read-write open rolls it back");
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_EQ(hx_last_error(), "rolled back an interrupted save of " + path + " from " + journal_of(path) +
                                   ": the file is as it was before that save");
    EXPECT_EQ(read_file(path), original);
    EXPECT_FALSE(file_exists(journal_of(path)));
}

// ---- Cost -----------------------------------------------------------------

int64_t g_bytes_written = 0;
int g_flushes = 0;

TEST_F(overwritten_file, writes_the_changed_bytes_three_times_with_two_flushes) {
    g_bytes_written = 0;
    g_flushes = 0;
    {
        scoped_os os;
        os.table.write = [](hv_handle h, const uint8_t *d, std::size_t n, std::size_t *w) {
            bool ok = hv_os_native.write(h, d, n, w);
            g_bytes_written += static_cast<int64_t>(*w);
            return ok;
        };
        os.table.write_at = [](hv_handle h, int64_t o, const uint8_t *d, std::size_t n, std::size_t *w) {
            bool ok = hv_os_native.write_at(h, o, d, n, w);
            g_bytes_written += static_cast<int64_t>(*w);
            return ok;
        };
        os.table.flush = [](hv_handle h) {
            g_flushes++;
            return hv_os_native.flush(h);
        };
        ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    }
    // 6 changed bytes, written new to the file and old and new to the
    // journal, and the journal's header, range heads (with their hashes) and
    // checksum.
    EXPECT_EQ(g_bytes_written, 3 * 6 + 48 + 3 * 24 + 8);
    EXPECT_EQ(g_flushes, 2);
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(S.n_edits, 0);
    EXPECT_STREQ(hx_last_error(), "");
}

// ---- Hard links -----------------------------------------------------------

TEST_F(overwritten_file, both_names_of_a_hard_linked_file_see_the_new_bytes) {
    std::string twin = dir.file("twin.bin");
    fs::create_hard_link(path, twin);
    if (fs::hard_link_count(path) != 2) GTEST_SKIP() << "the system counts no links (Wine)";
    ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(read_file(twin), expected);
    EXPECT_EQ(fs::hard_link_count(path), 2u) << "still one file";
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "twin.bin"}));
}

#ifndef _WIN32

// Under a file-size limit the last range cannot be written: the save fails,
// both names keep the old bytes and nothing is left beside them.
TEST_F(overwritten_file, over_the_file_size_limit_both_names_keep_the_old_bytes) {
    std::string twin = dir.file("twin.bin");
    fs::create_hard_link(path, twin);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1536 * 1024, 1536 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
        if (hx_save(nullptr) != -1) _exit(4);
        if (hx_last_error() != "WriteFile failed: " + path) _exit(5);
        if (S.n_edits != 3 || page_row(0) != raw_row(expected, 0)) _exit(6);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(read_file(twin), original);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"data.bin", "twin.bin"}));
}

#endif

// ---- Journals that must not be trusted ------------------------------------

// The journal a save wrote, copied as it was renamed into place: with the
// patched file it is what a crash just before its removal leaves.
std::string g_journal_copy;

class left_journal : public overwritten_file {
protected:
    void SetUp() override {
        overwritten_file::SetUp();
        g_journal_copy.clear();
        {
            scoped_os os;
            // The journal as it is renamed into place, whole.
            os.table.replace_file = [](const char *from, const char *to) {
                if (is_journal(to)) {
                    std::ifstream f(from, std::ios::binary);
                    g_journal_copy.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
                }
                return hv_os_native.replace_file(from, to);
            };
            ASSERT_EQ(hx_save(nullptr), 0) << hx_last_error();
        }
        hx_close();
        ASSERT_EQ(read_file(path), expected);
        ASSERT_FALSE(g_journal_copy.empty());
    }

    void put_journal(const std::string &text) { dir.write("data.bin" + std::string(HV_JOURNAL_SUFFIX), text); }
};

TEST_F(left_journal, a_read_write_open_rolls_it_back_and_says_so) {
    put_journal(g_journal_copy);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_EQ(hx_last_error(), "rolled back an interrupted save of " + path + " from " + journal_of(path) +
                                   ": the file is as it was before that save");
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(page_row(1048570), raw_row(original, 1048570)) << "the view shows the rolled-back file";
    EXPECT_EQ(names_in(dir), std::set<std::string>{"data.bin"});
}

TEST_F(left_journal, a_read_only_open_refuses_and_writes_nothing) {
    put_journal(g_journal_copy);
    EXPECT_EQ(hx_open(path.c_str()), -1);
    EXPECT_EQ(hx_last_error(), path + " has the journal of an interrupted save: " + journal_of(path) +
                                   " - a read-write open rolls it back");
    EXPECT_EQ(S.is_open, 0);
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(read_file(journal_of(path)), to_bytes(g_journal_copy));
}

// A save killed while it wrote its journal, a copy or a new file leaves that
// file and an untouched data file: a read-write open removes those files of
// its own, and only them (never another file's, even one whose name begins
// the same); a read-only open writes nothing.
std::string temp_name(const std::string &path, hv_temp_kind kind, unsigned random) {
    char out[4096];
    std::size_t folder = path.rfind('/') + 1;
    EXPECT_TRUE(hv_temp_name_beside(path.c_str(), folder, kind, random, out, sizeof out));
    return std::string(out).substr(folder);
}

TEST_F(overwritten_file, an_open_for_writing_removes_only_its_own_abandoned_files) {
    hx_close();
    const std::string sibling = dir.file(std::string(60, 'd') + ".bin"), cousin = dir.file(std::string(60, 'd') + ".bim");
    const std::set<std::string> own = {
        temp_name(path, HV_TEMP_SAVE, 0x0123abcd),
        temp_name(path, HV_TEMP_COPY, 0x0123abcd),
        temp_name(journal_of(path), HV_TEMP_JOURNAL, 0x89abcdef),
    };
    const std::set<std::string> others = {
        "data.bin",
        temp_name(sibling, HV_TEMP_COPY, 0x0123abcd),  // a file whose name begins the same
        temp_name(dir.file("other.bin"), HV_TEMP_SAVE, 0x0123abcd),
        temp_name(journal_of(dir.file("other.bin")), HV_TEMP_JOURNAL, 0x0123abcd),
        ".data.bin.hxsave-0123abcd",  // not a name the engine gives
        "data.bin.hexview-journal.hxsave-0123abcd",
    };
    ASSERT_EQ(temp_name(sibling, HV_TEMP_SAVE, 1).substr(0, 40), temp_name(cousin, HV_TEMP_SAVE, 1).substr(0, 40));
    ASSERT_NE(temp_name(sibling, HV_TEMP_SAVE, 1), temp_name(cousin, HV_TEMP_SAVE, 1));
    for (const std::string &name : others)
        if (name != "data.bin") dir.write(name, std::string("x"));
    for (const std::string &name : own) dir.write(name, std::string("half written"));
    std::set<std::string> all = others;
    all.insert(own.begin(), own.end());
    ASSERT_EQ(hx_open(path.c_str()), 0);
    EXPECT_EQ(names_in(dir), all) << "a read-only open writes nothing";
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_STREQ(hx_last_error(), "");
    EXPECT_EQ(names_in(dir), others);
    EXPECT_EQ(read_file(path), original);
}

// A file of the engine's that a living save still holds is left alone.
TEST_F(overwritten_file, an_open_for_writing_leaves_a_file_a_save_holds) {
    hx_close();
    hv_handle h = HV_NO_HANDLE;
    char temp[4096];
    ASSERT_EQ(hv_os_native.create_temp_beside(path.c_str(), HV_TEMP_SAVE, &h, temp, sizeof temp), HV_FS_OK);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_TRUE(file_exists(temp)) << "its lock is held";
    hv_os_native.close(h);
    ASSERT_EQ(hx_open_rw(path.c_str()), 0);
    EXPECT_FALSE(file_exists(temp)) << "abandoned once closed";
}

struct untrusted_case {
    const char *name;
    // Spoils the journal (or the file) and returns the reason the open names.
    std::string (*spoil)(std::string &journal, const std::string &path, const temp_dir &dir);
};

void PrintTo(const untrusted_case &c, std::ostream *os) { *os << c.name; }

class untrusted_journal : public left_journal, public ::testing::WithParamInterface<untrusted_case> {};

TEST_P(untrusted_journal, is_left_alone_and_the_open_says_so) {
    std::string journal = g_journal_copy;
    std::string reason = GetParam().spoil(journal, path, dir);
    put_journal(journal);
    bytes file_before = read_file(path);
    for (int rw = 0; rw < 2; rw++) {
        ASSERT_EQ(rw ? hx_open_rw(path.c_str()) : hx_open(path.c_str()), 0) << hx_last_error();
        EXPECT_EQ(hx_last_error(),
                  "journal left alone: " + journal_of(path) + " is not valid for this file (" + reason + ")");
        EXPECT_EQ(read_file(path), file_before);
        EXPECT_EQ(read_file(journal_of(path)), to_bytes(journal));
    }
    // A save in place would need the journal's name: it is refused, and says why.
    ASSERT_EQ(hx_write("00", 5), 0);
    EXPECT_EQ(hx_save(nullptr), -1);
    EXPECT_EQ(hx_last_error(),
              "a journal of an earlier save is in the way: " + journal_of(path) + " - remove it to save in place");
    EXPECT_EQ(read_file(path), file_before);
}

INSTANTIATE_TEST_SUITE_P(
    kinds, untrusted_journal,
    ::testing::Values(
        untrusted_case{"truncated",
                       [](std::string &j, const std::string &, const temp_dir &) -> std::string {
                           j.resize(j.size() - 1);
                           return "truncated";
                       }},
        untrusted_case{"cut_inside_a_range",
                       [](std::string &j, const std::string &, const temp_dir &) -> std::string {
                           j.resize(70);
                           return "truncated";
                       }},
        untrusted_case{"bad_checksum",
                       [](std::string &j, const std::string &, const temp_dir &) -> std::string {
                           j[j.size() - 9] ^= 1;  // the last new byte
                           return "bad checksum";
                       }},
        untrusted_case{"implausibly_large",
                       [](std::string &j, const std::string &, const temp_dir &) -> std::string {
                           j.append(8 * 1024 * 1024, 'x');
                           return "larger than any journal of this file";
                       }},
        untrusted_case{"not_a_journal",
                       [](std::string &j, const std::string &, const temp_dir &) -> std::string {
                           j = "some notes of my own";
                           return "not a journal";
                       }},
        untrusted_case{"the_header_only",
                       [](std::string &j, const std::string &, const temp_dir &) -> std::string {
                           j.resize(48);
                           return "truncated";
                       }},

        untrusted_case{"from_another_file",
                       [](std::string &, const std::string &path, const temp_dir &dir) -> std::string {
                           // The same bytes under the same name, but another file (the
                           // first one kept, so its identity is not used again).
                           bytes content = read_file(path);
                           fs::rename(path, dir.file("first.bin"));
                           std::ofstream(path, std::ios::binary)
                               .write(reinterpret_cast<const char *>(content.data()),
                                      static_cast<std::streamsize>(content.size()));
                           return "written for another file";
                       }},
        untrusted_case{"wrong_size",
                       [](std::string &, const std::string &path, const temp_dir &) -> std::string {
                           std::ofstream(path, std::ios::binary | std::ios::app).put('x');
                           return "the file's size differs";
                       }}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- A kill at any moment -------------------------------------------------

// A sparse file of 1 GiB with data only where the edits go.
constexpr int64_t kSparseSize = int64_t{1} << 30;
const int64_t kSparseEdits[] = {4096, kSparseSize / 2 - 1, kSparseSize - 3};

void make_sparse_file(const std::string &path) {
    {
        std::ofstream f(path, std::ios::binary);
        for (int64_t at : kSparseEdits) {
            f.seekp(at - 2);
            f.write("\x11\x22\x33\x44\x55", at == kSparseSize - 3 ? 3 : 5);
        }
    }
    fs::resize_file(path, static_cast<uintmax_t>(kSparseSize));
}

// The bytes around each edit: they tell the old content from the new one.
std::string windows_of(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::string all;
    for (int64_t at : kSparseEdits) {
        char w[16] = {};
        f.seekg(at - 8);
        f.read(w, at + 8 <= kSparseSize ? 16 : 11);
        all += hex_string(bytes(w, w + 16)) + " ";
    }
    return all;
}

int g_kill_at = 0;

[[noreturn]] void kill_self() {
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 9);
#else
    raise(SIGKILL);
#endif
    _exit(9);
}

void step() {
    if (++g_calls == g_kill_at) kill_self();
}

// Every call of the save that changes the disk counts as a step; the kill
// comes right after the chosen one, or half-way through it for a write.
void install_killer(hv_os_table &t) {
    t.create_temp_beside = [](const char *p, hv_temp_kind k, hv_handle *h, char *tp, std::size_t c) {
        hv_fs_result r = hv_os_native.create_temp_beside(p, k, h, tp, c);
        step();
        return r;
    };
    t.write = [](hv_handle h, const uint8_t *d, std::size_t n, std::size_t *w) {
        if (g_calls + 1 == g_kill_at) hv_os_native.write(h, d, n / 2, w);
        step();
        return hv_os_native.write(h, d, n, w);
    };
    t.write_at = [](hv_handle h, int64_t o, const uint8_t *d, std::size_t n, std::size_t *w) {
        if (g_calls + 1 == g_kill_at) hv_os_native.write_at(h, o, d, (n + 1) / 2, w);
        step();
        return hv_os_native.write_at(h, o, d, n, w);
    };
    t.flush = [](hv_handle h) {
        bool ok = hv_os_native.flush(h);
        step();
        return ok;
    };
    t.replace_file = [](const char *a, const char *b) {
        hv_fs_result r = hv_os_native.replace_file(a, b);
        step();
        return r;
    };
    t.remove_file = [](const char *p) {
        bool ok = hv_os_native.remove_file(p);
        step();
        return ok;
    };
    t.sync_folder_of = [](const char *p) {
        bool ok = hv_os_native.sync_folder_of(p);
        step();
        return ok;
    };
}

// The child: stage the overwrites, then save with the kill armed.
TEST(patch_crash_child, DISABLED_save) {
    std::string arg = child_arg();
    std::size_t bar = arg.find('|');
    g_kill_at = std::stoi(arg.substr(0, bar));
    std::string path = arg.substr(bar + 1);
    if (hx_open_rw(path.c_str()) != 0) _exit(3);
    for (int64_t at : kSparseEdits)
        if (hx_write("a1 b2 c3", at) != 0) _exit(4);
    g_calls = 0;
    scoped_os os;
    install_killer(os.table);
    _exit(kChildRan + (hx_save(nullptr) == 0 ? 0 : 5));
}

bool killed(int status) {
#ifdef _WIN32
    return status == 9;
#else
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
#endif
}

bool ran_to_the_end(int status) {
#ifdef _WIN32
    return status == kChildRan;
#else
    return WIFEXITED(status) && WEXITSTATUS(status) == kChildRan;
#endif
}

using patch_crash = hexview_test;

TEST_F(patch_crash, at_any_step_the_next_open_shows_the_old_or_the_new_content) {
    std::string path = dir.file("disk.img");
    std::string arg = "|" + path;
    make_sparse_file(path);
    std::string old_windows = windows_of(path);
    ASSERT_TRUE(ran_to_the_end(run_child_test("patch_crash_child.DISABLED_save", "1000" + arg)));
    std::string new_windows = windows_of(path);
    ASSERT_NE(new_windows, old_windows);
    int olds = 0, news = 0, kill_at = 1;
    for (;; kill_at++) {
        ASSERT_LT(kill_at, 40) << "the save has a last step";
        make_sparse_file(path);
        int status = run_child_test("patch_crash_child.DISABLED_save", std::to_string(kill_at) + arg);
        if (ran_to_the_end(status)) break;
        ASSERT_TRUE(killed(status)) << "at step " << kill_at;
        ASSERT_EQ(hx_open_rw(path.c_str()), 0) << hx_last_error();
        hx_close();
        std::string now = windows_of(path);
        EXPECT_TRUE(now == old_windows || now == new_windows) << "at step " << kill_at << ": " << now;
        olds += now == old_windows;
        news += now == new_windows;
        EXPECT_EQ(names_in(dir), std::set<std::string>{"disk.img"}) << "no journal, whole or half-written, at step " << kill_at;
        EXPECT_EQ(fs::file_size(path), static_cast<uintmax_t>(kSparseSize));
    }
    EXPECT_GT(olds, 6) << "kills before the journal goes roll back";
    EXPECT_GE(news, 1) << "a kill after it keeps the save";
}

}  // namespace
