#include "clock.hpp"

#include <pthread.h>

namespace hw {

Clock::Clock(ClockMode mode) : mode_(mode), start_(std::chrono::steady_clock::now()) {
    if (mode_ == ClockMode::RealTime) thread_ = std::thread([this] { ThreadMain(); });
}

Clock::~Clock() { Stop(); }

std::int64_t Clock::Now() const {
    if (mode_ == ClockMode::Manual) return manualNow_.load(std::memory_order_acquire);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_)
        .count();
}

void Clock::Schedule(std::int64_t at, std::function<void()> fn) {
    {
        std::lock_guard lock(lock_);
        if (stopped_) return;
        events_.emplace(Key{at, nextOrder_++}, std::move(fn));
    }
    wake_.notify_one();
}

void Clock::Stop() {
    {
        std::lock_guard lock(lock_);
        stopped_ = true;
        events_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool Clock::RunOneDueBy(std::int64_t limit) {
    std::function<void()> fn;
    {
        std::lock_guard lock(lock_);
        if (events_.empty() || events_.begin()->first.first > limit) return false;
        auto node = events_.extract(events_.begin());
        // Time never goes back: an event scheduled in the past runs "now".
        if (node.key().first > manualNow_.load(std::memory_order_relaxed))
            manualNow_.store(node.key().first, std::memory_order_release);
        fn = std::move(node.mapped());
    }
    fn();
    return true;
}

void Clock::Advance(std::chrono::nanoseconds by) {
    if (mode_ != ClockMode::Manual) return;
    std::lock_guard run(runLock_);
    const std::int64_t target = manualNow_.load(std::memory_order_relaxed) + by.count();
    while (RunOneDueBy(target)) {
    }
    if (target > manualNow_.load(std::memory_order_relaxed)) manualNow_.store(target, std::memory_order_release);
}

bool Clock::StepToNextEvent() {
    if (mode_ != ClockMode::Manual) return false;
    std::lock_guard run(runLock_);
    return RunOneDueBy(INT64_MAX);
}

void Clock::ThreadMain() {
    pthread_setname_np(pthread_self(), "hw-clock");  // so top -H, perf and gdb show the model's share
    std::unique_lock lock(lock_);
    while (!stopped_) {
        if (events_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const std::int64_t due = events_.begin()->first.first;
        const std::int64_t now = Now();
        if (due > now) {
            wake_.wait_for(lock, std::chrono::nanoseconds(due - now));
            continue;
        }
        auto node = events_.extract(events_.begin());
        lock.unlock();
        node.mapped()();
        lock.lock();
    }
}

}  // namespace hw
