// Drives the public functions with a sequence of operations decoded from the
// input and checks each result against a plain model (ops_model.h): pages in
// every mode, the size rule, the staged listing, search hits and their fields,
// compare runs, the reports and the error text after every step. Saves run
// with faults injected through the OS table (a refused temp file, failing
// create, write, flush or rename, a wrong size read back), so the failure
// paths and the state they leave are checked too. At the end the content is
// read back whole through pages and a save-as, and every file descriptor and
// mapping the engine opened must be closed. Another program may shrink the
// open file: a call that meets the lost pages fails with the message, and
// from then on every call that reads the file does.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/alloc.h"
#include "fuzz_support.h"
#include "json_check.h"
#include "ops_model.h"
#include "platform/os.h"
#include "quillmar_hexview.h"

namespace {

// ---- Files ----------------------------------------------------------------

struct fuzz_files {
    std::string ops = fuzz_path("ops.bin");
    std::string sym = fuzz_path("sym.bin");    // a symbolic link to ops.bin
    std::string loop = fuzz_path("loop.bin");  // a symbolic link to itself
    std::string saved = fuzz_path("saved.bin");
    std::string hard = fuzz_path("hard.bin");  // a second name of ops.bin, at times
    std::string other = fuzz_path("other.bin");
    std::string folder = fuzz_path("folder.d");
    std::string missing = fuzz_path("nowhere/x.bin");
    std::string final_copy = fuzz_path("final.bin");
};

const fuzz_files &files() {
    static const fuzz_files f;
    return f;
}

void reset_files(const std::string &content) {
    const fuzz_files &f = files();
    fuzz_write_file(f.ops, content);
    for (const std::string *p : {&f.saved, &f.hard, &f.other, &f.final_copy, &f.sym, &f.loop}) ::unlink(p->c_str());
    FUZZ_CHECK(::symlink("ops.bin", f.sym.c_str()) == 0);
    FUZZ_CHECK(::symlink("loop.bin", f.loop.c_str()) == 0);
    ::mkdir(f.folder.c_str(), 0700);
}

// Temp files and journals of a save never outlive it.
void check_no_temp_files() {
    DIR *d = ::opendir(fuzz_dir().c_str());
    FUZZ_CHECK(d != nullptr);
    while (dirent *e = ::readdir(d)) {
        FUZZ_CHECK(std::strstr(e->d_name, ".hxsave-") == nullptr);
        FUZZ_CHECK(std::strstr(e->d_name, ".hexview-journal") == nullptr);
    }
    ::closedir(d);
}

// ---- Faults for saves -----------------------------------------------------

save_fault g_fault;
bool g_injected = false;  // the last failing call was an injected one
constexpr unsigned long kInjectedCode = 5;

hv_fs_result faulty_create_temp(const char *path, hv_temp_kind kind, hv_handle *h, char *temp, std::size_t cap) {
    g_injected = true;
    if (g_fault.temp_refused) return HV_FS_NOT_ALLOWED;
    if (g_fault.kind == save_fault_kind::create) return HV_FS_FAILED;
    g_injected = false;
    return hv_os_native.create_temp_beside(path, kind, h, temp, cap);
}

hv_handle faulty_create_for_write(const char *path) {
    g_injected = g_fault.kind == save_fault_kind::create;
    return g_injected ? HV_NO_HANDLE : hv_os_native.create_for_write(path);
}

bool faulty_write(hv_handle h, const uint8_t *data, std::size_t n, std::size_t *written) {
    if (g_fault.kind != save_fault_kind::write) return hv_os_native.write(h, data, n, written);
    g_injected = true;
    *written = 0;
    return false;
}

bool faulty_flush(hv_handle h) {
    g_injected = g_fault.kind == save_fault_kind::flush;
    return !g_injected && hv_os_native.flush(h);
}

bool faulty_file_size(hv_handle h, int64_t *size) {
    bool ok = hv_os_native.file_size(h, size);
    if (ok && g_fault.kind == save_fault_kind::size) *size += 1;
    return ok;
}

hv_fs_result faulty_replace(const char *from, const char *to) {
    g_injected = g_fault.kind == save_fault_kind::replace;
    return g_injected ? HV_FS_FAILED : hv_os_native.replace_file(from, to);
}

unsigned long faulty_last_error() { return g_injected ? kInjectedCode : hv_os_native.last_error(); }

const hv_os_table &faulty_os() {
    static const hv_os_table table = [] {
        hv_os_table t = hv_os_native;
        t.create_temp_beside = faulty_create_temp;
        t.create_for_write = faulty_create_for_write;
        t.write = faulty_write;
        t.flush = faulty_flush;
        t.file_size = faulty_file_size;
        t.replace_file = faulty_replace;
        t.last_error = faulty_last_error;
        return t;
    }();
    return table;
}

// ---- Input decoding -------------------------------------------------------

// A C text from the input: it ends at the first NUL, as the engine sees it.
std::string c_text(input_reader &in, size_t max) {
    std::string t = in.take(static_cast<size_t>(in.range(0, static_cast<int64_t>(max))));
    return t.substr(0, t.find('\0'));
}

int64_t content_size(const model &m) { return std::max<int64_t>(model_size(m), 0); }

int64_t pick_offset(input_reader &in, int64_t size) {
    switch (in.pick(10)) {
    case 0: return -in.range(1, 5);
    case 1: return INT64_MAX - in.range(0, 40);
    case 2: return INT64_MAX / 2;
    case 3: return size;
    default: return in.below(std::min<int64_t>(size, 1 << 30) + 41, 3);
    }
}

// Edit bytes as hex text in mixed case with any separators, or one of the
// texts the parser refuses.
std::optional<std::string> edit_text(input_reader &in) {
    static const char *seps[] = {"", " ", ",", ":", "\t", " ,"};
    int form = in.pick(16);
    if (form == 0) return std::nullopt;
    if (form == 1) return std::string();
    if (form == 2) return std::string(" ,:\t");
    int n = static_cast<int>(in.flag() ? in.range(1, 20) : in.range(1, 300));
    std::string t;
    for (int i = 0; i < n; i++) {
        uint8_t b = in.byte();
        char item[3];
        std::snprintf(item, sizeof item, in.flag() ? "%02x" : "%02X", b);
        t += item;
        t += seps[in.pick(6)];
    }
    size_t at = static_cast<size_t>(in.below(static_cast<int64_t>(t.size()) + 1, 2));
    if (form == 3) t.insert(at, "??");
    if (form == 4) t += "a";
    if (form == 5) t.insert(at, 1, static_cast<char>(in.byte() | 1));
    return t;
}

void check_state(const model &m) {
    FUZZ_EQ(hx_file_size(), model_size(m));
    FUZZ_EQ(std::string(hx_last_error()), m.err);
}

void check_json(const std::string &text) {
    if (!text.empty() && !json_checker(text).valid()) fuzz_fail("valid JSON", __FILE__, __LINE__, text);
}

// After another program shrank the open file, a call may meet the lost
// pages or not. When it failed with the message, the model goes back to
// where it was before the call, learns that the loss was noticed (the call
// had built the content first, as the engine does), and predicts the call
// again: `predict` runs once more and its answer is the one to check.
template <class Predict>
auto noticed_shrink(model &m, const model &before, Predict predict, decltype(predict()) &want) {
    if (!before.shrink_pending || before.shrink_noticed || std::string(hx_last_error()) != model_shrank_message(before))
        return false;
    m = before;
    m.shrink_noticed = true;
    if (!m.edits.empty() && m.stale) model_materialize(m);
    want = predict();
    return true;
}

// ---- Operations -----------------------------------------------------------

void op_open(input_reader &in, model &m) {
    const fuzz_files &f = files();
    const std::string *targets[] = {&f.ops, &f.sym, &f.saved, &f.missing, nullptr, &f.loop, &f.folder};
    int which = in.pick(7);
    bool rw = in.flag();
    if (!targets[which]) {
        FUZZ_EQ(rw ? hx_open_rw(nullptr) : hx_open(nullptr), -1);
        model_set_err(m, "NULL path");  // the open file stays as it was
        return;
    }
    const std::string &path = *targets[which];
    int want = model_open(m, path, rw);
    FUZZ_EQ(rw ? hx_open_rw(path.c_str()) : hx_open(path.c_str()), want);
}

void op_page(input_reader &in, model &m) {
    int kind = in.pick(5);
    int64_t offset = pick_offset(in, content_size(m));
    if (offset < 0 && in.flag()) offset = INT64_MIN;
    int32_t rows;
    switch (in.pick(4)) {
    case 0: rows = static_cast<int32_t>(in.range(-3, 0)); break;
    case 1: rows = static_cast<int32_t>(in.range(990, 1010)); break;
    default: rows = static_cast<int32_t>(in.range(1, 40)); break;
    }
    static const char *modes[] = {nullptr, "raw", "RAW", "hex"};
    bool text_rows = kind == 4;
    const char *mode = text_rows ? nullptr : modes[kind];
    model before = m;
    auto predict = [&] { return model_page(m, offset, rows, mode, text_rows); };
    std::string want = predict();
    std::string got = text_rows ? hx_ascii_only(offset, rows) : hx_page(offset, rows, mode);
    noticed_shrink(m, before, predict, want);
    FUZZ_EQ(got, want);
    check_json(got);
}

void op_stage(input_reader &in, model &m, int kind) {
    int64_t offset = pick_offset(in, content_size(m));
    if (kind == 2) {
        int64_t len;
        switch (in.pick(8)) {
        case 0: len = INT64_MAX - in.range(0, 3); break;
        case 1: len = -in.range(1, 3); break;
        default: len = in.range(0, 40); break;
        }
        int want = model_delete(m, offset, len);
        FUZZ_EQ(hx_delete(offset, len), want);
        return;
    }
    std::optional<std::string> text = edit_text(in);
    const char *t = text ? text->c_str() : nullptr;
    int want = model_stage_hex(m, kind, t, offset);
    FUZZ_EQ(kind == 0 ? hx_write(t, offset) : hx_insert(t, offset), want);
}

// Many edits at once: the array grows through all its sizes and meets the cap.
void op_bulk_stage(input_reader &in, model &m) {
    int n = static_cast<int>(in.range(1, 1100));
    bool inserts = in.flag();
    int64_t size = content_size(m);
    for (int i = 0; i < n; i++) {
        int64_t offset = (size + 1) * i / n;
        int want = inserts ? model_stage_hex(m, 1, "5a", offset) : model_delete(m, offset, 0);
        FUZZ_EQ(inserts ? hx_insert("5a", offset) : hx_delete(offset, 0), want);
    }
}

void op_staged(model &m) {
    std::string want = model_staged_json(m);
    std::string got = hx_staged_json();
    FUZZ_EQ(got, want);
    check_json(got);
}

void op_save(input_reader &in, model &m) {
    const fuzz_files &f = files();
    const std::optional<std::string> targets[] = {
        std::nullopt, "", m.name.empty() ? f.ops : m.name, f.sym, f.saved, f.folder, f.missing, f.ops, f.loop};
    const std::optional<std::string> &chosen = targets[in.pick(9)];
    const char *path = chosen ? chosen->c_str() : nullptr;
    save_fault fault;
    if (in.pick(3) == 0) {
        fault.temp_refused = in.flag();
        fault.kind = static_cast<save_fault_kind>(in.pick(6));
    }
    std::string target = path && *path ? path : m.name;
    struct stat st;
    bool was_file = !target.empty() && ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    // The model does not know yet the saves that write the open file in place
    // behind a copy and a journal in the state folder (a second name of it),
    // that go to it by another name, or that are refused for want of a place
    // for their journal: those are left to the engine's own save tests.
    struct stat open_file;
    bool several_names = !m.name.empty() && ::stat(m.name.c_str(), &open_file) == 0 && open_file.st_nlink > 1;
    bool another_name = was_file && !m.name.empty() && ::stat(m.name.c_str(), &open_file) == 0 &&
                        st.st_dev == open_file.st_dev && st.st_ino == open_file.st_ino && path && *path;
    if (several_names || another_name || fault.temp_refused) return;
    bytes before = was_file ? fuzz_read_file(target) : bytes{};

    model prior = m;
    auto predict = [&] { return model_save(m, path, fault); };
    save_prediction want = predict();
    g_fault = fault;
    g_injected = false;
    hv_os = &faulty_os();
    int got = hx_save(path);
    hv_os = &hv_os_native;
    noticed_shrink(m, prior, predict, want);
    if (want.reopen) {
        // A save that is done but cannot open the file again says so.
        std::string name = m.name;
        want.result = model_open(m, name, m.rw);
        if (want.result != 0) model_set_err(m, "saved " + name + ", but it could not be opened again: " + m.err);
    }
    FUZZ_EQ(got, want.result);
    check_no_temp_files();
    if (want.real.empty()) return;  // nothing was written
    switch (want.target) {
    case target_after::untouched:
        if (was_file) FUZZ_CHECK(fuzz_read_file(want.real) == before);
        break;
    case target_after::emptied: FUZZ_CHECK(fuzz_read_file(want.real).empty()); break;
    case target_after::content: FUZZ_CHECK(fuzz_read_file(want.real) == want.content); break;
    }
}

// Hex patterns are often cut from the file itself, with some bytes made
// wildcards, so that they hit; the others come from the input.
std::string hex_pattern(input_reader &in, const model &m) {
    switch (in.pick(5)) {
    case 0: return c_text(in, 200);
    case 1: {
        std::string t;
        int64_t n = in.range(4090, 4100);
        for (int64_t i = 0; i < n; i++) t += in.flag() ? "??" : "41";
        return t;
    }
    default: break;
    }
    bytes from = m.disk;
    if (from.empty()) from = {0x00};
    size_t at = static_cast<size_t>(in.below(static_cast<int64_t>(from.size()), 3));
    size_t n = static_cast<size_t>(in.range(1, 70));
    std::string t = in.flag() ? "" : " ";
    for (size_t i = at; i < from.size() && i < at + n; i++) {
        t += in.pick(6) == 0 ? "??" : lower_hex(&from[i], 1);
        if (in.flag()) t += ' ';
    }
    return t;
}

std::string text_pattern(input_reader &in, const model &m, bool utf16) {
    switch (in.pick(5)) {
    case 0: return c_text(in, 64);
    case 1: return std::string(static_cast<size_t>(utf16 ? in.range(2046, 2050) : in.range(4094, 4098)), 'a');
    default: break;
    }
    if (m.disk.empty()) return "a";
    size_t at = static_cast<size_t>(in.below(static_cast<int64_t>(m.disk.size()), 3));
    std::string t;
    // A utf16 pattern takes every other byte, so it hits text stored as UTF-16LE.
    for (size_t i = at; i < m.disk.size() && t.size() < 40; i += utf16 ? 2 : 1) t += static_cast<char>(m.disk[i]);
    t = t.substr(0, static_cast<size_t>(in.range(1, 40)));
    return t.substr(0, t.find('\0'));
}

void op_search(input_reader &in, model &m) {
    std::string mode, pattern;
    bool null_mode = false, null_pattern = false;
    switch (in.pick(8)) {
    case 0:
    case 1:
    case 2: mode = "hex"; pattern = hex_pattern(in, m); break;
    case 3:
    case 4: mode = "ascii"; pattern = text_pattern(in, m, false); break;
    case 5: mode = "utf16"; pattern = text_pattern(in, m, true); break;
    case 6: mode = in.flag() ? "HEX" : c_text(in, 6); pattern = "41"; break;
    default:
        mode = "ascii";
        pattern = "a";
        (in.flag() ? null_mode : null_pattern) = true;
        break;
    }
    int64_t start;
    switch (in.pick(6)) {
    case 0: start = -in.range(1, 1000); break;
    case 1: start = INT64_MAX; break;
    case 2: start = m.file_size() - in.range(0, 80); break;
    default: start = in.below(m.file_size() + 6, 3); break;
    }
    const char *mp = null_mode ? nullptr : mode.c_str();
    const char *pp = null_pattern ? nullptr : pattern.c_str();
    model prior = m;
    auto predict = [&] { return model_search(m, mp, pp, start); };
    int want = predict();
    int got = hx_search(mp, pp, start);
    noticed_shrink(m, prior, predict, want);
    FUZZ_EQ(got, want);
    FUZZ_EQ(hx_search_count(), model_search_count(m));
    FUZZ_EQ(hx_search_last(), model_search_last(m));
}

void op_hit_queries(input_reader &in, model &m) {
    static const char *fields[] = {"offset", "context_hex", "context_ascii", "Offset", nullptr, ""};
    int n = static_cast<int>(in.range(1, 4));
    for (int q = 0; q < n; q++) {
        switch (in.pick(5)) {
        case 0: {
            int64_t want = model_search_next(m);
            FUZZ_EQ(hx_search_next(), want);
            break;
        }
        case 1: FUZZ_EQ(hx_search_last(), model_search_last(m)); break;
        case 2: {
            int32_t want = model_search_count(m);
            FUZZ_EQ(hx_search_count(), want);
            break;
        }
        case 3: {
            // The walk over every stored hit, then past them.
            for (int64_t k = 0; k <= static_cast<int64_t>(m.hits.size()) + 1; k++) {
                int64_t want = model_search_next(m);
                FUZZ_EQ(hx_search_next(), want);
            }
            break;
        }
        default: {
            int64_t stored = static_cast<int64_t>(m.hits.size());
            int32_t index;
            switch (in.pick(4)) {
            case 0: index = static_cast<int32_t>(-in.range(1, 3)); break;
            case 1: index = static_cast<int32_t>(stored + in.range(0, 2)); break;
            default: index = static_cast<int32_t>(in.below(std::max<int64_t>(stored, 1), 2)); break;
            }
            const char *field = fields[in.pick(6)];
            model prior = m;
            auto predict = [&] { return model_search_field(m, index, field); };
            std::string want = predict();
            std::string got = hx_search_field(index, field);
            noticed_shrink(m, prior, predict, want);
            FUZZ_EQ(got, want);
            check_json("\"" + got + "\"");
            break;
        }
        }
    }
}

// A file like the open one with stretches changed, cut or extended.
std::string mutated_disk(input_reader &in, const model &m) {
    std::string s(m.disk.begin(), m.disk.end());
    int changes = in.pick(6);
    for (int i = 0; i < changes; i++) {
        size_t at = static_cast<size_t>(in.below(static_cast<int64_t>(s.size()) + 1, 3));
        size_t n = static_cast<size_t>(in.range(0, 150));
        switch (in.pick(3)) {
        case 0:
            for (size_t k = at; k < s.size() && k < at + n; k++) s[k] = static_cast<char>(s[k] ^ 0x5a);
            break;
        case 1: s.resize(std::min(s.size(), at)); break;
        default: s.append(n, static_cast<char>(in.byte())); break;
        }
    }
    return s;
}

void op_compare(input_reader &in, model &m) {
    const fuzz_files &f = files();
    const char *path = f.other.c_str();
    switch (in.pick(10)) {
    case 0: path = nullptr; break;
    case 9: path = f.loop.c_str(); break;
    case 1: path = f.missing.c_str(); break;
    case 2: path = f.folder.c_str(); break;
    case 3: path = f.ops.c_str(); break;
    case 4: path = f.saved.c_str(); break;
    case 5: fuzz_write_file(f.other, fuzz_content(in, 1 << 15)); break;
    default: fuzz_write_file(f.other, mutated_disk(in, m)); break;
    }
    model prior = m;
    auto predict = [&] { return model_compare(m, path); };
    int want = predict();
    int got = hx_compare(path);
    noticed_shrink(m, prior, predict, want);
    FUZZ_EQ(got, want);
    int count = model_compare_count(m);
    FUZZ_EQ(hx_compare_count(), count);
    static const char *fields[] = {"offset", "this_hex", "other_hex"};
    for (int i = -1; i <= count; i++) {
        if (i > 40 && i < count - 3) continue;  // the first runs and the last few
        for (const char *field : fields) {
            std::string expected = model_compare_field(m, i, field);
            FUZZ_EQ(std::string(hx_compare_field(i, field)), expected);
        }
    }
    const char *odd = in.flag() ? nullptr : "OFFSET";
    std::string expected = model_compare_field(m, 0, odd);
    FUZZ_EQ(std::string(hx_compare_field(0, odd)), expected);
}

// One text call checked against its prediction, which may meet a shrunk file.
template <class Predict, class Call>
void check_text_call(model &m, Predict predict, Call call) {
    model prior = m;
    std::string want = predict();
    std::string got = call();
    noticed_shrink(m, prior, predict, want);
    FUZZ_EQ(got, want);
    check_json(got);
}

void op_reports(model &m) {
    check_text_call(m, [&] { return model_info_json(m); }, [] { return std::string(hx_info_json()); });
    check_text_call(m, [&] { return model_entropy_json(m); }, [] { return std::string(hx_entropy_json()); });
}

// One call with every allocation of the engine failing: each fails cleanly,
// with its message, and leaves the state it promises (and nothing leaked).
void *no_malloc(std::size_t) { return nullptr; }
void *no_realloc(void *, std::size_t) { return nullptr; }
const hv_alloc_table kNoMemory = {no_malloc, no_realloc, std::free};

void op_out_of_memory(input_reader &in, model &m) {
    int call = in.pick(6);
    m.out_of_memory = true;
    hv_alloc = &kNoMemory;
    switch (call) {
    case 0: op_open(in, m); break;
    case 1: op_stage(in, m, in.pick(3)); break;
    case 2: op_page(in, m); break;
    case 3: op_save(in, m); break;
    case 4: op_compare(in, m); break;
    default: op_search(in, m); break;
    }
    hv_alloc = &hv_alloc_native;
    m.out_of_memory = false;
}

// Another program shrinks the open file to a whole number of pages (so no
// page is left half, whose end would read as zeros without a fault). The
// view still shows the old bytes of the pages that are left.
void op_shrink(input_reader &in, model &m) {
    static const int64_t page = ::sysconf(_SC_PAGESIZE);
    if (!m.has_view()) return;
    int64_t pages = (m.file_size() + page - 1) / page;
    int64_t keep = page * in.below(pages, 1);
    FUZZ_CHECK(::truncate(m.name.c_str(), static_cast<off_t>(keep)) == 0);
    m.shrink_pending = true;
}

// A second name for ops.bin, so a save can no longer rename over it.
void op_toggle_hard_link() {
    const fuzz_files &f = files();
    if (::unlink(f.hard.c_str()) != 0) ::link(f.ops.c_str(), f.hard.c_str());
}

// Text results on a thread of their own: its buffers and error text are its
// own and are freed when it ends (the leak checker sees any that is not).
void op_thread(model &m) {
    if (m.shrink_pending && !m.shrink_noticed) return;  // which call meets the loss is the thread's
    std::string saved_err = m.err;
    std::string page = model_page(m, 0, 3, nullptr, false);
    std::string staged = model_staged_json(m);
    std::string info = model_info_json(m);
    std::string profile = model_entropy_json(m);
    std::string field = model_search_field(m, 0, "context_ascii");
    std::string diff = model_compare_field(m, 0, "other_hex");
    m.err = saved_err;  // the thread's failures land in the thread's own error text
    std::thread t([&] {
        FUZZ_EQ(std::string(hx_last_error()), std::string(""));
        FUZZ_EQ(std::string(hx_page(0, 3, nullptr)), page);
        FUZZ_EQ(std::string(hx_staged_json()), staged);
        FUZZ_EQ(std::string(hx_info_json()), info);
        FUZZ_EQ(std::string(hx_entropy_json()), profile);
        FUZZ_EQ(std::string(hx_search_field(0, "context_ascii")), field);
        FUZZ_EQ(std::string(hx_compare_field(0, "other_hex")), diff);
        FUZZ_EQ(hx_open(nullptr), -1);
        FUZZ_EQ(std::string(hx_last_error()), std::string("NULL path"));
    });
    t.join();
}

// The whole content through raw pages of 1000 rows, then through a save-as.
void final_check(model &m) {
    if (!m.open) return;
    int64_t size = std::min<int64_t>(model_size(m), 1 << 22);
    for (int64_t off = 0; off <= size; off += 16000)
        check_text_call(m, [&] { return model_page(m, off, 1000, "raw", false); },
                        [&] { return std::string(hx_page(off, 1000, "raw")); });
    model prior = m;
    auto predict = [&] { return model_save(m, files().final_copy.c_str(), save_fault{}); };
    save_prediction want = predict();
    int got = hx_save(files().final_copy.c_str());
    noticed_shrink(m, prior, predict, want);
    FUZZ_EQ(got, want.result);
    if (want.reopen) FUZZ_EQ(model_open(m, std::string(m.name), m.rw), 0);
    if (want.result == 0) FUZZ_CHECK(fuzz_read_file(files().final_copy) == want.content);
    check_state(m);
}

// The search and compare tables outlive every close: bring them to a known
// state (no hits, no runs) before each input.
void reset_tables() {
    FUZZ_EQ(hx_open(files().ops.c_str()), 0);
    FUZZ_EQ(hx_search("none", "41", 0), -1);
    FUZZ_EQ(hx_compare(nullptr), -1);
    hx_close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input_reader in(data, size);
    hx_close();
    reset_files(fuzz_content(in, 1 << 16));
    reset_tables();
    const int fds = fuzz_open_fds();
    model m;
    check_state(m);

    static const bool trace = std::getenv("FUZZ_TRACE") != nullptr;  // prints each step, for reading a finding
    for (int step = 0; step < 48 && !in.empty(); step++) {
        int op = in.pick(20);
        if (trace)
            std::fprintf(stderr, "step %d: op %d, open %d, edits %zu, size %lld, hits %lld, runs %zu, error \"%s\"\n",
                         step, op, m.open, m.edits.size(), static_cast<long long>(model_size(m)),
                         static_cast<long long>(m.n_hits), m.runs.size(), m.err.c_str());
        switch (op) {
        case 0:
        case 1: op_open(in, m); break;
        case 2:
            hx_close();
            model_release(m);
            break;
        case 3:
        case 4: op_page(in, m); break;
        case 5: op_stage(in, m, 0); break;
        case 6: op_stage(in, m, 1); break;
        case 7: op_stage(in, m, 2); break;
        case 8: op_staged(m); break;
        case 9: FUZZ_EQ(hx_discard(), model_discard(m)); break;
        case 10: op_save(in, m); break;
        case 11: op_search(in, m); break;
        case 12: op_hit_queries(in, m); break;
        case 13: op_compare(in, m); break;
        case 14: op_reports(m); break;
        case 15: op_bulk_stage(in, m); break;
        case 16: op_toggle_hard_link(); break;
        case 17: op_thread(m); break;
        case 19: op_shrink(in, m); break;
        default: op_out_of_memory(in, m); break;
        }
        check_state(m);
    }
    final_check(m);
    hx_close();
    FUZZ_EQ(fuzz_open_fds(), fds);
    FUZZ_EQ(fuzz_mapped_files(), 0);
    return 0;
}
