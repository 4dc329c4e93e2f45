// Time as Windows counts it: a monotonic performance counter with its
// frequency, and system time in 100 ns units since 1601-01-01 UTC.
#pragma once

#include <ntdef.h>

namespace nt {

// 10 MHz, the frequency current Windows reports: one count per 100 ns.
inline constexpr LONGLONG kPerformanceFrequency = 10'000'000;

// Seconds between 1601-01-01 and 1970-01-01, in 100 ns units.
inline constexpr LONGLONG kUnixEpochAs1601 = 116'444'736'000'000'000;

// Monotonic, never goes back, counts kPerformanceFrequency per second.
LONGLONG QueryPerformanceCounter() noexcept;
LONGLONG QueryPerformanceFrequency() noexcept;

// Wall-clock time, 100 ns units since 1601-01-01 UTC, at full precision.
LONGLONG QuerySystemTime() noexcept;

// Milliseconds on the monotonic clock (GetTickCount64).
ULONGLONG QueryTickCount() noexcept;

}  // namespace nt
