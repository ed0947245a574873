// hexview demo: a guided tour of the engine on a sample file of its own.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "cli/cli.h"

namespace fs = std::filesystem;

namespace {

void heading(const style &st, const std::string &text) { std::printf("\n%s\n", st.bold("== " + text).c_str()); }

// A new folder in the temporary folder. A name that is taken is drawn again;
// any other failure ends the demo (rather than trying forever).
fs::path make_temp_folder() {
    std::error_code ec;
    fs::path temp = fs::temp_directory_path(ec);
    if (ec) throw host_error("no temporary folder for the demo: " + ec.message());
    std::random_device rd;
    for (;;) {
        fs::path p = temp / ("hexview-demo-" + std::to_string(rd()));
        if (fs::create_directory(p, ec)) return p;
        if (ec) throw host_error("cannot make a folder in " + temp.string() + ": " + ec.message());
    }
}

std::string write_sample(const fs::path &dir) {
    std::string path = (dir / "sample.bin").string();
    std::ofstream f(path, std::ios::binary);
    f << "quillmar-hexview demo: \"hello, hexview\"\n";
    for (int b = 0; b < 256; b++) f.put(static_cast<char>(b));
    f << "the end of the hexview sample\n";
    f.close();
    if (!f) throw host_error("cannot write the sample file " + path + ": " + system_message(errno));
    return path;
}

}  // namespace

int run_demo() {
    style st = output_style();
    fs::path dir = make_temp_folder();
    struct cleanup {
        fs::path p;
        ~cleanup() {
            std::error_code ec;
            fs::remove_all(p, ec);
        }
    } remove_later{dir};
    std::string sample = write_sample(dir);
    std::string copy = (dir / "edited.bin").string();

    heading(st, "hexview dump " + sample + " --rows 6");
    run_dump(dump_options{sample, 0, 6, false, false, false});

    heading(st, "hexview search " + sample + " --ascii hexview --context");
    run_search(search_options{sample, "ascii", "hexview", 0, true, false});

    heading(st, "hexview info " + sample);
    run_info(sample, false);

    heading(st, "hexview edit " + sample + " --write 48454c4c4f@0x18 --insert 'de ad be ef'@0 --delete 0x30:4 --save " +
                    copy);
    edit_options e;
    e.file = sample;
    e.steps = {{edit_record::write, 0x18, "48454c4c4f", 0},
               {edit_record::insert, 0, "de ad be ef", 0},
               {edit_record::erase, 0x30, "", 4}};
    e.save = true;
    e.save_path = copy;
    run_edit(e);

    heading(st, "hexview dump " + copy + " --rows 4");
    run_dump(dump_options{copy, 0, 4, false, false, false});

    heading(st, "hexview compare " + sample + " " + copy + " (exit status 1: they differ)");
    int differ = run_compare(sample, copy, false);
    std::printf("\nexit status of the compare: %d\n", differ);
    return 0;
}
