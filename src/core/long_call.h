// The long calls (search, compare, save): which one runs, how far it got, the
// request to stop it, and the one lock that orders every other call around it.
//
// Every entry point but the error text, cancel and progress holds the engine
// lock for its whole life. A long call holds it too, except while it scans or
// streams bytes: then it changes nothing shared, so the calls that do not
// touch what it works on (pages, the size, the staged list, ...) run beside it.
#pragma once

#include <cstdint>

enum hv_long_op : int32_t {
    HV_OP_NONE = 0,
    HV_OP_SEARCH = 1,
    HV_OP_COMPARE = 2,
    HV_OP_SAVE = 3,
};

// What an entry point touches, so one that touches what the running long call
// works on is refused rather than run beside it.
enum hv_touch : uint32_t {
    HV_TOUCH_NOTHING = 0,  // reads only what no long call changes while it runs
    HV_TOUCH_FILE = 1,     // the open file itself: opening, closing, and every long call
    HV_TOUCH_EDITS = 2,    // the staged edits (a save writes them)
    HV_TOUCH_HITS = 4,     // the search's hit table
    HV_TOUCH_RUNS = 8,     // the compare's run table
};

// One entry point's hold on the engine for its life. refused() when the call
// conflicts with the long call running on another thread; the message
// "busy: a <op> is running (cancel it or wait for its end)" is then recorded.
class hv_call {
public:
    explicit hv_call(uint32_t touches);
    ~hv_call();
    hv_call(const hv_call &) = delete;
    hv_call &operator=(const hv_call &) = delete;
    bool refused() const { return refused_; }

private:
    bool refused_;
};

// The long call running on the calling thread, from its construction (made
// with the engine lock held) to its end. It publishes progress, and tells
// whether hx_cancel asked it to stop.
class hv_long_call {
public:
    hv_long_call(hv_long_op op, int64_t total);
    ~hv_long_call();
    hv_long_call(const hv_long_call &) = delete;
    hv_long_call &operator=(const hv_long_call &) = delete;

    // Bytes done so far (clipped to the total; never goes down) and, for a
    // search, the hits found so far.
    void advance(int64_t done, int64_t hits = 0);
    // The work ended whole: done becomes the total, hits the final count.
    void finish(int64_t hits = 0);
    bool cancelled() const;
    // Records "cancelled: <op> stopped before its end"; returns -1.
    int fail_cancelled() const;

private:
    uint64_t ticket_;
    int64_t total_;
    int64_t done_ = 0;
};

// Lets go of the engine lock for the object's life when the calling thread
// holds it (an entry point's hv_call), so other calls run beside a scan.
class hv_unlocked {
public:
    hv_unlocked();
    ~hv_unlocked();
    hv_unlocked(const hv_unlocked &) = delete;
    hv_unlocked &operator=(const hv_unlocked &) = delete;

private:
    bool held_;
};

// hx_cancel: 0 when a long call was running (it stops at its next check), -1
// otherwise. Async-signal-safe: it loads and stores lock-free atomics only.
int32_t hv_cancel();

// hx_progress_json, in the calling thread's buffer; never waits.
const char *hv_progress_json();

// What one progress report says.
struct hv_progress {
    hv_long_op op;
    int64_t done;
    int64_t total;
    int64_t hits;
};

// When set (by tests), called on the long call's own thread with every report,
// the last one of a whole run included, and with the lock as the call holds it.
extern void (*hv_progress_observer)(const hv_progress &p);
