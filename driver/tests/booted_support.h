// What the tests that boot fl.sys on a machine share: waiting for the
// machine's threads to get somewhere, and the hive they boot on.
#pragma once

#include <nt/hive.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// Polls `done` until it holds or `limit` has passed. Generous by default:
// these tests run real threads on a loaded machine, and a slow pass is not
// a failure.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(120))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::shared_ptr<nt::Hive> MachineHive()
{
    std::shared_ptr<nt::Hive> hive;
    EXPECT_EQ(nt::Hive::Machine(&hive), STATUS_SUCCESS);
    return hive;
}

inline void DeleteTree(nt::RegistryKey& key)
{
    std::string name;
    while (NT_SUCCESS(key.EnumerateSubkey(0, &name))) {
        nt::Ref<nt::RegistryKey> child;
        ASSERT_EQ(key.OpenSubkey(name, &child), STATUS_SUCCESS);
        DeleteTree(*child);
    }
    ASSERT_EQ(key.Delete(), STATUS_SUCCESS);
}
