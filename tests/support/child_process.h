// Other processes for the tests of files that change under the engine: one
// that truncates a file, and this test program run again for one test alone,
// in a fresh process where the library has installed nothing yet.
#pragma once

#include <string>

// The name of the environment variable that carries a child's argument.
constexpr const char *kChildArgVariable = "HEXVIEW_TEST_CHILD_ARG";

// A child test adds this to the exit code it reports, so a child that ran no
// test at all (exit code 0) is never taken for one that did.
constexpr int kChildRan = 100;

// Truncates (or extends) the file at `path` to `size` bytes from another
// process, as another program would. True when that worked. On Windows the
// child's system code for a refusal lands in *code.
bool resize_from_another_process(const std::string &path, long long size, unsigned long *code = nullptr);

// Runs this test program again for the single test `test` (a disabled one, so
// only children run it), with `arg` in the environment variable above and
// without the parent's GoogleTest sharding. Its output is dropped. Returns the wait status (POSIX) or the exit code
// (Windows); -1 when the child could not be started.
int run_child_test(const std::string &test, const std::string &arg);

// The child's argument, or "" in the parent.
std::string child_arg();
