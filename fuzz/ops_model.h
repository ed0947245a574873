// A plain model of the engine for the operation fuzzer: what every public
// function returns and what the error text holds afterwards, written from the
// documented rules without any of the engine's code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"

struct model_edit {
    int32_t kind;  // 0 write, 1 insert, 2 delete
    int64_t offset;
    bytes data;
    int64_t len;
};

struct model_run {
    int64_t offset;
    bytes this_bytes, other_bytes;
};

// The faults a save can meet, injected through the OS table.
enum class save_fault_kind { none, create, write, flush, size, replace };
struct save_fault {
    bool temp_refused = false;  // the folder takes no new file: the target is rewritten in place
    save_fault_kind kind = save_fault_kind::none;
};

struct model {
    // The open file.
    bool open = false;
    bool rw = false;
    std::string name;  // the path as opened
    bytes disk;        // the file as it was when opened, which the view shows
    bool view_lost = false;  // a failed in-place save released the view
    bool heap_copy = false;  // the content was copied to the heap before the view went
    bool only_copy_in_memory = false;  // a failed rewrite left that copy the only one
    // Another program shrank the file to whole pages: a read of the lost
    // pages fails the call, and once one did, every read of the file fails.
    bool shrink_pending = false;
    bool shrink_noticed = false;
    std::vector<model_edit> edits;
    size_t cap_edits = 0;        // records the edit array has room for
    std::optional<bytes> cache;  // the materialized content
    bool stale = false;
    std::string err;

    // The search tables.
    int64_t n_hits = 0;
    std::vector<int64_t> hits;  // the first 10000
    int64_t last_hit = -1;
    int64_t cursor = 0;
    int64_t patlen = 0;

    // The compare table.
    std::vector<model_run> runs;

    // Every allocation of the engine fails during the call being modelled.
    bool out_of_memory = false;

    bool has_view() const { return open && !disk.empty() && !view_lost; }
    int64_t file_size() const { return static_cast<int64_t>(disk.size()); }
};

void model_set_err(model &m, const std::string &message);
// The message of a call that met the shrunk file's lost pages.
std::string model_shrank_message(const model &m);
void model_release(model &m);
bytes model_apply_edits(const bytes &base, const std::vector<model_edit> &edits);
bool model_materialize(model &m);
int64_t model_size(const model &m);

int model_open(model &m, const std::string &path, bool rw);

std::string model_page(model &m, int64_t offset, int32_t rows, const char *mode, bool text_rows);
std::string model_staged_json(model &m);
int model_stage_hex(model &m, int32_t kind, const char *text, int64_t offset);
int model_delete(model &m, int64_t offset, int64_t len);
int model_discard(model &m);

int model_search(model &m, const char *mode, const char *pattern, int64_t start);
int32_t model_search_count(model &m);
int64_t model_search_next(model &m);
int64_t model_search_last(const model &m);
std::string model_search_field(model &m, int32_t index, const char *field);

int model_compare(model &m, const char *path);
int model_compare_count(model &m);
std::string model_compare_field(model &m, int index, const char *field);

std::string model_info_json(model &m);
std::string model_entropy_json(model &m);

// What a save does to the target on disk, for the fuzzer to check.
enum class target_after { untouched, emptied, content };
struct save_prediction {
    int result;
    std::string real;  // the target with symbolic links followed
    target_after target;
    bytes content;     // what a save writes
    bool reopen;       // the open file is opened again once the save is done
};
// Called before the save, while the disk still shows the state it starts
// from; when `reopen` is set, the caller opens m.name again with
// model_open once the save has run.
save_prediction model_save(model &m, const char *path, const save_fault &fault);
