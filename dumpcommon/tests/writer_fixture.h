// A writer test runs once per I/O engine, in a fresh directory.
#pragma once

#include "native_file.h"

#include <nt/object.h>
#include <um/file_testing.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace dumpcommon_test {

namespace hooks = um::file::testing;

inline constexpr ULONG kDefaultBufferSize = 262144;
inline constexpr ULONG kDefaultBufferCount = 16;

class WriterTest : public ::testing::TestWithParam<hooks::Engine> {
protected:
    void SetUp() override {
        hooks::Reset();
        if (GetParam() == hooks::Engine::Uring && !hooks::UringAvailable()) {
            GTEST_SKIP() << "io_uring cannot be set up in this process";
        }
        hooks::ForceEngine(GetParam());
        const char* base = std::getenv("FL_TEST_TMP");
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        dir_ = std::filesystem::path(base != nullptr ? base : "/tmp") / "writer" / name;
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        handles_ = nt::OpenHandleCount();
    }

    void TearDown() override {
        hooks::Reset();
        if (!IsSkipped()) {
            EXPECT_EQ(nt::OpenHandleCount(), handles_) << "the writer left a handle open";
        }
    }

    // A name in the Windows form, which the writer's drive-letter test sees.
    std::string Name(const std::string& leaf) const {
        std::string name = "Z:";
        for (char c : (dir_ / leaf).string()) name += c == '/' ? '\\' : c;
        return name;
    }
    std::filesystem::path Path(const std::string& leaf) const { return dir_ / leaf; }

    static std::vector<char> ReadAll(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // A recognisable stream: byte i of the stream is Pattern(i).
    static char Pattern(uint64_t i) { return static_cast<char>((i * 131) ^ (i >> 9)); }
    static std::vector<char> Stream(uint64_t from, uint64_t length) {
        std::vector<char> bytes(length);
        for (uint64_t i = 0; i < length; ++i) bytes[i] = Pattern(from + i);
        return bytes;
    }

    // Appends `total` bytes of the stream in runs of `run` bytes.
    static void Append(NativeFile* file, uint64_t& at, uint64_t total, ULONG run) {
        while (total > 0) {
            const ULONG n = static_cast<ULONG>(std::min<uint64_t>(run, total));
            const auto bytes = Stream(at, n);
            ASSERT_EQ(native_file_write(file, bytes.data(), n), NATIVE_FILE_SUCCESS);
            at += n;
            total -= n;
        }
    }

    // Writes logged for one file.
    std::vector<hooks::WriteRecord> WritesTo(const std::string& leaf) const {
        std::vector<hooks::WriteRecord> writes;
        for (const auto& w : hooks::Writes()) {
            if (w.path == Path(leaf).string()) writes.push_back(w);
        }
        return writes;
    }
    std::vector<hooks::OpenRecord> OpensOf(const std::string& leaf) const {
        std::vector<hooks::OpenRecord> opens;
        for (const auto& o : hooks::Opens()) {
            if (o.path == Path(leaf).string()) opens.push_back(o);
        }
        return opens;
    }

    std::filesystem::path dir_;
    size_t handles_ = 0;
};

inline std::string EngineName(const ::testing::TestParamInfo<hooks::Engine>& info) {
    return info.param == hooks::Engine::Uring ? "IoUring" : "WorkerThread";
}

}  // namespace dumpcommon_test
