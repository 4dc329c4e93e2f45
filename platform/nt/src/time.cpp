#include <nt/time.h>

#include <chrono>

namespace nt {

LONGLONG QueryPerformanceCounter() noexcept {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

LONGLONG QueryPerformanceFrequency() noexcept { return kPerformanceFrequency; }

LONGLONG QuerySystemTime() noexcept {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100 + kUnixEpochAs1601;
}

ULONGLONG QueryTickCount() noexcept {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace nt
