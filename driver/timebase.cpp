/*
 * timebase.cpp: timestamps in nanoseconds since 1970-01-01 00:00 UTC that
 * follow the performance counter from one system-time reading on, so that
 * they never jump when the wall clock is set.
 */
#include "driver.h"

#define NS_PER_SECOND        1000000000ull
#define TICKS_PER_SECOND     10000000ull        /* system time: 100 ns */
#define SECONDS_1601_TO_1970 11644473600ull

/* Unsigned arithmetic throughout: the terms are meant to wrap in 64 bits. */
LONGLONG TimeBaseCompute(LONGLONG Counter, LONGLONG Frequency, LONGLONG SystemTime)
{
    ULONGLONG p = (ULONGLONG)Counter;
    ULONGLONG q = (ULONGLONG)Frequency;
    ULONGLONG base = ((ULONGLONG)SystemTime - (p / q) * TICKS_PER_SECOND) * 100 -
                     ((p % q) * NS_PER_SECOND) / q - SECONDS_1601_TO_1970 * NS_PER_SECOND;
    return (LONGLONG)base;
}

ULONGLONG TimestampFromCounter(LONGLONG Counter, LONGLONG Frequency, LONGLONG TimeBase)
{
    ULONGLONG p = (ULONGLONG)Counter;
    ULONGLONG q = (ULONGLONG)Frequency;
    return (p / q) * NS_PER_SECOND + ((p % q) * NS_PER_SECOND) / q + (ULONGLONG)TimeBase;
}
