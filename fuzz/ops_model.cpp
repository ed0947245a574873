#include "ops_model.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

constexpr int kEIO = 5;  // the code the injected faults report
constexpr size_t kMaxEdits = 1000;
constexpr size_t kMaxHits = 10000;
constexpr size_t kMaxRuns = 10000;

const char *kUnavailable = "file content unavailable after a failed save - save again or reopen the file";

bool printable(uint8_t b) { return b >= 0x20 && b <= 0x7e; }

void append_escaped(std::string &s, uint8_t b) {
    if (b == '"' || b == '\\') s += '\\';
    s += static_cast<char>(b);
}

std::string list_of(const std::vector<std::string> &elements) {
    std::string s = "[";
    for (size_t i = 0; i < elements.size(); i++) s += (i ? ", " : "") + elements[i];
    return s + "]";
}

bool require_open(model &m) {
    if (m.open) return true;
    model_set_err(m, "no file open");
    return false;
}

struct stat_result {
    bool exists = false;
    bool loop = false;  // a chain of symbolic links that never ends (ELOOP)
    bool regular = false;
    nlink_t links = 0;
    dev_t dev = 0;
    ino_t ino = 0;
};

stat_result stat_of(const std::string &path) {
    stat_result r;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        r.loop = errno == ELOOP;
        return r;
    }
    r.exists = true;
    r.regular = S_ISREG(st.st_mode);
    r.links = st.st_nlink;
    r.dev = st.st_dev;
    r.ino = st.st_ino;
    return r;
}

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The path with a symbolic link at its end followed (the fuzzer's links are
// one hop, relative to their folder).
std::string follow_link(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char target[4096];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0) return path;
    target[n] = '\0';
    return target[0] == '/' ? std::string(target) : folder_of(path) + "/" + target;
}

// A failed in-place save released the view: the bytes on disk are not read.
bool content_unavailable(const model &m) { return m.open && !m.disk.empty() && m.view_lost; }

}  // namespace

void model_set_err(model &m, const std::string &message) { m.err = message.substr(0, 1023); }

std::string model_shrank_message(const model &m) { return "file shrank on disk since it was opened: " + m.name; }

namespace {

// A call that reads the file fails once its shrinking was noticed.
bool fails_as_shrunk(model &m) {
    if (!m.shrink_noticed || !m.has_view()) return false;
    model_set_err(m, model_shrank_message(m));
    return true;
}

}  // namespace

void model_release(model &m) {
    m.open = m.rw = false;
    m.name.clear();
    m.disk.clear();
    m.view_lost = false;
    m.shrink_pending = m.shrink_noticed = false;
    m.edits.clear();
    m.heap_copy = m.only_copy_in_memory = false;
    m.cap_edits = 0;
    m.cache.reset();
    m.stale = false;
    m.err.clear();
}

bytes model_apply_edits(const bytes &base, const std::vector<model_edit> &edits) {
    bytes c = base;
    for (const model_edit &e : edits) {
        int64_t L = static_cast<int64_t>(c.size());
        if (e.kind == 0) {
            if (e.offset > L) continue;
            int64_t n = std::min(e.len, L - e.offset);
            for (int64_t i = 0; i < n; i++) c[static_cast<size_t>(e.offset + i)] = e.data[static_cast<size_t>(i)];
        } else if (e.kind == 1) {
            c.insert(c.begin() + std::min(e.offset, L), e.data.begin(), e.data.end());
        } else {
            int64_t p = std::min(e.offset, L), n = std::min(e.len, L - p);
            if (n > 0) c.erase(c.begin() + p, c.begin() + p + n);
        }
    }
    return c;
}

bool model_materialize(model &m) {
    if (m.cache && !m.stale) return true;
    if (content_unavailable(m)) {  // a cache, if any, is kept
        model_set_err(m, kUnavailable);
        return false;
    }
    m.cache.reset();
    if (m.out_of_memory) {
        model_set_err(m, "out of memory materializing logical file");
        return false;
    }
    m.cache = model_apply_edits(m.disk, m.edits);
    m.stale = false;
    return true;
}

int64_t model_size(const model &m) {
    if (!m.open) return -1;
    if (m.cache && !m.stale) return static_cast<int64_t>(m.cache->size());
    __int128 t = m.file_size();
    for (const model_edit &e : m.edits) t += e.kind == 1 ? e.len : e.kind == 2 ? -e.len : 0;
    if (t < 0) return 0;
    if (t > INT64_MAX) return INT64_MAX;
    return static_cast<int64_t>(t);
}

// ---- Opening --------------------------------------------------------------

int model_open(model &m, const std::string &path, bool rw) {
    model_release(m);
    stat_result st = stat_of(path);
    if (st.loop) {  // the links are followed first, once, before anything is kept
        model_set_err(m, "cannot open file: " + path + " (win error 40)");
        return -1;
    }
    if (m.out_of_memory) {  // for the copy of the path
        model_set_err(m, "out of memory");
        return -1;
    }
    int code = 0;
    if (st.exists && !st.regular) code = 21;  // EISDIR: the fuzzer's only other kind is a folder
    else if (st.loop) code = 40;                // ELOOP
    else if (!st.exists && (!rw || !stat_of(folder_of(path)).exists)) code = 2;  // ENOENT
    if (code) {
        model_set_err(m, "cannot open file: " + path + " (win error " + std::to_string(code) + ")");
        return -1;
    }
    m.open = true;
    m.rw = rw;
    m.name = path;
    m.disk = fuzz_read_file(path);
    return 0;
}

// ---- Pages ----------------------------------------------------------------

namespace {

const char kDigits[] = "0123456789abcdef";

void put_hex(std::string &s, uint8_t b) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
}

void put_row_start(std::string &s, uint64_t p) {
    s += "{\"off\":\"0x";
    for (int shift = 60; shift >= 0; shift -= 4) s += kDigits[(p >> shift) & 15];
    s += "\",";
}

void hex_row(std::string &s, uint64_t p, const uint8_t v[16], int content, bool raw) {
    put_row_start(s, p);
    if (raw) {
        s += "\"bytes_hex\":\"";
        for (int k = 0; k < 16; k++) put_hex(s, v[k]);
        s += "\"}";
        return;
    }
    s += "\"hex\":\"";
    for (int k = 0; k < 16; k++) {
        if (k > 0) s += ' ';
        if (k == 8) s += ' ';
        put_hex(s, v[k]);
    }
    s += "\",\"ascii\":\"";
    for (int k = 0; k < 16; k++) {
        if (k < content && printable(v[k])) append_escaped(s, v[k]);
        else s += '.';
    }
    s += "\"}";
}

void text_row(std::string &s, uint64_t p, const uint8_t v[16], int content) {
    put_row_start(s, p);
    s += "\"text\":\"";
    for (int k = 0; k < content; k++)
        if (printable(v[k])) append_escaped(s, v[k]);
    s += "\"}";
}

}  // namespace

std::string model_page(model &m, int64_t offset, int32_t rows, const char *mode, bool text_rows) {
    if (!require_open(m)) return "";
    int32_t n = rows <= 0 ? 64 : rows > 1000 ? 1000 : rows;
    uint64_t start = offset < 0 ? 0 : static_cast<uint64_t>(offset);
    if (!m.edits.empty() && m.stale && !model_materialize(m)) return "";
    if (fails_as_shrunk(m)) return "";
    static const bytes none;
    const bytes &src = m.cache ? *m.cache : m.has_view() ? m.disk : none;
    uint64_t limit = std::min<uint64_t>(static_cast<uint64_t>(model_size(m)), src.size());
    bool raw = mode && std::strcmp(mode, "raw") == 0;
    std::string out = "[";
    out.reserve(140 * static_cast<size_t>(n));
    for (int32_t r = 0; r < n; r++) {
        uint64_t p = start + 16 * static_cast<uint64_t>(r);
        uint8_t v[16];
        int content = 0;
        for (int k = 0; k < 16; k++) {
            uint64_t q = p + k;
            bool inside = q >= p && q < limit;
            v[k] = inside ? src[q] : 0;
            content += inside;
        }
        if (r > 0) out += ", ";
        if (text_rows) text_row(out, p, v, content);
        else hex_row(out, p, v, content, raw);
    }
    return out + "]";
}

// ---- Staging --------------------------------------------------------------

std::string model_staged_json(model &m) {
    if (!require_open(m)) return "";
    std::vector<std::string> out;
    static const char *ops[] = {"write", "insert", "delete"};
    for (const model_edit &e : m.edits) {
        std::string s = std::string("{\"op\":\"") + ops[e.kind] + "\",\"offset\":\"" +
                        format_offset("0x%012llx", static_cast<uint64_t>(e.offset)) +
                        "\",\"len\":" + std::to_string(e.len);
        if (e.kind != 2) s += ",\"bytes\":\"" + lower_hex(e.data.data(), std::min<size_t>(e.data.size(), 64)) + "\"";
        out.push_back(s + "}");
    }
    return list_of(out);
}

namespace {

int stage(model &m, model_edit e) {
    if (!require_open(m)) return -1;
    if (!m.rw) {
        model_set_err(m, "file opened read-only - use hx_open_rw");
        return -1;
    }
    if (e.offset < 0) {
        model_set_err(m, "negative offset");
        return -1;
    }
    if (m.edits.size() >= kMaxEdits) {
        model_set_err(m, "staged edits cap reached (1000)");
        return -1;
    }
    if (content_unavailable(m)) {  // the cached content must stay whole until saved
        model_set_err(m, kUnavailable);
        return -1;
    }
    if (m.edits.size() == m.cap_edits) {  // the array doubles when full
        if (m.out_of_memory) {
            model_set_err(m, "out of memory");
            return -1;
        }
        m.cap_edits = m.edits.empty() ? 64 : 2 * m.edits.size();
    }
    m.edits.push_back(std::move(e));
    m.stale = true;
    return 0;
}

}  // namespace

int model_stage_hex(model &m, int32_t kind, const char *text, int64_t offset) {
    if (!text) {
        model_set_err(m, "NULL hex_bytes");
        return -1;
    }
    parsed_hex p = reference_parse_hex(text);
    if (!p.ok || m.out_of_memory) {  // the parser cannot get its arrays either
        model_set_err(m, std::string("invalid hex bytes: ") + text);
        return -1;
    }
    if (std::find(p.mask.begin(), p.mask.end(), 0) != p.mask.end()) {
        model_set_err(m, "wildcards not allowed in patch bytes");
        return -1;
    }
    int64_t len = static_cast<int64_t>(p.values.size());
    return stage(m, model_edit{kind, offset, std::move(p.values), len});
}

int model_delete(model &m, int64_t offset, int64_t len) {
    if (len < 0) {
        model_set_err(m, "negative length");
        return -1;
    }
    return stage(m, model_edit{2, offset, {}, len});
}

int model_discard(model &m) {
    if (!require_open(m)) return -1;
    if (m.only_copy_in_memory && m.heap_copy) {
        m.only_copy_in_memory = false;
        model_set_err(m, "the edited content exists only in memory after a failed save - save it to another file, "
                         "or discard again to drop it");
        return -1;
    }
    m.edits.clear();
    m.heap_copy = m.only_copy_in_memory = false;
    m.cache.reset();
    m.stale = false;
    return 0;
}

// ---- Search ---------------------------------------------------------------

namespace {

// The pattern's bytes and mask, or a message when it does not compile.
bool compile(model &m, const std::string &mode, const std::string &pattern, bytes &pat, bytes &mask) {
    if (mode == "hex") {
        parsed_hex p = reference_parse_hex(pattern);
        if (!p.ok || m.out_of_memory) {
            model_set_err(m, "invalid hex pattern: " + pattern);
            return false;
        }
        if (p.values.size() > 4096) {
            model_set_err(m, "hex pattern too long");
            return false;
        }
        pat = p.values;
        mask = p.mask;
        return true;
    }
    if (mode == "ascii") {
        if (pattern.empty() || pattern.size() > 4096) {
            model_set_err(m, "empty or too-long ascii pattern");
            return false;
        }
        pat.assign(pattern.begin(), pattern.end());
        mask.assign(pat.size(), 0xff);
        return true;
    }
    if (mode == "utf16") {
        if (pattern.empty() || 2 * pattern.size() > 4096) {
            model_set_err(m, "empty or too-long utf16 pattern");
            return false;
        }
        for (char c : pattern) {
            pat.push_back(static_cast<uint8_t>(c));
            pat.push_back(0);
        }
        mask.assign(pat.size(), 0xff);
        return true;
    }
    model_set_err(m, "unknown search mode: " + mode + " (use hex|ascii|utf16)");
    return false;
}

}  // namespace

int model_search(model &m, const char *mode, const char *pattern, int64_t start) {
    if (!require_open(m)) return -1;
    if (!mode || !pattern) {
        model_set_err(m, "NULL mode/pattern");
        return -1;
    }
    m.n_hits = 0;
    m.cursor = 0;
    m.hits.clear();
    m.last_hit = -1;
    bytes pat, mask;
    if (!compile(m, mode, pattern, pat, mask)) return -1;
    m.patlen = static_cast<int64_t>(pat.size());
    if (!m.has_view()) return 0;
    if (fails_as_shrunk(m)) return -1;
    const int64_t L = m.patlen, size = m.file_size();
    for (int64_t p = std::max<int64_t>(start, 0); p <= size - L;) {
        bool hit = true;
        for (int64_t i = 0; i < L && hit; i++) hit = !mask[i] || m.disk[p + i] == pat[i];
        if (!hit) {
            p++;
            continue;
        }
        if (m.hits.size() < kMaxHits) m.hits.push_back(p);
        m.n_hits++;
        m.last_hit = p;
        p += L;
    }
    return 0;
}

int32_t model_search_count(model &m) {
    if (!require_open(m)) return -1;
    return static_cast<int32_t>(std::min<int64_t>(m.n_hits, INT32_MAX));
}

int64_t model_search_next(model &m) {
    if (!require_open(m)) return -1;
    if (m.cursor >= static_cast<int64_t>(m.hits.size())) return -1;
    return m.hits[static_cast<size_t>(m.cursor++)];
}

int64_t model_search_last(const model &m) { return !m.open || m.n_hits == 0 ? -1 : m.last_hit; }

std::string model_search_field(model &m, int32_t index, const char *field) {
    if (!require_open(m)) return "";
    if (index < 0 || index >= static_cast<int64_t>(m.hits.size())) {
        model_set_err(m, "search index out of range");
        return "";
    }
    if (!field) return "";
    int64_t hit = m.hits[static_cast<size_t>(index)];
    std::string f = field;
    if (f == "offset") return format_offset("0x%016llx", static_cast<uint64_t>(hit));
    if (f != "context_hex" && f != "context_ascii") {
        model_set_err(m, "unknown field: " + f + " (offset|context_hex|context_ascii)");
        return "";
    }
    // 16 bytes before the hit, the hit and 16 after, clipped to the file open now.
    if (fails_as_shrunk(m) || !m.has_view()) return "";
    int64_t lo = std::max<int64_t>(hit - 16, 0);
    int64_t hi = std::min<int64_t>(hit + m.patlen + 16, m.file_size());
    if (lo >= hi) return "";
    const uint8_t *w = m.disk.data() + lo;
    size_t n = static_cast<size_t>(hi - lo);
    if (f == "context_hex") return lower_hex(w, std::min<size_t>(n, 252));
    std::string text;
    for (size_t i = 0; i < n && i < 504; i++) text += printable(w[i]) ? static_cast<char>(w[i]) : '.';
    std::string escaped = reference_json_escape(text, 600);
    // Cut to 511 characters at most, before an escape pair, never inside one.
    size_t cut = 0;
    for (size_t i = 0; i < escaped.size();) {
        size_t step = escaped[i] == '\\' ? 2 : 1;
        if (i + step > 511) break;
        i += step;
        cut = i;
    }
    return escaped.substr(0, cut);
}

// ---- Compare --------------------------------------------------------------

int model_compare(model &m, const char *path) {
    if (!require_open(m)) return -1;
    m.runs.clear();
    if (!path) {
        model_set_err(m, "NULL path");
        return -1;
    }
    if (fails_as_shrunk(m)) return -1;
    stat_result st = stat_of(path);
    if (!st.exists || !st.regular) {
        model_set_err(m, std::string("cannot open compare file: ") + path + " (win error " +
                             (st.exists ? "21" : st.loop ? "40" : "2") + ")");
        return -1;
    }
    bytes other = fuzz_read_file(path);
    const bytes zeros(m.has_view() ? 0 : m.disk.size(), 0);
    const bytes &mine = m.has_view() ? m.disk : zeros;
    size_t total = std::max(mine.size(), other.size());
    for (size_t i = 0; i < total; i++) {
        uint8_t a = i < mine.size() ? mine[i] : 0;
        uint8_t b = i < other.size() ? other[i] : 0;
        if (a == b || m.runs.size() == kMaxRuns) continue;
        if (!m.runs.empty()) {
            model_run &last = m.runs.back();
            if (last.offset + static_cast<int64_t>(last.this_bytes.size()) == static_cast<int64_t>(i) &&
                last.this_bytes.size() < 64) {
                last.this_bytes.push_back(a);
                last.other_bytes.push_back(b);
                continue;
            }
        }
        m.runs.push_back(model_run{static_cast<int64_t>(i), {a}, {b}});
    }
    if (m.out_of_memory && !m.runs.empty()) {
        m.runs.clear();
        model_set_err(m, "out of memory recording compare runs");
        return -1;
    }
    return 0;
}

int model_compare_count(model &m) {
    if (!require_open(m)) return -1;
    return static_cast<int>(m.runs.size());
}

std::string model_compare_field(model &m, int index, const char *field) {
    if (!require_open(m)) return "";
    if (index < 0 || index >= static_cast<int>(m.runs.size())) {
        model_set_err(m, "diff index out of range");
        return "";
    }
    if (!field) return "";
    const model_run &r = m.runs[static_cast<size_t>(index)];
    std::string f = field;
    if (f == "offset") return format_offset("0x%016llx", static_cast<uint64_t>(r.offset));
    if (f == "this_hex") return lower_hex(r.this_bytes.data(), r.this_bytes.size());
    if (f == "other_hex") return lower_hex(r.other_bytes.data(), r.other_bytes.size());
    model_set_err(m, "unknown field: " + f + " (offset|this_hex|other_hex)");
    return "";
}

// ---- Reports --------------------------------------------------------------

namespace {

// Bits per byte, summed over the values in ascending order as the rule reads.
double entropy_of_counts(const uint64_t hist[256], uint64_t length) {
    double h = 0.0;
    for (int v = 0; v < 256; v++) {
        if (hist[v] == 0) continue;
        double p = static_cast<double>(hist[v]) / static_cast<double>(length);
        h = h - std::log2(p) * p;
    }
    return h;
}

double entropy_of(const uint8_t *data, uint64_t n) {
    uint64_t hist[256] = {};
    for (uint64_t i = 0; i < n; i++) hist[data[i]]++;
    return entropy_of_counts(hist, n);
}

std::string fixed4(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    return buf;
}

}  // namespace

std::string model_info_json(model &m) {
    if (!require_open(m) || fails_as_shrunk(m)) return "";
    double estimate = 0.0;
    if (m.has_view()) {
        uint64_t size = m.disk.size(), n = std::min<uint64_t>(size, 1048576);
        estimate = entropy_of(m.disk.data(), n);
        if (size > 2 * n) estimate = (estimate + entropy_of(m.disk.data() + size - n, n)) * 0.5;
    }
    int64_t staged = 0;
    for (const model_edit &e : m.edits)
        if (__builtin_add_overflow(staged, e.len, &staged)) {
            staged = INT64_MAX;
            break;
        }
    return "{\"name\":\"" + reference_json_escape(m.name, 4096) + "\",\"size\":" + std::to_string(model_size(m)) +
           ",\"is_rw\":" + (m.rw ? "1" : "0") + ",\"entropy_avg\":" + fixed4(estimate) +
           ",\"modified\":" + (m.edits.empty() ? "0" : "1") + ",\"staged_bytes\":" + std::to_string(staged) + "}";
}

std::string model_entropy_json(model &m) {
    if (!require_open(m) || fails_as_shrunk(m)) return "";
    if (m.disk.empty())
        return "{\"entropy_avg\":0.0,\"entropy_min\":0.0,\"entropy_max\":0.0,"
               "\"buckets\":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],\"sampled_bytes\":0}";
    uint64_t readable = m.has_view() ? m.disk.size() : 0;
    uint64_t block = std::min<uint64_t>(readable / 8, 2097152);
    uint64_t total[256] = {};
    double sum = 0.0, lo = 100.0, hi = 0.0;
    for (uint64_t j = 0; j < 8; j++) {
        double h = 0.0;
        if (block > 0) {
            uint64_t hist[256] = {};
            for (uint64_t i = 0; i < block; i++) hist[m.disk[j * block + i]]++;
            h = entropy_of_counts(hist, block);
            for (int v = 0; v < 256; v++) total[v] += hist[v];
        }
        sum += h;
        hi = std::max(hi, h);
        lo = std::min(lo, h);
    }
    std::string buckets;
    for (int k = 0; k < 16; k++) buckets += (k ? "," : "") + std::to_string(total[16 * k]);
    return "{\"entropy_avg\":" + fixed4(sum / 8) + ",\"entropy_min\":" + fixed4(lo) + ",\"entropy_max\":" +
           fixed4(hi) + ",\"buckets\":[" + buckets + "],\"sampled_bytes\":" + std::to_string(8 * block) + "}";
}

// ---- Save -----------------------------------------------------------------

namespace {

std::string cannot_write(const std::string &shown, int code) {
    return "cannot open for write: " + shown + " (win error " + std::to_string(code) + ")";
}

// A rename over the open file that fails is tried once more without our
// view, which then comes back from the file as it is now, when its size is
// still the one opened; otherwise it stays released.
void view_after_failed_replace(model &m) {
    bytes now = fuzz_read_file(m.name);
    if (now.size() == m.disk.size()) m.disk = now;
    else m.view_lost = true;
}

// The content goes to a new file beside the target and is renamed over it.
// Returns the failure message, or "" when the target now holds the content.
std::string through_temp(model &m, bool is_open_file, const std::string &real, const std::string &shown,
                         const save_fault &f, size_t len, target_after &target) {
    target = target_after::untouched;
    if (f.kind == save_fault_kind::create) return cannot_write(shown, kEIO);
    if (!stat_of(folder_of(real)).exists) return cannot_write(shown, 2);
    if ((f.kind == save_fault_kind::write && len > 0) || f.kind == save_fault_kind::flush)
        return "WriteFile failed: " + shown;
    if (f.kind == save_fault_kind::size)
        return "save size mismatch: expected " + std::to_string(len) + " got " + std::to_string(len + 1);
    if (f.kind == save_fault_kind::replace) {
        if (is_open_file && m.has_view()) view_after_failed_replace(m);
        return cannot_write(shown, kEIO);
    }
    target = target_after::content;
    return "";
}

// Before the open file is emptied, a whole copy of the content goes beside
// it; any failure there leaves the file as it is (the faults hit the copy).
std::string copy_beside(const std::string &shown, const save_fault &f, size_t len, bool out_of_memory) {
    if (f.kind == save_fault_kind::create) return cannot_write(shown, kEIO);
    if ((f.kind == save_fault_kind::write && len > 0) || f.kind == save_fault_kind::flush)
        return "WriteFile failed: " + shown;
    if (f.kind == save_fault_kind::size)
        return "save size mismatch: expected " + std::to_string(len) + " got " + std::to_string(len + 1);
    if (out_of_memory) return "out of memory materializing logical file";
    return "";
}

// The target is emptied and written where it is.
std::string rewrite(const std::string &real, const std::string &shown, const save_fault &f, size_t len,
                    target_after &target) {
    target = target_after::untouched;
    if (f.kind == save_fault_kind::create) return cannot_write(shown, kEIO);
    stat_result st = stat_of(real);
    if (st.exists && !st.regular) return cannot_write(shown, 21);
    if (!stat_of(folder_of(real)).exists) return cannot_write(shown, 2);
    target = target_after::emptied;
    if (f.kind == save_fault_kind::write && len > 0) return "WriteFile failed: " + shown;
    target = target_after::content;
    if (f.kind == save_fault_kind::flush) return "WriteFile failed: " + shown;
    if (f.kind == save_fault_kind::size)
        return "save size mismatch: expected " + std::to_string(len) + " got " + std::to_string(len + 1);
    return "";
}

// Where each byte of the content comes from: its offset in the file, or -1
// for a byte an edit brought.
std::vector<int64_t> origins(const model &m) {
    std::vector<int64_t> o(m.disk.size());
    for (size_t i = 0; i < o.size(); i++) o[i] = static_cast<int64_t>(i);
    for (const model_edit &e : m.edits) {
        int64_t L = static_cast<int64_t>(o.size());
        if (e.kind == 0) {
            if (e.offset > L) continue;
            int64_t n = std::min(e.len, L - e.offset);
            for (int64_t i = 0; i < n; i++) o[static_cast<size_t>(e.offset + i)] = -1;
        } else if (e.kind == 1) {
            o.insert(o.begin() + std::min(e.offset, L), e.data.size(), -1);
        } else {
            int64_t at = std::min(e.offset, L), n = std::min(e.len, L - at);
            if (n > 0) o.erase(o.begin() + at, o.begin() + at + n);
        }
    }
    return o;
}

enum class patch_kind { none, nothing_changed, some_changed };

// A save that keeps every byte of the file at its offset patches it in place.
patch_kind patch_of(const model &m) {
    if (m.view_lost) return patch_kind::none;
    std::vector<int64_t> o = origins(m);
    if (o.size() != m.disk.size()) return patch_kind::none;
    bool changed = false;
    for (size_t i = 0; i < o.size(); i++) {
        if (o[i] >= 0 && o[i] != static_cast<int64_t>(i)) return patch_kind::none;
        changed |= o[i] < 0;
    }
    return changed ? patch_kind::some_changed : patch_kind::nothing_changed;
}

// The patch behind a journal: "" when the file holds the content, nullopt
// when it cannot be done here (the folder takes no journal, the file is not
// as opened) and another way saves, else the failure.
std::optional<std::string> patch(const std::string &real, const save_fault &f, bool changed, bool out_of_memory) {
    if (!changed) {  // nothing to write once the size on disk is seen to be the one opened
        if (f.kind == save_fault_kind::size) return std::nullopt;
        return "";
    }
    if (out_of_memory) return "out of memory";
    if (f.temp_refused || f.kind == save_fault_kind::size) return std::nullopt;
    std::string journal = real + ".hexview-journal";
    switch (f.kind) {
    case save_fault_kind::create: return "cannot create journal: " + journal + " (win error 5)";
    case save_fault_kind::write:
    case save_fault_kind::flush:
    case save_fault_kind::replace: return "cannot write journal: " + journal + " (win error 5)";
    default: return "";
    }
}

}  // namespace

save_prediction model_save(model &m, const char *path, const save_fault &f) {
    save_prediction p{-1, "", target_after::untouched, {}, false};
    if (!require_open(m)) return p;
    bool in_place = !path || !*path;
    if (in_place && m.edits.empty()) {
        p.result = 0;
        return p;
    }
    std::string shown = in_place ? m.name : path;
    // A save-as target is examined first: links that cannot be followed
    // fail it before anything else.
    if (!in_place && stat_of(shown).loop) {
        model_set_err(m, cannot_write(shown, 40));
        return p;
    }
    if (fails_as_shrunk(m) || !model_materialize(m)) return p;
    if (stat_of(shown).loop) {
        model_set_err(m, cannot_write(shown, 40));  // the links cannot be followed
        return p;
    }
    p.real = follow_link(shown);
    stat_result target = stat_of(p.real), mine = stat_of(m.name);
    bool is_open_file = in_place || (target.exists && mine.exists && target.dev == mine.dev && target.ino == mine.ino);
    bool rename_keeps = !target.exists || (target.regular && target.links <= 1);
    p.content = *m.cache;
    size_t len = p.content.size();
    std::string failure;
    patch_kind pk = is_open_file && target.regular ? patch_of(m) : patch_kind::none;
    std::optional<std::string> patched;
    if (pk != patch_kind::none && fuzz_read_file(p.real).size() == m.disk.size())
        patched = patch(p.real, f, pk == patch_kind::some_changed, m.out_of_memory);
    if (patched) {
        failure = *patched;
        if (failure.empty()) {
            p.target = target_after::content;
            m.disk = p.content;  // the view shows the patched file
        }
    } else if (rename_keeps && !f.temp_refused) {
        failure = through_temp(m, is_open_file, p.real, shown, f, len, p.target);
    } else if (is_open_file && m.has_view() && len > 0 && !f.temp_refused) {
        failure = copy_beside(shown, f, len, m.out_of_memory);
        if (failure.empty()) {
            m.view_lost = true;  // released once the copy holds the content
            p.target = target_after::content;
        }
    } else if (is_open_file && m.has_view() && m.out_of_memory) {
        // Emptying the open file needs a heap copy of the content first.
        failure = "out of memory materializing logical file";
    } else {
        if (is_open_file && m.has_view()) {
            m.view_lost = true;  // released before the target is emptied
            m.heap_copy = len > 0;
        }
        failure = rewrite(p.real, shown, f, len, p.target);
        if (!failure.empty() && is_open_file && m.heap_copy) {
            failure += " - the content is whole only in memory: save it to another file";
            m.only_copy_in_memory = true;
        }
    }
    if (!failure.empty()) {
        model_set_err(m, failure);
        return p;
    }
    p.result = 0;
    bool view_gone = !m.disk.empty() && m.view_lost;
    if (in_place || (is_open_file && view_gone)) {
        p.reopen = true;
        return p;
    }
    m.edits.clear();
    m.heap_copy = m.only_copy_in_memory = false;
    m.cache.reset();
    m.stale = false;
    return p;
}
