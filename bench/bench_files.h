// Large files for the benchmarks, made once per run in the temporary folder.
#pragma once

#include <cstdint>
#include <string>

// A file of `size` random bytes (fixed seed), made on first use and reused.
const std::string &bench_random_file(int64_t size);

// A file of `size` zero bytes.
const std::string &bench_zero_file(int64_t size);

constexpr int64_t kBenchFileSize = 256ll << 20;
