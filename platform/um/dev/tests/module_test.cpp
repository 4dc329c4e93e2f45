// Exports looked up by name, as the library finds IsWow64Process.
#include <windows.h>

#include <gtest/gtest.h>

extern "C" int umdev_c_headers_check(void);

namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

TEST(Modules, Kernel32ExportsIsWow64ProcessByName) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_EQ(GetModuleHandleA("KERNEL32"), kernel32);
    // Through void (*)(void), which GCC lets convert to any function type.
    auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "IsWow64Process")));
    ASSERT_NE(isWow64, nullptr);
    BOOL wow64 = TRUE;
    ASSERT_TRUE(isWow64(GetCurrentProcess(), &wow64));
    EXPECT_FALSE(wow64) << "every process here is native 64-bit";
}

TEST(Modules, UnknownModulesExportsAndOrdinalsAreRefused) {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(kernel32, "isWow64Process"), nullptr) << "export names are case-sensitive";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(kernel32, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(7))), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleA("ntdll.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(&kernel32), "IsWow64Process"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
    EXPECT_EQ(GetProcAddress(GetModuleHandleA(nullptr), "IsWow64Process"), nullptr);
}

TEST(Modules, HeadersCompileAsCWithWindowsLayouts) { EXPECT_EQ(umdev_c_headers_check(), 1); }

}  // namespace
