#include "core/long_call.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "core/error.h"
#include "core/thread_buffers.h"

void (*hv_progress_observer)(const hv_progress &p) = nullptr;

namespace {

std::mutex engine_lock;
// Whether the calling thread holds engine_lock through an hv_call. A plain
// flag: it is read and written by its own thread only.
thread_local bool holds_lock = false;

// The running long call as one word: its ticket (a number new for every long
// call) times 256 plus its op. HV_OP_NONE in the low byte when none runs.
std::atomic<uint64_t> running{0};
// The ticket of the long call that hx_cancel asked to stop; a ticket is never
// used twice, so a late cancel cannot stop the next call.
std::atomic<uint64_t> cancel_ticket{0};
std::atomic<int64_t> done_bytes{0};
std::atomic<int64_t> total_bytes{0};
std::atomic<int64_t> hit_count{0};
uint64_t last_ticket = 0;  // under engine_lock

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free,
              "hx_cancel must stay async-signal-safe");

hv_long_op op_of(uint64_t word) { return static_cast<hv_long_op>(word & 0xff); }

const char *op_name(hv_long_op op) {
    switch (op) {
    case HV_OP_SEARCH:
        return "search";
    case HV_OP_COMPARE:
        return "compare";
    case HV_OP_SAVE:
        return "save";
    default:
        return "";
    }
}

// What each long call works on, besides the open file every one of them reads.
uint32_t claims_of(hv_long_op op) {
    switch (op) {
    case HV_OP_SEARCH:
        return HV_TOUCH_FILE | HV_TOUCH_HITS;
    case HV_OP_COMPARE:
        return HV_TOUCH_FILE | HV_TOUCH_RUNS;
    case HV_OP_SAVE:
        return HV_TOUCH_FILE | HV_TOUCH_EDITS;
    default:
        return 0;
    }
}

void report(hv_long_op op) {
    if (hv_progress_observer)
        hv_progress_observer(hv_progress{op, done_bytes.load(), total_bytes.load(), hit_count.load()});
}

}  // namespace

hv_call::hv_call(uint32_t touches) : refused_(false) {
    engine_lock.lock();
    holds_lock = true;
    hv_long_op op = op_of(running.load());
    if (claims_of(op) & touches) {
        hv_err("busy: a %s is running (cancel it or wait for its end)", op_name(op));
        refused_ = true;
    }
}

hv_call::~hv_call() {
    holds_lock = false;
    engine_lock.unlock();
}

hv_unlocked::hv_unlocked() : held_(holds_lock) {
    if (!held_) return;
    holds_lock = false;
    engine_lock.unlock();
}

hv_unlocked::~hv_unlocked() {
    if (!held_) return;
    engine_lock.lock();
    holds_lock = true;
}

hv_long_call::hv_long_call(hv_long_op op, int64_t total) : ticket_(++last_ticket), total_(total < 0 ? 0 : total) {
    done_bytes.store(0);
    total_bytes.store(total_);
    hit_count.store(0);
    running.store(ticket_ << 8 | static_cast<uint64_t>(op));
    report(op);
}

hv_long_call::~hv_long_call() { running.store(ticket_ << 8 | HV_OP_NONE); }

void hv_long_call::advance(int64_t done, int64_t hits) {
    if (done > total_) done = total_;
    if (done > done_) done_ = done;
    done_bytes.store(done_);
    hit_count.store(hits);
    report(op_of(running.load()));
}

void hv_long_call::finish(int64_t hits) { advance(total_, hits); }

bool hv_long_call::cancelled() const { return cancel_ticket.load() == ticket_; }

int hv_long_call::fail_cancelled() const {
    hv_err("cancelled: %s stopped before its end", op_name(op_of(running.load())));
    return -1;
}

int32_t hv_cancel() {
    uint64_t word = running.load();
    if (op_of(word) == HV_OP_NONE) return -1;
    cancel_ticket.store(word >> 8);
    return 0;
}

const char *hv_progress_json() {
    char *out = hv_thread_buffer(HV_BUF_PROGRESS);
    if (!out) return "";
    hv_progress p{HV_OP_NONE, 0, 0, 0};
    // The word is read again after the numbers: when another call began or
    // ended between, the numbers may be that call's, and they are read again.
    for (int tries = 0; tries < 4; tries++) {
        uint64_t word = running.load();
        if (op_of(word) == HV_OP_NONE) break;
        hv_progress seen{op_of(word), done_bytes.load(), total_bytes.load(), hit_count.load()};
        if (running.load() == word) {
            p = seen;
            break;
        }
    }
    std::snprintf(out, hv_thread_buffer_size(HV_BUF_PROGRESS),
                  "{\"op\":\"%s\",\"done\":%" PRId64 ",\"total\":%" PRId64 ",\"hits\":%" PRId64 "}", op_name(p.op),
                  p.done, p.total, p.hits);
    return out;
}
