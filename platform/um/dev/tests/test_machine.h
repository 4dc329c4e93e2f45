// The machine the device tests run on: one board whose two ports are driven
// by the tests' own driver (installed as the "FL" service), in a hive of
// their own. The machine boots at the first device access, as in any program.
#pragma once

#define INITGUID
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include "test_driver_public.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace umdev_test {

inline void UseTestMachine() {
    static bool ready = false;
    if (ready) return;
    ready = true;
    std::filesystem::path folder;
    if (const char* tmp = std::getenv("FL_TEST_TMP")) {
        folder = tmp;
    } else {
        folder = std::filesystem::temp_directory_path() / ("um_dev_tests-" + std::to_string(getpid()));
    }
    folder /= "umdev";
    std::filesystem::create_directories(folder);
    // A fresh hive per run: the driver's device keys start empty.
    for (const char* name : {"registry.db", "registry.db-wal", "registry.db-shm"}) {
        std::filesystem::remove(folder / name);
    }
    std::ofstream(folder / "machine.toml") << "[[board]]\n"
                                              "mac = \"02:00:f1:0e:00:10\"\n"
                                              "[[board.port]]\n"
                                              "wire = \"none\"\n"
                                              "[[board.port]]\n"
                                              "wire = \"none\"\n";
    setenv("FL_MACHINE", (folder / "machine.toml").c_str(), 1);
    setenv("FL_REGISTRY", (folder / "registry.db").c_str(), 1);
    setenv("FL_DRIVER_DIR", UMDEV_TEST_DRIVER_DIR, 1);
}

// One interface of the test class as SetupAPI reports it.
struct Found {
    std::string path;
    SP_DEVINFO_DATA device{};
    DWORD flags = 0;
};

// Every interface of the test class in `set`, through the usual size probe.
inline std::vector<Found> Interfaces(HDEVINFO set) {
    std::vector<Found> found;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_UMDEV_TEST, index, &data)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<char> storage(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        Found entry;
        entry.device.cbSize = sizeof entry.device;
        entry.flags = data.Flags;
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, &entry.device));
        entry.path = detail->DevicePath;
        found.push_back(entry);
    }
    return found;
}

// The interface paths of the started test devices.
inline std::vector<std::string> DevicePaths() {
    UseTestMachine();
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_UMDEV_TEST, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE) << GetLastError();
    if (set == INVALID_HANDLE_VALUE) return paths;
    for (const Found& entry : Interfaces(set)) paths.push_back(entry.path);
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

inline HANDLE Open(const std::string& path, DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD flags = 0) {
    return CreateFileA(path.c_str(), access, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
}

inline TEST_STATE Query(HANDLE device) {
    TEST_STATE state{};
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_TEST_QUERY, nullptr, 0, &state, sizeof state, &bytes, nullptr))
        << GetLastError();
    EXPECT_EQ(bytes, sizeof state);
    return state;
}

}  // namespace umdev_test
