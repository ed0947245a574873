#include "tool/run_program.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <cstring>

#include "support/win32.h"
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace {

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string without_carriage_returns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

bool same_name(const std::string &a, const std::string &b) {
#ifdef _WIN32
    return _stricmp(a.c_str(), b.c_str()) == 0;
#else
    return a == b;
#endif
}

// The calling process's environment as NAME=VALUE texts, with `changes` made.
std::vector<std::string> changed_environment(const std::vector<std::string> &current,
                                             const std::vector<env_change> &changes) {
    std::vector<std::string> vars;
    for (const std::string &v : current) {
        std::string name = v.substr(0, v.find('=', 1));
        bool changed = std::any_of(changes.begin(), changes.end(),
                                   [&](const env_change &c) { return same_name(c.name, name); });
        if (!changed) vars.push_back(v);
    }
    for (const env_change &c : changes)
        if (c.value) vars.push_back(c.name + "=" + c.value);
    return vars;
}

}  // namespace

#ifndef _WIN32

namespace {

std::vector<std::string> current_environment() {
    std::vector<std::string> vars;
    for (char **e = environ; *e; e++) vars.emplace_back(*e);
    return vars;
}

std::vector<char *> null_terminated(std::vector<std::string> &texts) {
    std::vector<char *> p;
    for (std::string &t : texts) p.push_back(t.data());
    p.push_back(nullptr);
    return p;
}

// Starts the program (looked up in PATH when the name has no slash) with the
// file actions given; its pid, or -1.
pid_t spawn(const std::string &program, const std::vector<std::string> &args, const std::vector<env_change> &env,
            const posix_spawn_file_actions_t *actions) {
    std::vector<std::string> argv_texts{program};
    argv_texts.insert(argv_texts.end(), args.begin(), args.end());
    std::vector<std::string> env_texts = changed_environment(current_environment(), env);
    std::vector<char *> argv = null_terminated(argv_texts), envp = null_terminated(env_texts);
    pid_t pid = -1;
    return posix_spawnp(&pid, program.c_str(), actions, nullptr, argv.data(), envp.data()) == 0 ? pid : -1;
}

int wait_for(pid_t pid) {
    int raw = 0;
    if (pid < 0 || waitpid(pid, &raw, 0) != pid) return -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

}  // namespace

run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::vector<env_change> &env, const std::string &scratch_dir) {
    std::string out_path = scratch_dir + "/stdout.txt", err_path = scratch_dir + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    run_result r;
    r.status = wait_for(spawn(program, args, env, &actions));
    posix_spawn_file_actions_destroy(&actions);
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    return r;
}

run_result run_program_on_terminal(const std::string &program, const std::vector<std::string> &args,
                                   const std::vector<env_change> &env, const char *interrupt_on) {
    run_result r;
    int master = -1, terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, terminal, 1);
    posix_spawn_file_actions_adddup2(&actions, terminal, 2);
    posix_spawn_file_actions_addclose(&actions, terminal);
    posix_spawn_file_actions_addclose(&actions, master);
    pid_t pid = spawn(program, args, env, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(terminal);
    // The master reads until the program's side of the terminal is closed.
    char buf[4096];
    ssize_t n;
    bool interrupted = false;
    while (pid >= 0 && ((n = read(master, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))) {
        if (n > 0) r.out.append(buf, static_cast<std::size_t>(n));
        if (interrupt_on && !interrupted && r.out.find(interrupt_on) != std::string::npos)
            interrupted = kill(pid, SIGINT) == 0;
    }
    close(master);
    r.status = wait_for(pid);
    r.out = without_carriage_returns(r.out);
    return r;
}

#endif

#ifdef _WIN32

namespace {

// Quoted as the C runtime's command-line parser splits it back.
std::string quote_argument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string q = "\"";
    for (std::size_t i = 0;; i++) {
        std::size_t backslashes = 0;
        for (; i < arg.size() && arg[i] == '\\'; i++) backslashes++;
        if (i == arg.size()) {
            q.append(backslashes * 2, '\\');
            break;
        }
        q.append(arg[i] == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        q += arg[i];
    }
    q += '"';
    return q;
}

std::vector<std::string> current_environment() {
    std::vector<std::string> vars;
    char *block = GetEnvironmentStringsA();
    for (const char *v = block; *v; v += std::strlen(v) + 1) vars.emplace_back(v);
    FreeEnvironmentStringsA(block);
    return vars;
}

// NAME=VALUE texts, each ended by a NUL, sorted by name without regard to
// case as the system keeps them, and one more NUL at the end.
std::string environment_block(std::vector<std::string> vars) {
    std::sort(vars.begin(), vars.end(),
              [](const std::string &a, const std::string &b) { return _stricmp(a.c_str(), b.c_str()) < 0; });
    std::string block;
    for (const std::string &v : vars) block += v + '\0';
    return block + '\0';
}

HANDLE inheritable(const char *path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

}  // namespace

run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::vector<env_change> &env, const std::string &scratch_dir) {
    std::string out_path = scratch_dir + "\\stdout.txt", err_path = scratch_dir + "\\stderr.txt";
    std::string command_line = quote_argument(program);
    for (const std::string &a : args) command_line += " " + quote_argument(a);
    std::string block = environment_block(changed_environment(current_environment(), env));

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable("NUL", GENERIC_READ, OPEN_EXISTING);
    si.hStdOutput = inheritable(out_path.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    si.hStdError = inheritable(err_path.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    PROCESS_INFORMATION pi{};
    run_result r;
    if (CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, block.data(), nullptr, &si,
                       &pi)) {
        DWORD code = 0;
        WaitForSingleObject(pi.hProcess, INFINITE);
        if (GetExitCodeProcess(pi.hProcess, &code)) r.status = static_cast<int>(code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    r.out = without_carriage_returns(slurp(out_path));
    r.err = without_carriage_returns(slurp(err_path));
    return r;
}

#endif
