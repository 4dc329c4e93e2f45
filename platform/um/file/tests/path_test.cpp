// Windows names on a Linux file system: drive Z: is the root.
#include <windows.h>

#include "path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using um::file::FullWindowsPath;
using um::file::LinuxPathFromFull;

TEST(FullWindowsPath, ResolvesEveryFormToDriveZ) {
    const std::string cwd = "/home/op/captures";
    EXPECT_EQ(FullWindowsPath("x.pcap", cwd), "Z:\\home\\op\\captures\\x.pcap");
    EXPECT_EQ(FullWindowsPath("sub\\x.pcap", cwd), "Z:\\home\\op\\captures\\sub\\x.pcap");
    EXPECT_EQ(FullWindowsPath("/tmp/x.pcap", cwd), "Z:\\tmp\\x.pcap");
    EXPECT_EQ(FullWindowsPath("\\tmp\\x.pcap", cwd), "Z:\\tmp\\x.pcap");
    EXPECT_EQ(FullWindowsPath("z:\\tmp\\x.pcap", cwd), "Z:\\tmp\\x.pcap");
    EXPECT_EQ(FullWindowsPath("Z:/tmp//./x.pcap", cwd), "Z:\\tmp\\x.pcap");
    EXPECT_EQ(FullWindowsPath("..\\..\\x.pcap", cwd), "Z:\\home\\x.pcap");
    EXPECT_EQ(FullWindowsPath("Z:x.pcap", cwd), "Z:\\home\\op\\captures\\x.pcap");
}

TEST(FullWindowsPath, DotDotNeverClimbsAboveTheRoot) {
    EXPECT_EQ(FullWindowsPath("Z:\\..\\..\\x", "/"), "Z:\\x");
    EXPECT_EQ(FullWindowsPath("..", "/"), "Z:\\");
    EXPECT_EQ(FullWindowsPath("Z:\\", "/"), "Z:\\");
}

TEST(FullWindowsPath, KeepsOtherDrivesNetworkAndDeviceNames) {
    EXPECT_EQ(FullWindowsPath("C:\\data\\..\\x.pcap", "/"), "C:\\x.pcap");
    EXPECT_EQ(FullWindowsPath("\\\\server\\share\\x.pcap", "/"), "\\\\server\\share\\x.pcap");
    EXPECT_EQ(FullWindowsPath("\\\\?\\pci#ven_f10e&dev_0001#{ccc1ec52}", "/"),
              "\\\\?\\pci#ven_f10e&dev_0001#{ccc1ec52}");
    EXPECT_FALSE(FullWindowsPath("", "/"));
}

TEST(LinuxPathFromFull, OnlyDriveZReachesTheFileSystem) {
    EXPECT_EQ(LinuxPathFromFull("Z:\\tmp\\x.pcap"), "/tmp/x.pcap");
    EXPECT_EQ(LinuxPathFromFull("\\\\?\\Z:\\tmp\\x.pcap"), "/tmp/x.pcap");
    EXPECT_EQ(LinuxPathFromFull("Z:\\"), "/");
    EXPECT_FALSE(LinuxPathFromFull("C:\\x.pcap"));
    EXPECT_FALSE(LinuxPathFromFull("\\\\server\\share\\x.pcap"));
}

TEST(GetFullPathNameA, AnswersTheSizeFirstThenTheName) {
    // The probe with a buffer too small answers the size with the terminator;
    // the call with room answers the length without it.
    char probe[2];
    const DWORD needed = GetFullPathNameA("/tmp/capture.pcap", sizeof(probe), probe, nullptr);
    ASSERT_EQ(needed, sizeof("Z:\\tmp\\capture.pcap"));
    std::string name(needed, '\0');
    LPSTR filePart = nullptr;
    EXPECT_EQ(GetFullPathNameA("/tmp/capture.pcap", needed, name.data(), &filePart), needed - 1);
    EXPECT_STREQ(name.c_str(), "Z:\\tmp\\capture.pcap");
    EXPECT_STREQ(filePart, "capture.pcap");

    // Exactly one byte short is still too small.
    EXPECT_EQ(GetFullPathNameA("/tmp/capture.pcap", needed - 1, name.data(), nullptr), needed);

    EXPECT_EQ(GetFullPathNameA("", sizeof(probe), probe, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(GetFullPathNameA, RelativeNamesStartAtTheCurrentDirectory) {
    char name[4096];
    const DWORD length = GetFullPathNameA("x.pcap", sizeof(name), name, nullptr);
    ASSERT_GT(length, 0u);
    const std::string expected =
        *FullWindowsPath(um::file::CurrentLinuxDirectory() + "/x.pcap", "/");
    EXPECT_EQ(std::string(name, length), expected);
}

}  // namespace
