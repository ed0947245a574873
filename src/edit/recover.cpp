// Recovery at open: a journal beside the file or in the user's state folder
// is looked at under the file's save lock, so one that a living save still
// owns is never touched. A journal is acted on only when it is provably ours
// (a plain file of one name, owned by us and written by no one else), whole
// (its checksum), for this file (identity and size) and, for a patch, when
// every block it covers holds either its old or its new bytes.
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "core/error.h"
#include "core/open.h"
#include "edit/content_hash.h"
#include "edit/file_reads.h"
#include "edit/journal.h"
#include "edit/journal_format.h"
#include "edit/save_lock.h"

using namespace hv_journal_format;

namespace {

constexpr std::size_t kChunk = 1048576;
constexpr std::size_t kPathRoom = HV_JOURNAL_PATH_ROOM;


// Adds a sentence to the notice, after any already there.
void add_notice(char *notice, std::size_t cap, const char *text) {
    std::size_t used = std::strlen(notice);
    if (used + 3 >= cap) return;
    std::snprintf(notice + used, cap - used, "%s%s", used ? "; " : "", text);
}

// Reads a journal front to back in bounded pieces, summing what it reads.
class journal_reader {
public:
    journal_reader(hv_handle h, int64_t size) : h_(h), size_(size) {}
    void restart() {
        pos_ = 0;
        sum_ = fnv1a{};
    }
    // False when the bytes are not there before the checksum (truncated).
    bool read(uint8_t *dst, std::size_t n) {
        if (static_cast<int64_t>(n) > body() - pos_ || !hv_read_exactly(h_, pos_, dst, n)) return false;
        sum_.add(dst, n);
        pos_ += static_cast<int64_t>(n);
        return true;
    }
    bool u64(uint64_t *v) {
        uint8_t b[8];
        if (!read(b, sizeof b)) return false;
        *v = get_u64(b);
        return true;
    }
    bool skip(uint64_t n, uint8_t *scratch, std::size_t room) {
        while (n > 0) {
            std::size_t take = n < room ? static_cast<std::size_t>(n) : room;
            if (!read(scratch, take)) return false;
            n -= take;
        }
        return true;
    }
    bool at_checksum() const { return pos_ == body(); }
    bool checksum_matches() const {
        uint8_t b[8];
        return hv_read_exactly(h_, body(), b, sizeof b) && get_u64(b) == sum_.h;
    }

private:
    int64_t body() const { return size_ - static_cast<int64_t>(kChecksumBytes); }
    hv_handle h_;
    int64_t size_;
    int64_t pos_ = 0;
    fnv1a sum_;
};

struct journal_header {
    int version = 0;  // 1 or 2
    uint64_t kind = kKindPatch, size = 0, volume = 0, file_id = 0, n = 0;
};

// The header; null or why it is not a journal of ours.
const char *read_header(journal_reader &r, int64_t length, journal_header &h) {
    uint8_t head[kHeaderV2];
    if (!r.read(head, 8)) return "truncated";
    bool v1 = std::memcmp(head, kMagicV1, 8) == 0, v2 = std::memcmp(head, kMagicV2, 8) == 0;
    if (!v1 && !v2) return "not a journal";
    if (length < static_cast<int64_t>(kHeaderV1 + kChecksumBytes)) return "truncated";
    if (v1) {
        h.version = 1;
        if (!r.read(head + 8, kHeaderV1 - 8)) return "truncated";
        h.size = get_u64(head + 8), h.volume = get_u64(head + 16), h.file_id = get_u64(head + 24), h.n = get_u64(head + 32);
        return nullptr;
    }
    h.version = 2;
    if (!r.read(head + 8, kHeaderV2 - 8)) return "truncated";
    h.kind = get_u64(head + 8), h.size = get_u64(head + 16), h.volume = get_u64(head + 24);
    h.file_id = get_u64(head + 32), h.n = get_u64(head + 40);
    if (h.kind != kKindPatch && h.kind != kKindRestore) return "not a journal";
    return nullptr;
}

// The most bytes a journal of this header can hold: one larger is a stray
// file, refused before a byte of its body is read.
bool plausible_length(const journal_header &h, int64_t length) {
    if (h.kind == kKindRestore)
        return length <= static_cast<int64_t>(kHeaderV2 + kRestoreHeadBytes + kMaxCopyName + kChecksumBytes);
    if (h.n > kMaxRanges || h.size > (1ull << 61)) return false;
    uint64_t per_range = kRangeHeadBytes + (h.version == 2 ? kRangeHashBytes : 0);
    uint64_t bytes = h.version == 2 ? 2 * h.size : h.size;
    return static_cast<uint64_t>(length) <= kHeaderV2 + h.n * per_range + bytes + kChecksumBytes;
}

// Reads the body of a patch journal front to back (the checksum's pass): its
// ranges must lie in the file, not add up to more than it, and end exactly
// at the checksum. Null, or why not.
const char *check_patch_body(journal_reader &r, const journal_header &h) {
    uint8_t scratch[64 * 1024];
    uint64_t total = 0;
    for (uint64_t i = 0; i < h.n; i++) {
        uint64_t offset = 0, len = 0, hash = 0;
        if (!r.u64(&offset) || !r.u64(&len) || (h.version == 2 && !r.u64(&hash))) return "truncated";
        if (len > h.size || offset > h.size - len) return "a range past the file's end";
        if ((total += len) > h.size) return "truncated";
        if (!r.skip(h.version == 2 ? 2 * len : len, scratch, sizeof scratch)) return "truncated";
    }
    return r.at_checksum() ? nullptr : "truncated";
}

struct rewrite_facts {
    uint64_t copy_hash = 0, old_size = 0, old_hash = 0, birth = 0;
    char copy_name[kMaxCopyName + 1] = "";
};

const char *check_restore_body(journal_reader &r, const journal_header &h, rewrite_facts &f) {
    char *name = f.copy_name;
    if (h.n == 0 || h.n >= sizeof f.copy_name) return "not a journal";
    if (!r.u64(&f.copy_hash) || !r.u64(&f.old_size) || !r.u64(&f.old_hash) || !r.u64(&f.birth) ||
        !r.read(reinterpret_cast<uint8_t *>(name), static_cast<std::size_t>(h.n)))
        return "truncated";
    name[h.n] = '\0';
    if (!r.at_checksum()) return "truncated";
    // A name in the journal's own folder, nothing else.
    if (std::strlen(name) != h.n || std::strpbrk(name, "/\\:") || !std::strcmp(name, ".") || !std::strcmp(name, ".."))
        return "not a journal";
    return nullptr;
}

constexpr std::size_t kPiece = 4096;  // of a range, read at a time

// A piece of a range, as the walk hands it over.
struct piece_visit {
    int64_t at;          // its offset in the file
    std::size_t len;
    const uint8_t *old;  // its old bytes
    const uint8_t *now;  // its new bytes (version 2), else null
};

// Walks every range of a checked patch journal piece by piece, reading the
// old and new bytes where they lie; `visit` returns false to stop the walk,
// and then so does this. `range_done(hash)` is called at the end of each
// range with the hash it records (version 2).
template <typename Visit, typename RangeDone>
bool walk_ranges(hv_handle jh, const journal_header &h, Visit visit, RangeDone range_done) {
    uint8_t old[kPiece], now[kPiece], head[kRangeHeadBytes + kRangeHashBytes] = {};
    const bool v2 = h.version == 2;
    int64_t pos = v2 ? static_cast<int64_t>(kHeaderV2) : static_cast<int64_t>(kHeaderV1);
    std::size_t head_len = kRangeHeadBytes + (v2 ? kRangeHashBytes : 0);
    for (uint64_t i = 0; i < h.n; i++) {
        if (!hv_read_exactly(jh, pos, head, head_len)) return false;
        int64_t offset = static_cast<int64_t>(get_u64(head)), len = static_cast<int64_t>(get_u64(head + 8));
        int64_t old_at = pos + static_cast<int64_t>(head_len), new_at = old_at + len;
        for (int64_t done = 0; done < len;) {
            std::size_t n = static_cast<std::size_t>(len - done < static_cast<int64_t>(kPiece) ? len - done : kPiece);
            if (!hv_read_exactly(jh, old_at + done, old, n)) return false;
            if (v2 && !hv_read_exactly(jh, new_at + done, now, n)) return false;
            if (!visit(piece_visit{offset + done, n, old, v2 ? now : nullptr})) return false;
            done += static_cast<int64_t>(n);
        }
        if (!range_done(get_u64(head + kRangeHeadBytes))) return false;
        pos = new_at + (v2 ? len : 0);
    }
    return true;
}

// ---- One journal ------------------------------------------------------------

struct found_journal {
    char jpath[kPathRoom] = "";
    hv_handle_closer handle;
    int64_t length = 0;
    journal_header header;
    rewrite_facts rewrite;
};

const char *identity_fault(const journal_header &h, const hv_path_info &file, int64_t file_size) {
    if (file.kind != HV_PATH_REGULAR || h.volume != file.volume || h.file_id != file.file_id)
        return "written for another file";
    // A restore's size is the new content's; the file's own may be anything.
    if (h.kind == kKindPatch && h.size != static_cast<uint64_t>(file_size)) return "the file's size differs";
    return nullptr;
}

// Opens, checks whose it is, reads and checks the journal. The cheap checks
// come first, so a stray file costs a header's read at most. *unreadable
// when it could not even be opened (last_error says why).
const char *examine(found_journal &j, const hv_path_info &file, int64_t file_size, bool *unreadable) {
    *unreadable = false;
    j.handle.h = hv_os->open_nofollow(j.jpath);
    hv_path_info by_name{};
    if (j.handle.h == HV_NO_HANDLE) {
        // A folder or device under the journal's name is not one; a link
        // is not followed (the open says why).
        bool plain = hv_os->path_info(j.jpath, &by_name) && by_name.kind == HV_PATH_REGULAR;
        if (!plain) return "not a plain file";
        *unreadable = true;
        return "";
    }
    hv_path_info info{};
    if (!hv_os->handle_info(j.handle.h, &info) || !hv_os->file_size(j.handle.h, &j.length)) {
        *unreadable = true;
        return "";
    }
    if (const char *fault = ownership_fault(info)) return fault;
    journal_reader r(j.handle.h, j.length);
    if (const char *fault = read_header(r, j.length, j.header)) return fault;
    if (!plausible_length(j.header, j.length)) return "larger than any journal of this file";
    if (const char *fault = identity_fault(j.header, file, file_size)) return fault;
    const char *fault = j.header.kind == kKindRestore
                            ? check_restore_body(r, j.header, j.rewrite)
                            : check_patch_body(r, j.header);
    if (fault) return fault;
    if (!r.checksum_matches()) return "bad checksum";
    // A later file that got the number of the one rewritten is another file.
    const uint64_t birth = static_cast<uint64_t>(file.birth);
    if (j.header.kind == kKindRestore && j.rewrite.birth && birth && j.rewrite.birth != birth)
        return "written for another file";
    return nullptr;
}

// Each byte of every range holds its old value or its new one (a write cut
// short leaves new bytes before old ones), and the new bytes are the ones
// hashed: otherwise the file was changed after the save stopped, and
// rolling back would mix the two. Null, or why not.
const char *content_fault(found_journal &j, hv_handle file) {
    uint8_t now[kPiece];
    hv_content_hash hash;
    bool stale = false;
    bool read = walk_ranges(
        j.handle.h, j.header,
        [&](const piece_visit &v) {
            if (!hv_read_exactly(file, v.at, now, v.len)) return false;
            hash.add(v.now, v.len);
            for (std::size_t i = 0; i < v.len; i++)
                if (now[i] != v.old[i] && now[i] != v.now[i]) {
                    stale = true;
                    return false;
                }
            return true;
        },
        [&](uint64_t recorded) {
            bool same = hash.value() == recorded;
            hash = hv_content_hash{};
            return same;
        });
    if (stale) return "the file changed after the interrupted save: it holds neither the old bytes nor the new ones";
    return read ? nullptr : "bad checksum";
}

// Writes the old bytes back where the file differs from them, and flushes.
bool roll_back(found_journal &j, hv_handle file) {
    uint8_t now[kPiece];
    bool ok = walk_ranges(
        j.handle.h, j.header,
        [&](const piece_visit &v) {
            std::size_t wrote = 0;
            if (!hv_read_exactly(file, v.at, now, v.len)) return false;
            if (std::memcmp(now, v.old, v.len) == 0) return true;
            for (std::size_t at = 0; at < v.len; at += wrote)
                if (!hv_os->write_at(file, v.at + static_cast<int64_t>(at), v.old + at, v.len - at, &wrote) ||
                    wrote == 0)
                    return false;
            return true;
        },
        [](uint64_t) { return true; });
    return ok && hv_os->flush(file);
}

// ---- Restoring from a copy ------------------------------------------------

void copy_path_of(const found_journal &j, char *out, std::size_t cap) {
    std::snprintf(out, cap, "%.*s%s", static_cast<int>(folder_length(j.jpath)), j.jpath, j.rewrite.copy_name);
}

// The copy is ours, of the recorded size, and its bytes hash to the recorded
// value: it is whole. The file (of file_size bytes, read through `file`) is
// as the rewrite found it or a beginning of the new content (a rewrite
// writes from the start): otherwise it changed since, and the copy must not
// go over it. Null, or why not.
const char *rewrite_fault(const found_journal &j, hv_handle_closer &copy, hv_handle file, int64_t file_size,
                          uint8_t *buf) {
    char path[kPathRoom];
    copy_path_of(j, path, sizeof path);
    copy.h = hv_os->open_nofollow(path);
    hv_path_info info{};
    int64_t size = -1;
    if (copy.h == HV_NO_HANDLE || !hv_os->handle_info(copy.h, &info) || !hv_os->file_size(copy.h, &size))
        return "its copy of the content is missing";
    if (ownership_fault(info)) return "its copy of the content is not ours";
    const rewrite_facts &f = j.rewrite;
    uint64_t copy_hash = 0, new_prefix = 0, now = 0;
    int64_t prefix = file_size <= size ? file_size : -1;
    if (static_cast<uint64_t>(size) != j.header.size || !hv_hash_file(copy.h, size, buf, kChunk, &copy_hash, prefix, &new_prefix) ||
        copy_hash != f.copy_hash)
        return "its copy of the content is not whole";
    if (!hv_hash_file(file, file_size, buf, kChunk, &now)) return "the file cannot be read";
    bool as_it_was = static_cast<uint64_t>(file_size) == f.old_size && now == f.old_hash;
    bool begun = prefix >= 0 && now == new_prefix;
    if (!as_it_was && !begun)
        return "the file changed after the interrupted save: it is neither as it was nor a part of what that save "
               "wrote";
    return nullptr;
}

// The file becomes the copy's content: emptied, sized, its data written
// (holes stay holes), flushed.
bool restore_from(hv_handle copy, hv_handle file, int64_t size, uint8_t *buf) {
    if (!hv_os->set_size(file, 0) || !hv_os->set_size(file, size)) return false;
    bool ok = hv_for_each_data_run(copy, size, buf, kChunk, [&](int64_t at, const uint8_t *p, std::size_t n) {
        std::size_t wrote = 0;
        for (std::size_t done = 0; done < n; done += wrote)
            if (!hv_os->write_at(file, at + static_cast<int64_t>(done), p + done, n - done, &wrote) || wrote == 0)
                return false;
        return true;
    });
    return ok && hv_os->flush(file);
}

}  // namespace

namespace {

// ---- The open's look at the file ------------------------------------------

struct recovery {
    const char *path;  // as the host gave it
    const char *real;
    hv_path_info file;
    int64_t file_size;
    bool rw;
    char *notice;
    std::size_t cap;
    hv_handle locked;  // read-only, on the file, its save lock held
    bool kept_a_journal = false;
};

hv_recovery leave_alone(recovery &rc, const char *jpath, const char *reason) {
    char text[HV_ERR_SIZE];
    hv_format(text, sizeof text, "journal left alone: %s is not valid for this file (%s)", jpath, reason);
    add_notice(rc.notice, rc.cap, text);
    rc.kept_a_journal = true;
    return hv_recovery::left_alone;
}

// The file by its resolved name for writing, when it is still the one locked.
hv_handle open_the_file(const recovery &rc) {
    hv_handle h = hv_os->open_existing_rw(rc.real);
    hv_path_info info{};
    if (h != HV_NO_HANDLE && (!hv_os->handle_info(h, &info) || !hv_same_file(info, rc.file))) {
        hv_os->close(h);
        return HV_NO_HANDLE;
    }
    return h;
}

// The journal's work is done: it goes (a journal that stays is harmless:
// applying it again finds the same bytes). Adds the notice.
void finish(recovery &rc, found_journal &j, const char *done_text) {
    char text[HV_ERR_SIZE];
    if (!hv_retire_journal(j.handle, j.jpath)) {
        hv_format(text, sizeof text, "%s (the journal could not be removed: win error %lu)", done_text,
                       hv_os->last_error());
        add_notice(rc.notice, rc.cap, text);
        return;
    }
    add_notice(rc.notice, rc.cap, done_text);
}

hv_recovery roll_back_patch(recovery &rc, found_journal &j) {
    hv_handle_closer file{open_the_file(rc)};
    if (file.h == HV_NO_HANDLE || !roll_back(j, file.h)) {
        hv_err("cannot roll back the interrupted save of %s from %s (win error %lu)", rc.path, j.jpath,
               hv_os->last_error());
        return hv_recovery::failed;
    }
    char text[HV_ERR_SIZE];
    hv_format(text, sizeof text,
                   "rolled back an interrupted save of %s from %s: the file is as it was before that save%s", rc.path,
                   j.jpath,
                   j.header.version == 1
                       ? " (a journal of an older format: it could not be checked against the file's content)"
                       : "");
    finish(rc, j, text);
    return hv_recovery::rolled_back;
}

hv_recovery restore_rewrite(recovery &rc, found_journal &j, hv_handle_closer &copy, uint8_t *buf) {
    hv_handle_closer file{open_the_file(rc)};
    if (file.h == HV_NO_HANDLE || !restore_from(copy.h, file.h, static_cast<int64_t>(j.header.size), buf)) {
        hv_err("cannot finish the interrupted save of %s from %s (win error %lu)", rc.path, j.jpath,
               hv_os->last_error());
        return hv_recovery::failed;
    }
    copy.close();
    char copy_path[kPathRoom], text[HV_ERR_SIZE];
    copy_path_of(j, copy_path, sizeof copy_path);
    hv_format(text, sizeof text,
                   "finished an interrupted save of %s from its copy %s: the file holds the content that save wrote",
                   rc.path, copy_path);
    finish(rc, j, text);
    hv_os->remove_file(copy_path);  // nothing refers to it any more
    return hv_recovery::restored;
}

hv_recovery act_on(recovery &rc, found_journal &j) {
    bool unreadable = false;
    const char *fault = examine(j, rc.file, rc.file_size, &unreadable);
    if (fault && j.length == 0 && std::strcmp(fault, "truncated") == 0) {
        // Ours and empty: what a save leaves that was stopped as it removed
        // its journal, after it emptied it. It holds nothing to act on.
        j.handle.close();
        if (rc.rw) hv_os->remove_file(j.jpath);
        return hv_recovery::none;
    }
    if (unreadable) {
        char text[HV_ERR_SIZE];
        hv_format(text, sizeof text, "journal left alone: %s cannot be read (win error %lu)", j.jpath,
                       hv_os->last_error());
        add_notice(rc.notice, rc.cap, text);
        rc.kept_a_journal = true;
        return hv_recovery::left_alone;
    }
    if (fault) return leave_alone(rc, j.jpath, fault);
    bool restore = j.header.kind == kKindRestore;
    if (!restore && j.header.version == 2)
        if (const char *stale = content_fault(j, rc.locked)) return leave_alone(rc, j.jpath, stale);
    hv_heap_bytes buf;
    hv_handle_closer copy;
    if (restore) {
        if (!(buf.p = static_cast<uint8_t *>(hv_malloc(kChunk)))) {
            hv_err("out of memory");
            return hv_recovery::failed;
        }
        if (const char *fault_of_rewrite = rewrite_fault(j, copy, rc.locked, rc.file_size, buf.p))
            return leave_alone(rc, j.jpath, fault_of_rewrite);
    }
    if (!rc.rw) {
        hv_err("%s has the journal of an interrupted save: %s - a read-write open %s", rc.path, j.jpath,
               restore ? "finishes it" : "rolls it back");
        return hv_recovery::refused;
    }
    return restore ? restore_rewrite(rc, j, copy, buf.p) : roll_back_patch(rc, j);
}

bool exists(const char *path) {
    hv_path_info info{};
    return hv_os->path_info(path, &info) && info.kind != HV_PATH_MISSING;
}

// Files of the kinds a save makes that no living process holds: garbage,
// but for a copy a journal left alone may still name.
void remove_abandoned(const hv_journal_place &place, bool copies_too) {
    uint32_t kinds = hv_temp_kind_bit(HV_TEMP_SAVE) | (copies_too ? hv_temp_kind_bit(HV_TEMP_COPY) : 0);
    hv_os->remove_temps_beside(place.base, kinds);
    hv_os->remove_temps_beside(place.journal, hv_temp_kind_bit(HV_TEMP_JOURNAL));
}

hv_recovery stronger(hv_recovery a, hv_recovery b) {
    if (a == hv_recovery::none) return b;
    if (b == hv_recovery::none || b == hv_recovery::left_alone) return a;
    return b;
}

}  // namespace

hv_recovery hv_journal_recover(const char *path, bool rw, char *notice, std::size_t cap) {
    char real[kPathRoom];
    hv_path_info file{};
    if (!hv_os->resolve_link(path, real, sizeof real) || !hv_os->path_info(real, &file) ||
        file.kind != HV_PATH_REGULAR)
        return hv_recovery::none;  // the open itself says what is wrong
    hv_journal_place beside{}, per_user{};
    bool have_beside = hv_journal_beside(real, beside);
    bool have_per_user = hv_journal_per_user(file, false, per_user);
    bool journal_beside = have_beside && exists(beside.journal);
    bool journal_per_user = have_per_user && exists(per_user.journal);
    bool any = journal_beside || journal_per_user;
    if (!any && !rw) return hv_recovery::none;  // nothing to look at, nothing to clean
    hv_save_lock lock;
    hv_lock_state state = lock.take(real, &file, any ? HV_LOCK_WAIT_MS : 0);
    if (state == hv_lock_state::held && any) {
        hv_err("another process is saving %s - open it again when that save has ended", path);
        return hv_recovery::busy;
    }
    if (state != hv_lock_state::locked) return hv_recovery::none;  // a save is under way: its files are in use
    // Under the lock, look again: a save that ended or was killed meanwhile
    // changed what is there.
    journal_beside = have_beside && exists(beside.journal);
    journal_per_user = have_per_user && exists(per_user.journal);
    int64_t size = -1;
    if (!hv_os->file_size(lock.handle(), &size)) return hv_recovery::none;
    recovery rc{path, real, lock.file(), size, rw, notice, cap, lock.handle()};
    hv_recovery result = hv_recovery::none;
    for (int i = 0; i < 2; i++) {
        const hv_journal_place &place = i == 0 ? beside : per_user;
        if (!(i == 0 ? journal_beside : journal_per_user)) continue;
        found_journal j;
        std::snprintf(j.jpath, sizeof j.jpath, "%s", place.journal);
        hv_recovery r = act_on(rc, j);
        if (r == hv_recovery::refused || r == hv_recovery::failed) return r;
        result = stronger(result, r);
    }
    if (rw) {
        if (have_beside) remove_abandoned(beside, !rc.kept_a_journal);
        if (have_per_user) remove_abandoned(per_user, !rc.kept_a_journal);
    }
    return result;
}

int hv_open_recovering(const char *path, int32_t rw) {
    hv_release();
    char notice[HV_ERR_SIZE] = "";
    hv_recovery found = hv_journal_recover(path, rw != 0, notice, sizeof notice);
    if (found == hv_recovery::refused || found == hv_recovery::failed || found == hv_recovery::busy) return -1;
    return hv_map(path, rw, notice);
}
