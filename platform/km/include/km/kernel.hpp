// What the kernel services record for inspection by the machine and tests.
#pragma once

#include <ntdef.h>

#include <cstddef>
#include <string>
#include <vector>

namespace km {

// The timer resolution in force (100 ns units) and the number of
// ExSetTimerResolution requests that hold it.
ULONG TimerResolution();
size_t TimerResolutionRequests();

// The system threads (PsCreateSystemThread) whose start routine runs now:
// each one's name and the priority it was last given.
struct SystemThread {
    std::string name;
    LONG priority;
};
std::vector<SystemThread> SystemThreads();

// Test hook: the next `count` ObReferenceObjectByHandle calls on a thread's
// handle fail with STATUS_INSUFFICIENT_RESOURCES, as they may on Windows
// under memory pressure.
void FailThreadReferences(size_t count);

// Test hook: system threads named `name` stop at their next
// KeDelayExecutionThread and stay there until ReleaseHeldThreads, as a
// thread held up by a slow device would. HeldThreadCount: how many wait
// there now.
void HoldThreadsAtDelay(const std::string& name);
void ReleaseHeldThreads();
size_t HeldThreadCount();

}  // namespace km
