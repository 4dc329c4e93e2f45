// Points the machine hive of the test process at a fresh file before any
// registry call opens it, so runs never see each other's keys.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class PrivateHive : public testing::Environment {
public:
    void SetUp() override {
        const char* base = std::getenv("FL_TEST_TMP");
        const std::filesystem::path dir =
            base != nullptr ? std::filesystem::path(base) : std::filesystem::temp_directory_path() / "fl-um-tests";
        std::filesystem::create_directories(dir);
        file_ = dir / ("registry-" + std::to_string(getpid()) + ".db");
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file_.string() + suffix);
        ::setenv("FL_REGISTRY", file_.c_str(), 1);
    }
    void TearDown() override {
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file_.string() + suffix);
    }
    const std::filesystem::path& File() const { return file_; }

private:
    std::filesystem::path file_;
};

inline PrivateHive* const kPrivateHive =
    static_cast<PrivateHive*>(testing::AddGlobalTestEnvironment(new PrivateHive));
