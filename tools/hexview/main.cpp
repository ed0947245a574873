// hexview: the command-line host of the quillmar-hexview engine. Reads the
// command line and hands each subcommand to its host: cli/ for the commands,
// serve/ for `hexview serve` (when built).
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <map>
#include <string>

#include "cli/cli.h"
#ifdef HEXVIEW_HAS_SERVE
#include "serve/serve.h"
#endif

namespace {

// "HEX@OFF" for --write and --insert.
edit_record parse_bytes_at(edit_record::kind_t kind, const std::string &arg) {
    size_t at = arg.rfind('@');
    if (at == std::string::npos) throw host_error("expected HEX@OFFSET, got: " + arg);
    return edit_record{kind, parse_offset(arg.substr(at + 1), "offset"), arg.substr(0, at), 0};
}

// "OFF:LEN" for --delete.
edit_record parse_range(const std::string &arg) {
    size_t colon = arg.find(':');
    if (colon == std::string::npos) throw host_error("expected OFFSET:LENGTH, got: " + arg);
    return edit_record{edit_record::erase, parse_offset(arg.substr(0, colon), "offset"), "",
                       parse_offset(arg.substr(colon + 1), "length")};
}

// The edits in the order they stand on the command line, across the options.
std::vector<edit_record> edits_in_order(CLI::App *edit, CLI::Option *w, CLI::Option *i, CLI::Option *d) {
    std::map<CLI::Option *, size_t> next;
    std::vector<edit_record> steps;
    for (CLI::Option *opt : edit->parse_order()) {
        if (opt != w && opt != i && opt != d) continue;
        const std::string &arg = opt->results().at(next[opt]++);
        if (opt == d) steps.push_back(parse_range(arg));
        else steps.push_back(parse_bytes_at(opt == w ? edit_record::write : edit_record::insert, arg));
    }
    return steps;
}

}  // namespace

int main(int argc, char **argv) {
#ifdef SIGXFSZ
    // A write past the file-size limit then fails with EFBIG, which the
    // engine reports (and gets its way back from), instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    CLI::App app{"hexview: view, search, edit, compare and profile files with the quillmar-hexview engine"};
    app.require_subcommand(1);
    // Paths such as /data/x.bin are files, also on Windows, not /options.
    app.allow_windows_style_options(false);

    std::string offset_text = "0", start_text = "0";
    dump_options dump;
    auto *dump_cmd = app.add_subcommand("dump", "show the bytes of a file (the whole file unless --rows is given)");
    dump_cmd->add_option("FILE", dump.file, "file to show")->required();
    dump_cmd->add_option("--offset", offset_text, "first byte to show (decimal or 0x hex)");
    dump_cmd->add_option("--rows", dump.rows, "number of 16-byte rows")->check(CLI::NonNegativeNumber);
    auto *raw = dump_cmd->add_flag("--raw", dump.raw, "hex digits only, no text column");
    auto *text = dump_cmd->add_flag("--text", dump.text, "printable characters only");
    raw->excludes(text);
    dump_cmd->add_flag("--json", dump.json, "the library's JSON rows as they are");

    search_options search;
    std::string hex_pat, ascii_pat, utf16_pat;
    auto *search_cmd = app.add_subcommand("search", "find a pattern; prints the count and each stored hit");
    search_cmd->add_option("FILE", search.file, "file to search")->required();
    auto *g = search_cmd->add_option_group("pattern", "exactly one pattern");
    g->add_option("--hex", hex_pat, "hex bytes, ?\? for any byte, e.g. 'de ad ?\? ef'");
    g->add_option("--ascii", ascii_pat, "ASCII text, case-sensitive");
    g->add_option("--utf16", utf16_pat, "text matched as UTF-16LE");
    g->require_option(1);
    search_cmd->add_option("--start", start_text, "offset to search from (decimal or 0x hex)");
    search_cmd->add_flag("--context", search.context, "show the bytes around each hit");
    search_cmd->add_flag("--json", search.json, "JSON output");

    std::string info_file, entropy_file;
    bool info_json = false, entropy_json = false;
    auto *info_cmd = app.add_subcommand("info", "summary of a file: size and entropy estimate");
    info_cmd->add_option("FILE", info_file, "file to describe")->required();
    info_cmd->add_flag("--json", info_json, "the library's JSON as it is");
    auto *entropy_cmd = app.add_subcommand("entropy", "entropy profile of the first 16 MiB");
    entropy_cmd->add_option("FILE", entropy_file, "file to profile")->required();
    entropy_cmd->add_flag("--json", entropy_json, "the library's JSON as it is");

    std::string cmp_file, cmp_other;
    bool cmp_json = false;
    auto *cmp_cmd = app.add_subcommand("compare", "differing runs of two files; exit 0 equal, 1 differ, 2 trouble");
    cmp_cmd->add_option("FILE", cmp_file, "first file")->required();
    cmp_cmd->add_option("OTHER", cmp_other, "second file")->required();
    cmp_cmd->add_flag("--json", cmp_json, "JSON output");

    edit_options edit;
    std::vector<std::string> unused;
    auto *edit_cmd = app.add_subcommand("edit", "stage edits in the order given, list them, and save with --save");
    edit_cmd->add_option("FILE", edit.file, "file to edit (must exist)")->required();
    auto *w = edit_cmd->add_option("--write", unused, "overwrite bytes: HEX@OFFSET")->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    auto *ins = edit_cmd->add_option("--insert", unused, "insert bytes: HEX@OFFSET")->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    auto *del = edit_cmd->add_option("--delete", unused, "delete bytes: OFFSET:LENGTH")->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    auto *save = edit_cmd->add_option("--save", edit.save_path, "save in place, or to PATH when given")->expected(0, 1);
    edit_cmd->add_flag("--dry-run", edit.dry_run, "stage and list only; never save");
    edit_cmd->add_flag("--json", edit.json, "the library's JSON listing");

    auto *demo_cmd = app.add_subcommand("demo", "a guided tour on a sample file made in a temporary folder");

#ifdef HEXVIEW_HAS_SERVE
    serve_options serve;
    auto *serve_cmd = app.add_subcommand("serve", "a web hex editor on 127.0.0.1: prints the address to open");
    serve_cmd->add_option("FILE", serve.file, "file to view and edit (must exist)")->required();
    serve_cmd->add_option("--port", serve.port, "port to listen on (default: a free one)")->check(CLI::Range(1, 65535));
    serve_cmd->add_flag("--read-only", serve.read_only, "open the file read-only: no edits, no save in place");
    serve_cmd->add_flag("--open", serve.open_browser, "start the desktop browser on the address");
    serve_cmd->add_flag("--force", serve.force, "stop on the first Ctrl-C even with unsaved edits");
    serve_cmd->add_option("--launch-seconds", serve.launch_seconds, "how long a printed address can be opened (default 60)")
        ->check(CLI::Range(1, 3600));
#endif

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "hexview: %s\n", e.what());
        CLI::App *sub = app.get_subcommands().empty() ? &app : app.get_subcommands().front();
        std::string name = sub == &app ? "hexview" : "hexview " + sub->get_name();
        std::string usage = CLI::Formatter().make_usage(sub, name);
        std::fprintf(stderr, "%sRun '%s --help' for more.\n", usage.c_str(), name.c_str());
        return 2;
    }

    try {
        if (dump_cmd->parsed()) {
            dump.offset = parse_offset(offset_text, "offset");
            return run_dump(dump);
        }
        if (search_cmd->parsed()) {
            search.start = parse_offset(start_text, "start");
            search.mode = !hex_pat.empty() || g->get_option("--hex")->count() ? "hex"
                          : g->get_option("--ascii")->count()                    ? "ascii"
                                                                                  : "utf16";
            search.pattern = search.mode == "hex" ? hex_pat : search.mode == "ascii" ? ascii_pat : utf16_pat;
            return run_search(search);
        }
        if (info_cmd->parsed()) return run_info(info_file, info_json);
        if (entropy_cmd->parsed()) return run_entropy(entropy_file, entropy_json);
        if (cmp_cmd->parsed()) return run_compare(cmp_file, cmp_other, cmp_json);
        if (edit_cmd->parsed()) {
            edit.steps = edits_in_order(edit_cmd, w, ins, del);
            edit.save = save->count() > 0;
            return run_edit(edit);
        }
        if (demo_cmd->parsed()) return run_demo();
#ifdef HEXVIEW_HAS_SERVE
        if (serve_cmd->parsed()) return run_serve(serve);
#endif
    } catch (const host_error &e) {
        std::fprintf(stderr, "hexview: %s\n", e.what());
        return 2;
    }
    return 2;
}
