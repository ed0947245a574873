// hexview edit: stage edits in the order given, list them, save on request.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "quillmar_hexview.h"

namespace {

void print_staged(bool json) {
    std::string list = hx_staged_json();
    if (json) {
        std::printf("%s\n", list.c_str());
        return;
    }
    style st = output_style();
    for (const nlohmann::json &e : read_library_json(list)) {
        std::string bytes = e.value("bytes", "");
        std::printf("%-7s %s  len %lld  %s\n", st.bold(e.at("op").get<std::string>()).c_str(),
                    e.at("offset").get<std::string>().c_str(), static_cast<long long>(e.at("len").get<int64_t>()),
                    bytes.c_str());
    }
}

}  // namespace

int run_edit(const edit_options &o) {
    open_rw_existing_or_fail(o.file);
    for (const edit_record &e : o.steps)
        if (stage_edit(e) != 0) fail_with_library_error("cannot stage edit");
    print_staged(o.json);
    // The size is exact once the content is built (a page builds it, and
    // costs by the edits, not the file); before, a delete past the end
    // counts bytes it will not remove.
    hx_page(0, 1, nullptr);
    int64_t new_size = hx_file_size();
    if (o.dry_run || !o.save) {
        if (!o.json)
            std::printf("%s: nothing saved%s (size would be %lld bytes)\n", o.dry_run ? "dry run" : "not saved",
                        o.dry_run ? "" : "; add --save to write the edits", static_cast<long long>(new_size));
        hx_close();
        return 0;
    }
    run_long_call("save failed", o.json, [&] { return hx_save(o.save_path.empty() ? nullptr : o.save_path.c_str()); });
    if (!o.json)
        std::printf("saved %lld bytes to %s\n", static_cast<long long>(new_size),
                    o.save_path.empty() ? o.file.c_str() : o.save_path.c_str());
    hx_close();
    return 0;
}
