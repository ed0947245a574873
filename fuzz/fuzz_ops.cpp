// Drives the public functions with a sequence of operations decoded from the
// input and checks every step against a plain model: the logical content (read
// back through pages and through a save-as), the size rule, and search hits
// against a plain scan of the bytes on disk.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "json_check.h"
#include "quillmar_hexview.h"

namespace {

using bytes = std::vector<uint8_t>;

struct model_edit {
    int kind;  // 0 write, 1 insert, 2 delete
    int64_t offset;
    bytes data;
    int64_t len;
};

struct model {
    bool open = false;
    bool rw = false;
    bytes disk;                 // the file as on disk
    std::vector<model_edit> edits;
    bool materialized = false;  // a page or save built the content since the last edit
    bool cache_kept = false;    // a failed save-as keeps a fresh cache
};

bytes read_all(const std::string &path) {
    bytes b;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return b;
    int c;
    while ((c = std::fgetc(f)) != EOF) b.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    return b;
}

bytes content(const model &m) {
    bytes c = m.disk;
    for (const model_edit &e : m.edits) {
        int64_t L = static_cast<int64_t>(c.size());
        if (e.kind == 0) {
            for (int64_t i = 0; i < static_cast<int64_t>(e.data.size()) && e.offset <= L && e.offset + i < L; i++)
                c[static_cast<size_t>(e.offset + i)] = e.data[static_cast<size_t>(i)];
        } else if (e.kind == 1) {
            c.insert(c.begin() + std::min(e.offset, L), e.data.begin(), e.data.end());
        } else {
            int64_t p = std::min(e.offset, L), n = std::min(e.len, L - p);
            if (n > 0) c.erase(c.begin() + p, c.begin() + p + n);
        }
    }
    return c;
}

int64_t expected_size(const model &m) {
    if (!m.open) return -1;
    if (m.materialized) return static_cast<int64_t>(content(m).size());
    __int128 t = static_cast<int64_t>(m.disk.size());
    for (const model_edit &e : m.edits) t += e.kind == 1 ? e.len : e.kind == 2 ? -e.len : 0;
    return t < 0 ? 0 : static_cast<int64_t>(t);
}

int hex_digit(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// Reads the content back through raw pages and compares it with the model.
void check_pages(const model &m) {
    bytes want = content(m);
    int64_t end = static_cast<int64_t>(want.size());
    std::string page = hx_page(0, static_cast<int32_t>(end / 16 + 2), "raw");
    FUZZ_CHECK(json_checker(page).valid());
    size_t at = 0;
    for (int64_t row = 0; row < end / 16 + 2; row++) {
        at = page.find("\"bytes_hex\":\"", at);
        FUZZ_CHECK(at != std::string::npos);
        at += 13;
        for (int k = 0; k < 16; k++) {
            int64_t q = row * 16 + k;
            uint8_t v = static_cast<uint8_t>(hex_digit(page[at + 2 * k]) * 16 + hex_digit(page[at + 2 * k + 1]));
            FUZZ_CHECK(v == (q < end ? want[static_cast<size_t>(q)] : 0));
        }
    }
}

std::string hex_text(input_reader &in, const bytes &data) {
    static const char *seps[] = {"", " ", ",", ":", "\t", " ,"};
    std::string t;
    char buf[3];
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, (in.byte() & 1) ? "%02x" : "%02X", b);
        t += buf;
        t += seps[in.byte() % 6];
    }
    return t;
}

int64_t fuzz_offset(input_reader &in, int64_t size) {
    switch (in.byte() % 8) {
    case 0: return INT64_MAX;
    case 1: return in.range(0, 1) ? INT64_MAX / 2 : size;
    default: return in.range(0, size + 40);
    }
}

// The written scan: leftmost first, the next candidate right after a hit.
std::vector<int64_t> reference_scan(const bytes &d, const bytes &pat, const bytes &mask, int64_t start, int64_t &n) {
    std::vector<int64_t> hits;
    n = 0;
    int64_t L = static_cast<int64_t>(pat.size()), size = static_cast<int64_t>(d.size());
    for (int64_t p = std::max<int64_t>(start, 0); p + L <= size;) {
        bool hit = true;
        for (int64_t i = 0; i < L && hit; i++) hit = !mask[i] || d[p + i] == pat[i];
        if (!hit) {
            p++;
            continue;
        }
        if (hits.size() < 10000) hits.push_back(p);
        n++;
        p += L;
    }
    return hits;
}

void do_search(input_reader &in, const model &m) {
    int mode = in.byte() % 3;
    int64_t start = in.range(-5, static_cast<int64_t>(m.disk.size()) + 5);
    bytes pat, mask;
    std::string text;
    int len = static_cast<int>(in.range(1, 4));
    for (int i = 0; i < len; i++) {
        uint8_t b = in.byte();
        if (mode == 0) {
            bool wild = (b & 7) == 0;
            pat.push_back(wild ? 0 : b);
            mask.push_back(wild ? 0 : 0xff);
            char buf[3];
            std::snprintf(buf, sizeof buf, "%02x", b);
            text += wild ? "??" : buf;
            text += ' ';
        } else {
            b = b ? b : 'a';
            text += static_cast<char>(b);
            pat.push_back(b);
            mask.push_back(0xff);
            if (mode == 2) {
                pat.push_back(0);
                mask.push_back(0xff);
            }
        }
    }
    static const char *modes[] = {"hex", "ascii", "utf16"};
    int r = hx_search(modes[mode], text.c_str(), start);
    if (!m.open) {
        FUZZ_CHECK(r == -1);
        return;
    }
    FUZZ_CHECK(r == 0);
    int64_t n = 0;
    std::vector<int64_t> want = reference_scan(m.disk, pat, mask, start, n);
    FUZZ_CHECK(hx_search_count() == n);
    for (int64_t h : want) FUZZ_CHECK(hx_search_next() == h);
    FUZZ_CHECK(hx_search_next() == -1);
    FUZZ_CHECK(hx_search_last() == (want.empty() ? -1 : want.back()));
}

void do_compare(input_reader &in, const model &m) {
    std::string other_path = fuzz_path("other.bin");
    std::string other = in.take(in.range(0, 200));
    fuzz_write_file(other_path, other);
    int r = hx_compare(other_path.c_str());
    if (!m.open) {
        FUZZ_CHECK(r == -1);
        return;
    }
    FUZZ_CHECK(r == 0);
    size_t total = std::max(m.disk.size(), other.size());
    int runs = 0;
    int64_t run_end = -1, run_len = 0;
    for (size_t i = 0; i < total; i++) {
        uint8_t a = i < m.disk.size() ? m.disk[i] : 0;
        uint8_t b = i < other.size() ? static_cast<uint8_t>(other[i]) : 0;
        if (a == b) continue;
        if (static_cast<int64_t>(i) == run_end && run_len < 64) {
            run_len++;
        } else {
            runs++;
            run_len = 1;
        }
        run_end = static_cast<int64_t>(i) + 1;
    }
    FUZZ_CHECK(hx_compare_count() == std::min(runs, 10000));
}

void stage(input_reader &in, model &m, int kind) {
    int64_t size = static_cast<int64_t>(content(m).size());
    int64_t off = in.range(0, 9) == 0 ? -in.range(1, 5) : fuzz_offset(in, size);
    model_edit e{kind, off, {}, 0};
    int r;
    if (kind == 2) {
        e.len = in.range(0, 7) == 0 ? INT64_MAX - in.range(0, 3) : in.range(0, 30);
        r = hx_delete(off, e.len);
    } else {
        int n = static_cast<int>(in.range(1, 20));
        for (int i = 0; i < n; i++) e.data.push_back(in.byte());
        e.len = n;
        std::string text = hex_text(in, e.data);
        r = kind == 0 ? hx_write(text.c_str(), off) : hx_insert(text.c_str(), off);
    }
    bool accepted = m.open && m.rw && off >= 0 && m.edits.size() < 1000;
    FUZZ_CHECK((r == 0) == accepted);
    if (accepted) {
        m.edits.push_back(e);
        m.materialized = false;
    }
}

void save_as(model &m) {
    std::string out = fuzz_path("saved.bin");
    std::remove(out.c_str());
    int r = hx_save(out.c_str());
    if (!m.open) {
        FUZZ_CHECK(r == -1);
        return;
    }
    FUZZ_CHECK(r == 0);
    FUZZ_CHECK(read_all(out) == content(m));
    m.edits.clear();
    m.materialized = false;
}

void save_in_place(model &m, const std::string &path) {
    int r = hx_save(nullptr);
    if (!m.open) {
        FUZZ_CHECK(r == -1);
        return;
    }
    FUZZ_CHECK(r == 0);
    if (m.edits.empty()) return;
    m.disk = content(m);
    m.edits.clear();
    m.materialized = false;
    FUZZ_CHECK(read_all(path) == m.disk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input_reader in(data, size);
    std::string path = fuzz_path("ops.bin");
    model m;
    std::string initial = in.take(static_cast<size_t>(in.range(0, 300)));
    fuzz_write_file(path, initial);
    m.disk.assign(initial.begin(), initial.end());
    hx_close();

    for (int step = 0; step < 40 && !in.empty(); step++) {
        switch (in.byte() % 14) {
        case 0:
        case 1: {
            bool rw = in.byte() & 1;
            FUZZ_CHECK((rw ? hx_open_rw(path.c_str()) : hx_open(path.c_str())) == 0);
            m.open = true;
            m.rw = rw;
            m.edits.clear();
            m.materialized = false;
            m.disk = read_all(path);
            break;
        }
        case 2:
            hx_close();
            m = model{false, false, read_all(path), {}, false, false};
            break;
        case 3:
            if (m.open) {
                check_pages(m);
                m.materialized = !m.edits.empty() || m.materialized;
            }
            break;
        case 4:
        case 5:
        case 6: stage(in, m, in.byte() % 3); break;
        case 7:
            if (m.open) {
                std::string list = hx_staged_json();
                FUZZ_CHECK(json_checker(list).valid());
                FUZZ_CHECK(static_cast<size_t>(std::count(list.begin(), list.end(), '{')) == m.edits.size());
            }
            break;
        case 8:
            FUZZ_CHECK(hx_discard() == (m.open ? 0 : -1));
            m.edits.clear();
            m.materialized = false;
            break;
        case 9: save_as(m); break;
        case 10: save_in_place(m, path); break;
        case 11: do_search(in, m); break;
        case 12: do_compare(in, m); break;
        default:
            if (m.open) {
                FUZZ_CHECK(json_checker(hx_info_json()).valid());
                FUZZ_CHECK(json_checker(hx_entropy_json()).valid());
            }
            break;
        }
        FUZZ_CHECK(hx_file_size() == expected_size(m));
    }
    hx_close();
    std::remove(path.c_str());
    return 0;
}
