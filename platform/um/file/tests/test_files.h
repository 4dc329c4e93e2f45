// A fresh directory per test, under the test's state folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace um::file::test {

inline std::filesystem::path FreshDirectory() {
    const char* base = std::getenv("FL_TEST_TMP");
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::path dir = std::filesystem::path(base != nullptr ? base : "/tmp") /
                                "um_file" / (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::vector<char> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The Windows form of a Linux name.
inline std::string WindowsName(const std::filesystem::path& path) {
    std::string name = "Z:";
    for (char c : path.string()) name += c == '/' ? '\\' : c;
    return name;
}

}  // namespace um::file::test
