#include "private_hive.h"

#include <gtest/gtest.h>

#include <string>

#include <unistd.h>

extern "C" int CSurfaceEventsAndThreads(void);
extern "C" int CSurfaceRegistry(const char* subkey);

namespace {

// The C translation unit returns the number of the first step that failed.
TEST(CSurface, EventsThreadsAndCriticalSections) { EXPECT_EQ(CSurfaceEventsAndThreads(), 0); }

TEST(CSurface, Registry) {
    const std::string subkey = "SOFTWARE\\FerrolanTests\\CSurface" + std::to_string(getpid());
    EXPECT_EQ(CSurfaceRegistry(subkey.c_str()), 0);
}

}  // namespace
