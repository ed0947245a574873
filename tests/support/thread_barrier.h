// Holds each of `count` threads until all have arrived, as often as needed.
// Built on a mutex and a condition variable: std::barrier of MinGW's libstdc++
// sometimes never wakes its waiters.
#pragma once

#include <condition_variable>
#include <mutex>

class thread_barrier {
public:
    explicit thread_barrier(int count) : count_(count) {}

    void arrive_and_wait() {
        std::unique_lock lock(mutex_);
        unsigned long arrived_in = generation_;
        if (++waiting_ == count_) {
            waiting_ = 0;
            generation_++;
            all_arrived_.notify_all();
            return;
        }
        all_arrived_.wait(lock, [&] { return generation_ != arrived_in; });
    }

private:
    std::mutex mutex_;
    std::condition_variable all_arrived_;
    int count_;
    int waiting_ = 0;
    unsigned long generation_ = 0;
};
