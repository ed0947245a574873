// Runs a program with the given arguments, no shell in between, and collects
// its exit status and output: POSIX spawn, or CreateProcess on Windows.
#pragma once

#include <string>
#include <vector>

struct run_result {
    int status = -1;  // the exit status; -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// One change to the environment the program gets; a null value removes the
// variable (on Windows whatever the case of its name, as the system matches it).
struct env_change {
    std::string name;
    const char *value;
};

// stdin is empty; stdout and stderr go through files in `scratch_dir`. On
// Windows the text mode's "\r\n" line ends are read back as "\n".
run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::vector<env_change> &env, const std::string &scratch_dir);

#ifndef _WIN32
// The same with stdout and stderr on a new pseudo-terminal; `out` holds what
// it showed. With `interrupt_on`, the program gets SIGINT (as from Ctrl-C)
// once the terminal showed that text.
run_result run_program_on_terminal(const std::string &program, const std::vector<std::string> &args,
                                   const std::vector<env_change> &env, const char *interrupt_on = nullptr);
#endif
