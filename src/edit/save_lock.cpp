#include "edit/save_lock.h"

#include <chrono>
#include <thread>

#include "core/open.h"

namespace {

constexpr int kPollMs = 10;

bool still_named(const char *real, const hv_path_info &locked) {
    hv_path_info now{};
    return hv_os->path_info(real, &now) && hv_same_file(now, locked);
}

}  // namespace

hv_lock_state hv_save_lock::take(const char *real, const hv_path_info *expected, int wait_ms) {
    for (int waited = 0;; waited += kPollMs) {
        handle_.close();
        handle_.h = hv_os->open_nofollow(real);
        if (handle_.h == HV_NO_HANDLE || !hv_os->handle_info(handle_.h, &info_)) return hv_lock_state::failed;
        if (expected && !hv_same_file(info_, *expected)) return hv_lock_state::not_the_file;
        hv_lock_result r = hv_os->try_lock(handle_.h);
        if (r == HV_LOCK_FAILED) return hv_lock_state::failed;
        if (r == HV_LOCK_OK) {
            // A save that renamed a new file over the name while we waited
            // leaves us holding the old one: look again at what is there.
            if (still_named(real, info_)) return hv_lock_state::locked;
            if (expected) return hv_lock_state::not_the_file;
        }
        if (waited >= wait_ms) {
            handle_.close();
            return hv_lock_state::held;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}
