// hexview serve: tools that read a range of the edited content (staged
// edits included) through the engine's raw pages: its hashes (CRC32 with
// zlib, MD5, SHA-1 and SHA-256 with OpenSSL's libcrypto), computed as a
// background job, and its printable runs ("strings"), listed a bounded
// window at a time.
#include <openssl/evp.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quillmar_hexview.h"
#include "serve/serve.h"

namespace {

constexpr int64_t kRowBytes = 16;
constexpr int32_t kPageRows = 1000;  // rows per engine call at most
constexpr int64_t kPageBytes = kRowBytes * kPageRows;

// ---- Reading the edited content -------------------------------------------

// The size of the edited content, exact: a page first brings the engine's
// content up to date with the staged edits (its size is an estimate until then).
int64_t content_size() {
    if (hx_page(0, 1, "raw")[0] == '\0') throw http_error(500, hx_last_error());
    return hx_file_size();
}

#if defined(__SSE2__)
// 32 lowercase hex digits into 16 bytes.
void decode_row(const char *hex, uint8_t *out) {
    auto nibbles = [](__m128i c) {  // '0'-'9' -> 0-9, 'a'-'f' -> 10-15
        __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('9')), _mm_set1_epi8(9));
        return _mm_add_epi8(_mm_and_si128(c, _mm_set1_epi8(0x0f)), letters);
    };
    auto pairs = [](__m128i n) {  // each 16-bit lane: first digit << 4 | second digit
        return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(n, _mm_set1_epi16(0x00ff)), 4), _mm_srli_epi16(n, 8));
    };
    __m128i a = nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(hex)));
    __m128i b = nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i *>(hex + 16)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(pairs(a), pairs(b)));
}
#else
void decode_row(const char *hex, uint8_t *out) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (int k = 0; k < kRowBytes; k++) out[k] = static_cast<uint8_t>(nibble(hex[2 * k]) << 4 | nibble(hex[2 * k + 1]));
}
#endif

// Up to 16000 bytes of the content from `offset` into `out`, from one page
// of raw rows; `n` must not reach past the content's end (rows there read as
// zeros). Every row has the same length, so the next row's digits are found
// by a step, checked against the key.
void read_page(int64_t offset, int64_t n, uint8_t *out) {
    static constexpr std::string_view key = "\"bytes_hex\":\"";
    int32_t rows = static_cast<int32_t>((n + kRowBytes - 1) / kRowBytes);
    const char *page = hx_page(offset, rows, "raw");
    const char *at = std::strstr(page, key.data());
    if (!at) throw http_error(500, *page ? "unexpected page from the engine" : hx_last_error());
    size_t stride = 0;
    for (int64_t got = 0; got < n; got += kRowBytes) {
        at += key.size();
        uint8_t row[kRowBytes];
        decode_row(at, row);
        std::memcpy(out + got, row, static_cast<size_t>(std::min(kRowBytes, n - got)));
        if (got + kRowBytes >= n) break;
        const char *next = stride ? at + stride - key.size() : nullptr;
        if (!next || std::memcmp(next, key.data(), key.size()) != 0) {
            next = std::strstr(at, key.data());
            if (!next) throw http_error(500, "unexpected page from the engine");
            stride = static_cast<size_t>(next - at) + key.size();
        }
        at = next;
    }
}

// ---- Hashes ---------------------------------------------------------------

constexpr std::array<std::string_view, 4> kHashNames = {"crc32", "md5", "sha1", "sha256"};

const EVP_MD *digest_of(std::string_view name) {
    if (name == "md5") return EVP_md5();
    if (name == "sha1") return EVP_sha1();
    return EVP_sha256();
}

// The hashes asked for, by name, in the order of kHashNames; each named once.
std::vector<std::string> hash_names(const std::string &list) {
    std::vector<std::string> asked;
    for (size_t at = 0; at <= list.size();) {
        size_t comma = std::min(list.find(',', at), list.size());
        std::string name = list.substr(at, comma - at);
        if (std::find(kHashNames.begin(), kHashNames.end(), name) == kHashNames.end())
            throw http_error(400, "unknown hash: " + name + " (crc32|md5|sha1|sha256)");
        asked.push_back(name);
        at = comma + 1;
    }
    std::vector<std::string> names;
    for (std::string_view n : kHashNames)
        if (std::find(asked.begin(), asked.end(), n) != asked.end()) names.emplace_back(n);
    return names;
}

std::string hex_of(const unsigned char *bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) s += {digits[bytes[i] >> 4], digits[bytes[i] & 0xf]};
    return s;
}

using md_ctx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// The hashes of a range, fed page by page; CRC32 by zlib, the others by EVP.
struct hasher {
    std::vector<std::string> names;
    std::vector<md_ctx> digests;  // one per name but crc32
    uLong crc = crc32(0, nullptr, 0);
    bool want_crc = false;

    explicit hasher(std::vector<std::string> asked) : names(std::move(asked)) {
        for (const std::string &n : names) {
            if (n == "crc32") {
                want_crc = true;
                continue;
            }
            digests.emplace_back(EVP_MD_CTX_new(), EVP_MD_CTX_free);
            if (!digests.back() || EVP_DigestInit_ex(digests.back().get(), digest_of(n), nullptr) != 1)
                throw http_error(500, "the " + n + " digest cannot be started");
        }
    }
    void update(const uint8_t *bytes, int64_t n) {
        if (want_crc) crc = crc32_z(crc, bytes, static_cast<z_size_t>(n));
        for (md_ctx &d : digests) EVP_DigestUpdate(d.get(), bytes, static_cast<size_t>(n));
    }
    // {"crc32":"…","md5":"…",…} in the order asked for.
    std::string results() {
        std::string out;
        size_t next_digest = 0;
        for (const std::string &n : names) {
            std::string value;
            if (n == "crc32") {
                unsigned char be[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
                value = hex_of(be, 4);
            } else {
                unsigned char md[EVP_MAX_MD_SIZE];
                unsigned int len = 0;
                EVP_DigestFinal_ex(digests[next_digest++].get(), md, &len);
                value = hex_of(md, len);
            }
            out += (out.empty() ? "\"" : ",\"") + n + "\":\"" + value + "\"";
        }
        return "{" + out + "}";
    }
};

// What the job's thread leaves for the answer.
struct hash_outcome {
    std::string hashes;  // the JSON object, once whole
    std::string error;   // a failed read's message
};

constexpr int kHashCancelled = 1, kHashFailed = 2;

// The hashing itself, on the job's thread without the engine lock: pages
// are read beside other requests (changes are refused while a job runs).
int hash_range(hasher &h, int64_t offset, int64_t length, job_progress &progress, hash_outcome &out) {
    std::vector<uint8_t> buffer(kPageBytes);
    try {
        for (int64_t done = 0; done < length;) {
            if (progress.cancelled) return kHashCancelled;
            int64_t n = std::min(kPageBytes, length - done);
            read_page(offset + done, n, buffer.data());
            h.update(buffer.data(), n);
            done += n;
            progress.done = done;
        }
    } catch (const std::exception &e) {
        out.error = e.what();
        return kHashFailed;
    }
    out.hashes = h.results();
    return 0;
}

// [offset, offset + length) of a request, checked against the content's
// size; the whole content (or the rest from `offset`) by default.
std::pair<int64_t, int64_t> checked_range(int64_t size, int64_t offset, std::optional<int64_t> length) {
    if (offset > size)
        throw http_error(400, "offset " + std::to_string(offset) + " is past the end of the content (" +
                                  std::to_string(size) + " bytes)");
    int64_t n = length.value_or(size - offset);
    if (n > size - offset)
        throw http_error(400, "the range of " + std::to_string(n) + " bytes from " + std::to_string(offset) +
                                  " goes past the end of the content (" + std::to_string(size) + " bytes)");
    return {offset, n};
}

// ---- Strings --------------------------------------------------------------

constexpr int64_t kScanBudget = 8 << 20;  // bytes a strings request reads at most
constexpr int64_t kMaxListed = 1000;      // runs per request at most
constexpr int64_t kTextShown = 200;       // characters of a run's text in the answer

bool printable(uint8_t b) { return (b >= 0x20 && b <= 0x7e) || b == '\t'; }

// A printable run being followed: ASCII bytes, or UTF-16LE units (a
// printable byte then a zero) on even or odd offsets.
struct run_track {
    const char *kind;
    int64_t start = -1;  // -1: none open
    int64_t length = 0;  // bytes
    std::string text = {};
    bool skip = false;   // begun before the window: listed by the request before, or cut
};

struct strings_scan {
    int64_t min_chars;
    bool ascii, utf16;
    int64_t from;  // where the window begins; bytes before it are read only to skip runs
    std::vector<std::string> items = {};
    std::vector<int64_t> starts = {};
    run_track tracks[3] = {{"ascii"}, {"utf16"}, {"utf16"}};  // ascii, utf16 even, utf16 odd

    void close(run_track &t, int width, bool cut) {
        if (t.start >= 0 && !t.skip && t.length / width >= min_chars) {
            starts.push_back(t.start);
            items.push_back("{\"offset\":" + std::to_string(t.start) + ",\"length\":" + std::to_string(t.length) +
                            ",\"kind\":\"" + t.kind + "\",\"text\":" + json_quote(t.text) +
                            (cut ? ",\"cut\":true}" : "}"));
        }
        t.start = -1;
        t.length = 0;
        t.text.clear();
        t.skip = false;
    }
    void extend(run_track &t, int64_t at, uint8_t c, int width) {
        if (t.start < 0) {
            t.start = at;
            t.skip = at < from;
        }
        t.length += width;
        if (static_cast<int64_t>(t.text.size()) < kTextShown) t.text += static_cast<char>(c);
    }
    // Byte `b` at `at`, with the byte before it (`prev`, -1 when none was read).
    void step(int64_t at, uint8_t b, int prev) {
        if (ascii) {
            if (printable(b)) extend(tracks[0], at, b, 1);
            else close(tracks[0], 1, false);
        }
        // A UTF-16LE unit ends at an odd position from its lattice's start:
        // the unit [at-1, at] is judged once its second byte is read.
        if (utf16 && prev >= 0) {
            run_track &t = tracks[1 + ((at - 1) & 1)];
            if (b == 0 && printable(static_cast<uint8_t>(prev))) extend(t, at - 1, static_cast<uint8_t>(prev), 2);
            else close(t, 2, false);
        }
    }
    void close_all(bool cut) {
        for (int i = 0; i < 3; i++) close(tracks[i], i ? 2 : 1, cut);
    }
    // Runs that go on past what was read (`to`): their start is where the
    // next window begins.
    int64_t open_from(int64_t to) const {
        int64_t first = to;
        for (const run_track &t : tracks)
            if (t.start >= 0 && !t.skip) first = std::min(first, t.start);
        return first;
    }
};

}  // namespace

serve_job serve_hash(const http_request &req) {
    nlohmann::json f = parse_body(req.body, "offset,length,algorithms");
    int64_t size = content_size();
    // Plain variables, not a structured binding: clang 14 cannot capture one.
    int64_t offset = 0, length = 0;
    std::tie(offset, length) = checked_range(size, f.contains("offset") ? field_offset(f, "offset") : 0,
                                             f.contains("length") ? std::optional(field_offset(f, "length")) : std::nullopt);
    auto h = std::make_shared<hasher>(
        hash_names(f.contains("algorithms") ? field_string(f, "algorithms") : "crc32,md5,sha1,sha256"));
    auto progress = std::make_shared<job_progress>();
    progress->total = length;
    auto out = std::make_shared<hash_outcome>();
    auto call = [h, offset, length, progress, out] { return hash_range(*h, offset, length, *progress, *out); };
    auto finish = [offset, length, out](int rc) {
        if (rc == kHashCancelled) throw http_error(400, "cancelled: hash stopped before its end");
        if (rc == kHashFailed) throw http_error(500, out->error);
        return "{\"offset\":" + std::to_string(offset) + ",\"length\":" + std::to_string(length) +
               ",\"hashes\":" + out->hashes + "}";
    };
    return {call, finish, progress};
}

// {"offset", "length", "min", "items": [{"offset", "length", "kind", "text"
// (the first 200 characters), "cut"}], "scanned", "next"}: the printable runs
// of at least `min` characters (2 to 256, 4 by default) in the range, from
// `from` on: at most `count` runs (1000) and 8 MiB read per request. "next"
// is where the following request goes on (`from`), or -1 at the range's end.
// A run longer than a whole window is listed cut at the window's end.
std::string serve_strings(const http_request &req) {
    int64_t size = content_size();
    auto number = [&](const char *key, int64_t fallback) {
        return req.has_param(key) ? parse_offset(req.param(key), key) : fallback;
    };
    auto [offset, length] = checked_range(size, number("offset", 0),
                                          req.has_param("length") ? std::optional(number("length", 0)) : std::nullopt);
    int64_t end = offset + length;
    int64_t min_chars = number("min", 4);
    if (min_chars < 2 || min_chars > 256) throw http_error(400, "min must be 2 to 256");
    int64_t count = number("count", kMaxListed);
    if (count < 1 || count > kMaxListed) throw http_error(400, "count must be 1 to 1000");
    std::string kinds = req.param("kinds", "ascii,utf16");
    if (kinds != "ascii" && kinds != "utf16" && kinds != "ascii,utf16")
        throw http_error(400, "unknown kinds: " + kinds + " (ascii|utf16|ascii,utf16)");
    int64_t from = number("from", offset);
    if (from < offset || from > end) throw http_error(400, "from must lie in the range");

    strings_scan scan{min_chars, kinds != "utf16", kinds != "ascii", from};
    // A run that began before `from` was listed by the request before (or
    // cut): the bytes just before `from` are read to skip the rest of it.
    int64_t lead = std::min<int64_t>(from - offset, 3);
    int64_t window_end = std::min(end, from + kScanBudget);
    std::vector<uint8_t> page(kPageBytes);
    auto listed = [&] { return static_cast<int64_t>(scan.items.size()); };
    int prev = -1;
    int64_t at = from - lead;
    while (at < window_end && listed() <= count) {
        int64_t n = std::min(kPageBytes, window_end - at);
        read_page(at, n, page.data());
        for (int64_t k = 0; k < n && listed() <= count; k++, at++) {
            scan.step(at, page[k], prev);
            prev = page[k];
        }
    }
    if (at == end) scan.close_all(false);  // runs at the range's end end there
    int64_t next = -1;
    if (listed() > count) {
        next = scan.starts[count];
        scan.items.resize(count);
    } else if (at < end) {
        next = scan.open_from(at);
        if (next == from) {  // one run fills the window: listed cut at its end
            scan.close_all(true);
            next = at;
        }
    }
    std::string list;
    for (const std::string &item : scan.items) list += (list.empty() ? "" : ",") + item;
    return "{\"offset\":" + std::to_string(offset) + ",\"length\":" + std::to_string(length) +
           ",\"min\":" + std::to_string(min_chars) + ",\"items\":[" + list + "],\"scanned\":" +
           std::to_string(next < 0 ? end : next) + ",\"next\":" + std::to_string(next) + "}";
}
