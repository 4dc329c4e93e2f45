// The machine's clock and its event queue.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <atomic>
#include <chrono>

#include "hw/machine.hpp"

namespace hw {

class Clock {
public:
    explicit Clock(ClockMode mode);
    ~Clock();
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    ClockMode Mode() const { return mode_; }
    std::int64_t Now() const;

    // Runs fn at time `at` (or as soon as possible when that has passed),
    // never on the caller's stack: on the model thread in real time, inside
    // Advance/StepToNextEvent in manual mode. Events of equal time run in
    // the order they were scheduled.
    void Schedule(std::int64_t at, std::function<void()> fn);

    void Advance(std::chrono::nanoseconds by);
    bool StepToNextEvent();

    // Ends the model thread and drops pending events; later Schedule calls
    // are ignored. Called before the machine's parts go away.
    void Stop();

private:
    using Key = std::pair<std::int64_t, std::uint64_t>;  // time, order of scheduling
    bool RunOneDueBy(std::int64_t limit);
    void ThreadMain();

    const ClockMode mode_;
    const std::chrono::steady_clock::time_point start_;
    std::atomic<std::int64_t> manualNow_{0};

    std::mutex lock_;
    std::condition_variable wake_;
    std::map<Key, std::function<void()>> events_;
    std::uint64_t nextOrder_ = 0;
    bool stopped_ = false;
    std::mutex runLock_;  // one manual advance at a time keeps events in order
    std::thread thread_;
};

}  // namespace hw
