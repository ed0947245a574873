// hexview serve: pictures of the whole file computed from raw pages of the
// edited content, in bounded time on a file of any size: a real 256-value
// byte histogram of a range (sampled when the range is large) and an entropy
// strip with one figure per region. Called under the engine lock.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "quillmar_hexview.h"
#include "serve/serve.h"

namespace {

constexpr int64_t kRowBytes = 16;
constexpr int64_t kPageRows = 1000;            // rows per engine call at most
constexpr int64_t kHistogramSample = 1 << 20;  // bytes a histogram reads at most
constexpr int64_t kHistogramPieces = 256;      // spread over the range when sampled
constexpr int64_t kRegionSample = 1024;        // bytes read per entropy region
constexpr int64_t kMaxRegions = 1024;

int hex_value(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

}  // namespace

std::vector<uint8_t> serve_read_bytes(int64_t offset, int64_t n) {
    std::vector<uint8_t> out;
    const std::string key = "\"bytes_hex\":\"";
    while (n > 0) {
        int64_t rows = std::min(kPageRows, (n + kRowBytes - 1) / kRowBytes);
        std::string page = hx_page(offset, static_cast<int32_t>(rows), "raw");
        if (page.empty()) throw http_error(500, hx_last_error());
        // The page built the edited content, so its size is exact now; rows
        // past its end read as zeros, which are no bytes of it.
        if (out.empty()) n = std::min(n, std::max<int64_t>(0, hx_file_size() - offset));
        size_t before = out.size();
        for (size_t at = page.find(key); at != std::string::npos; at = page.find(key, at)) {
            at += key.size();
            for (; page[at] != '"' && n > 0; at += 2, n--)
                out.push_back(static_cast<uint8_t>(hex_value(page[at]) << 4 | hex_value(page[at + 1])));
        }
        if (out.size() == before) break;  // the end of the content
        offset += static_cast<int64_t>(out.size() - before);
    }
    return out;
}

namespace {

double entropy_of(const std::array<uint64_t, 256> &counts, uint64_t total) {
    double bits = 0;
    for (uint64_t c : counts)
        if (c) bits -= (double(c) / total) * std::log2(double(c) / total);
    return bits;
}

std::string fixed3(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
}

int64_t query_number(const http_request &req, const char *key, int64_t fallback) {
    return req.has_param(key) ? parse_offset(req.param(key), key) : fallback;
}

}  // namespace

// {"offset", "length", "sampled", "entropy", "counts": [256]}: the range
// [offset, offset+length) (the whole file by default); beyond 1 MiB, 256
// pieces spread evenly over it.
std::string serve_histogram(const http_request &req) {
    int64_t size = hx_file_size();
    int64_t offset = std::min(query_number(req, "offset", 0), size);
    int64_t length = std::min(query_number(req, "length", size - offset), size - offset);
    std::array<uint64_t, 256> counts{};
    uint64_t read = 0;
    auto count = [&](int64_t at, int64_t n) {
        for (uint8_t b : serve_read_bytes(at, n)) counts[b]++, read++;
    };
    if (length <= kHistogramSample) {
        count(offset, length);
    } else {
        int64_t piece = kHistogramSample / kHistogramPieces;
        for (int64_t k = 0; k < kHistogramPieces; k++) count(offset + (length - piece) / (kHistogramPieces - 1) * k, piece);
    }
    std::string list;
    for (uint64_t c : counts) {
        // Appended in two steps: g++ 12 at -O3 warns falsely on "text" + std::string.
        if (!list.empty()) list += ',';
        list += std::to_string(c);
    }
    return "{\"offset\":" + std::to_string(offset) + ",\"length\":" + std::to_string(length) +
           ",\"sampled\":" + std::to_string(read) + ",\"entropy\":" + fixed3(read ? entropy_of(counts, read) : 0) +
           ",\"counts\":[" + list + "]}";
}

// {"offset", "length", "hex"}: the bytes of a range of the edited content,
// for the clipboard; 1 MiB at most (2 MiB of JSON), said plainly beyond. A
// larger copy asks in pieces, so answers a client leaves unread hold little.
std::string serve_bytes(const http_request &req) {
    constexpr int64_t kMaxAnswer = 1 << 20;
    int64_t offset = query_number(req, "offset", 0);
    int64_t length = query_number(req, "length", 0);
    if (length > kMaxAnswer)
        throw http_error(413, "an answer holds 1 MiB of bytes at most; this request asks for " + std::to_string(length) +
                                  " (ask in pieces)");
    std::vector<uint8_t> bytes = serve_read_bytes(offset, length);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (uint8_t b : bytes) hex += {digits[b >> 4], digits[b & 0xf]};
    return "{\"offset\":" + std::to_string(offset) + ",\"length\":" + std::to_string(bytes.size()) + ",\"hex\":\"" +
           hex + "\"}";
}

// {"size", "region", "entropy": [bits per byte of each region]}: the content
// cut into `regions` (1 to 1024) equal regions, each measured on 1 KiB from
// its start.
std::string serve_entropy_map(const http_request &req) {
    int64_t size = hx_file_size();
    int64_t regions = std::clamp<int64_t>(query_number(req, "regions", 256), 1, kMaxRegions);
    regions = std::max<int64_t>(1, std::min(regions, (size + kRowBytes - 1) / kRowBytes));
    int64_t region = std::max<int64_t>(1, (size + regions - 1) / regions);
    std::string list;
    for (int64_t at = 0; at < size; at += region) {
        std::array<uint64_t, 256> counts{};
        std::vector<uint8_t> bytes = serve_read_bytes(at, std::min(kRegionSample, region));
        for (uint8_t b : bytes) counts[b]++;
        if (!list.empty()) list += ',';
        list += fixed3(bytes.empty() ? 0 : entropy_of(counts, bytes.size()));
    }
    return "{\"size\":" + std::to_string(size) + ",\"region\":" + std::to_string(region) + ",\"entropy\":[" + list + "]}";
}
