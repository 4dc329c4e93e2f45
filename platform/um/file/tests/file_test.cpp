// Opening, synchronous writes, the file pointer and the volume's geometry.
#include <windows.h>

#include <nt/object.h>
#include <um/file_testing.h>

#include "test_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace {

using namespace um::file::test;
namespace testing_hooks = um::file::testing;

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing_hooks::Reset();
        dir_ = FreshDirectory();
        handles_ = nt::OpenHandleCount();
    }
    void TearDown() override {
        testing_hooks::Reset();
        EXPECT_EQ(nt::OpenHandleCount(), handles_) << "a handle was left open";
    }

    HANDLE Create(const std::string& name, DWORD disposition, DWORD flags = 0,
                  DWORD access = GENERIC_WRITE) {
        return CreateFileA(name.c_str(), access, 0, nullptr, disposition, flags, nullptr);
    }

    std::filesystem::path dir_;
    size_t handles_ = 0;
};

TEST_F(FileTest, WindowsAndLinuxNamesReachTheSameFile) {
    const auto path = dir_ / "a.bin";
    HANDLE h = Create(WindowsName(path), CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "windows", 7, &written, nullptr));
    EXPECT_EQ(written, 7u);
    ASSERT_TRUE(CloseHandle(h));

    // The Linux form opens it again; OPEN_ALWAYS finds it and says so.
    h = Create(path.string(), OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    LARGE_INTEGER end{};
    LARGE_INTEGER zero{};
    ASSERT_TRUE(SetFilePointerEx(h, zero, &end, FILE_END));
    EXPECT_EQ(end.QuadPart, 7);
    ASSERT_TRUE(WriteFile(h, "+linux", 6, &written, nullptr));
    ASSERT_TRUE(CloseHandle(h));
    const auto bytes = ReadAll(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "windows+linux");
}

TEST_F(FileTest, DispositionsBehaveAsOnWindows) {
    const auto path = dir_ / "d.bin";
    EXPECT_EQ(Create(path.string(), OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE h = Create(path.string(), CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "old content", 11, &written, nullptr));
    CloseHandle(h);
    EXPECT_EQ(Create(path.string(), CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    // CREATE_ALWAYS replaces an existing file and reports that it existed.
    h = Create(path.string(), CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);

    EXPECT_EQ(Create((dir_ / "missing" / "x.bin").string(), CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Create("C:\\x.bin", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Create(path.string(), 77), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(FileTest, FilePointerAndEndOfFile) {
    const auto path = dir_ / "p.bin";
    HANDLE h = Create(path.string(), CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &written, nullptr));

    LARGE_INTEGER to{};
    LARGE_INTEGER now{};
    to.QuadPart = 4;
    ASSERT_TRUE(SetFilePointerEx(h, to, &now, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(std::filesystem::file_size(path), 4u);

    // Moving past the end and cutting there extends the file with zeros.
    to.QuadPart = 4;
    ASSERT_TRUE(SetFilePointerEx(h, to, &now, FILE_CURRENT));
    EXPECT_EQ(now.QuadPart, 8);
    ASSERT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(std::filesystem::file_size(path), 8u);

    to.QuadPart = -9;
    EXPECT_FALSE(SetFilePointerEx(h, to, &now, FILE_CURRENT));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_FALSE(SetFilePointerEx(h, to, &now, 9));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(h);

    const auto bytes = ReadAll(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string("0123\0\0\0\0", 8));

    // A handle opened for reading only may not cut the file.
    h = Create(path.string(), OPEN_EXISTING, 0, GENERIC_READ);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SetEndOfFile(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
}

TEST_F(FileTest, NotAFileHandle) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(event, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    LARGE_INTEGER zero{};
    EXPECT_FALSE(SetFilePointerEx(event, zero, nullptr, FILE_BEGIN));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
}

// Bytes per sector is what direct I/O needs on the volume, as the kernel
// states it for a regular file there.
TEST_F(FileTest, BytesPerSectorIsTheDirectIoAlignment) {
    const auto probe = dir_ / "probe";
    { std::ofstream(probe) << "x"; }
    uint32_t expected = 512;
#ifdef STATX_DIOALIGN
    struct statx info {};
    if (statx(AT_FDCWD, probe.c_str(), 0, STATX_DIOALIGN, &info) == 0 &&
        (info.stx_mask & STATX_DIOALIGN) && info.stx_dio_offset_align != 0) {
        expected = std::max(info.stx_dio_offset_align, info.stx_dio_mem_align);
    }
#endif
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA((WindowsName(dir_) + "\\").c_str(), &sectorsPerCluster,
                                  &bytesPerSector, &freeClusters, &totalClusters));
    EXPECT_EQ(bytesPerSector, expected);
    EXPECT_GE(sectorsPerCluster, 1u);
    EXPECT_GT(totalClusters, 0u);
    EXPECT_LE(freeClusters, totalClusters);

    // The drive root, as the writer asks for it, answers too.
    ASSERT_TRUE(GetDiskFreeSpaceA("Z:\\", &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                  &totalClusters));
    EXPECT_GE(bytesPerSector, 512u);
    EXPECT_EQ(bytesPerSector & (bytesPerSector - 1), 0u) << "a power of two";

    EXPECT_FALSE(GetDiskFreeSpaceA("C:\\", &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                   &totalClusters));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileTest, NoBufferingOpensDirectAndFallsBackWhereRefused) {
    const auto path = dir_ / "direct.bin";
    HANDLE h = Create(path.string(), CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const bool direct = testing_hooks::IsDirect(h);
    DWORD written = 0;
    if (direct) {
        // Unbuffered writes keep Windows' rule: unaligned sizes are refused.
        EXPECT_FALSE(WriteFile(h, "abc", 3, &written, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    CloseHandle(h);

    testing_hooks::RefuseDirectIo(true);
    h = Create(path.string(), CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(testing_hooks::IsDirect(h));
    EXPECT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    CloseHandle(h);
    EXPECT_EQ(std::filesystem::file_size(path), 3u);
}

}  // namespace
