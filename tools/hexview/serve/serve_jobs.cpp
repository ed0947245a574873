// hexview serve: the long engine calls (search, compare, save) and the
// server's own hash run on a thread of their own, one at a time, so the
// workers stay free for pages, the inspector and the job's own progress
// while one runs. The request that
// starts a job waits a moment for it: a short job answers as any other
// route; a longer one answers 202 with its progress, and the page asks
// GET /api/job until the job's end brings the answer it would have had.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "quillmar_hexview.h"
#include "serve/serve.h"

namespace {

using clock_type = std::chrono::steady_clock;

// How long a start request waits for its job before answering 202.
constexpr auto kStartWait = std::chrono::milliseconds(200);
// A job nobody asked about for this long lost its page (a crashed browser;
// a closed tab cancels at once): it is cancelled, unless it is a save, which
// the person confirmed and which runs to its end whatever its page does.
// Browsers slow the timers of a hidden tab to one a second, and after five
// minutes to one a minute.
constexpr auto kUnwatched = std::chrono::seconds(75);

// The job running or last run. `lock` guards it; the routes' engine lock,
// when held too, is taken first.
struct job_record {
    std::mutex lock;
    std::condition_variable ended;
    int64_t id = 0;
    std::string op;  // "search", "compare", "save" or "hash"
    bool running = false;
    std::shared_ptr<job_progress> own;  // a call of the server's own; null for the engine's
    std::atomic<bool> cancel_asked{false};
    int64_t done = 0, total = 0, hits = 0;  // the furthest progress seen
    clock_type::time_point started, seen;
    int status = 0;     // once ended: the answer's status and body
    std::string body;
    std::string state;  // "running", "done", "failed" or "cancelled"
    bool delivered = false;  // its answer reached a page (the start request, or one asking after its end)
    std::thread thread;
};

job_record job;

// Takes in the engine's progress while the job's call runs; the numbers only
// go up, also across the moments before and after the call when the engine
// reports none. Called with job.lock held.
void take_progress() {
    if (job.own) {
        job.done = std::max(job.done, job.own->done.load());
        job.total = std::max(job.total, job.own->total.load());
        return;
    }
    nlohmann::json p = nlohmann::json::parse(hx_progress_json(), nullptr, false);
    if (!p.is_object() || p.value("op", "") != job.op) return;
    job.done = std::max(job.done, p.value("done", int64_t{0}));
    job.total = std::max(job.total, p.value("total", int64_t{0}));
    job.hits = std::max(job.hits, p.value("hits", int64_t{0}));
}

// Asks the running call to stop: the engine's, or the server's own.
// Called with job.lock held.
void ask_cancel() {
    if (job.own) job.own->cancelled = true;
    hx_cancel();
}

std::string status_json() {
    if (job.id == 0) return "{\"job\":0,\"op\":\"\",\"state\":\"none\"}";
    if (job.running) take_progress();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - job.started).count();
    std::string s = "{\"job\":" + std::to_string(job.id) + ",\"op\":\"" + job.op + "\",\"state\":\"" + job.state +
                    "\",\"done\":" + std::to_string(job.done) + ",\"total\":" + std::to_string(job.total) +
                    ",\"hits\":" + std::to_string(job.hits) + ",\"elapsed_ms\":" + std::to_string(elapsed);
    if (!job.running)
        s += ",\"status\":" + std::to_string(job.status) + ",\"unseen\":" + (job.delivered ? "false" : "true") +
             ",\"answer\":" + job.body;
    return s + "}";
}

// The job's thread: the long call without the engine lock, then its answer
// with it.
void run(std::mutex &engine_lock, const serve_job &work) {
    int rc = work.call();
    std::lock_guard<std::mutex> hold_engine(engine_lock);
    std::lock_guard<std::mutex> hold(job.lock);
    take_progress();
    try {
        job.body = work.finish(rc);
        job.status = 200;
        job.state = "done";
        job.done = job.total;  // whole
    } catch (const http_error &e) {
        job.status = e.status;
        job.body = "{\"error\":" + json_quote(e.what()) + "}";
        job.state = std::string_view(e.what()).starts_with("cancelled") ? "cancelled" : "failed";
    } catch (const std::exception &e) {
        job.status = 400;
        job.body = "{\"error\":" + json_quote(e.what()) + "}";
        job.state = "failed";
    }
    job.running = false;
    job.ended.notify_all();
}

}  // namespace

void refuse_during_job() {
    std::lock_guard<std::mutex> hold(job.lock);
    if (job.running)
        throw http_error(409, "busy: a " + job.op + " is running (cancel it or wait for its end)");
}

void start_job(std::unique_lock<std::mutex> &engine, const char *op, serve_job work, http_response &res) {
    std::unique_lock<std::mutex> hold(job.lock);
    if (job.running) throw http_error(409, "busy: a " + job.op + " is running (cancel it or wait for its end)");
    if (job.thread.joinable()) job.thread.join();  // ended: it takes no lock any more
    job.id++;
    job.op = op;
    job.running = true;
    job.cancel_asked = false;
    job.done = job.total = job.hits = 0;
    job.started = job.seen = clock_type::now();
    job.state = "running";
    job.delivered = false;
    job.own = work.progress;
    job.thread = std::thread(run, std::ref(*engine.mutex()), std::move(work));
    int64_t id = job.id;
    engine.unlock();  // the job takes it at its end
    job.ended.wait_for(hold, kStartWait, [id] { return job.id != id || !job.running; });
    if (job.id == id && !job.running) {
        job.delivered = true;
        res.status = job.status;
        res.set_content(job.body, "application/json");
        return;
    }
    res.status = 202;
    res.set_content(status_json(), "application/json");
}

std::string job_status() {
    std::lock_guard<std::mutex> hold(job.lock);
    job.seen = clock_type::now();
    std::string status = status_json();
    if (!job.running) job.delivered = true;
    return status;
}

// Asks the engine to stop; should the call not have begun yet, watch_jobs
// asks again until it has.
bool cancel_job(int64_t id) {
    std::lock_guard<std::mutex> hold(job.lock);
    if (!job.running || (id != 0 && id != job.id)) return false;
    job.cancel_asked = true;
    ask_cancel();
    return true;
}

void watch_jobs() {
    std::lock_guard<std::mutex> hold(job.lock);
    if (!job.running) return;
    if (!job.cancel_asked && job.op != "save" && clock_type::now() - job.seen > kUnwatched) {
        std::fprintf(stderr, "hexview: no page asked about the running %s for %lld s: cancelled\n", job.op.c_str(),
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kUnwatched).count()));
        job.cancel_asked = true;
    }
    if (job.cancel_asked) ask_cancel();
}

void end_jobs() {
    {
        std::lock_guard<std::mutex> hold(job.lock);
        if (job.running) job.cancel_asked = true;
    }
    for (;;) {
        std::unique_lock<std::mutex> hold(job.lock);
        if (!job.running) break;
        ask_cancel();
        job.ended.wait_for(hold, std::chrono::milliseconds(50));
    }
    if (job.thread.joinable()) job.thread.join();
}
