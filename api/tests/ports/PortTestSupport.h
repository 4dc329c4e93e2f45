// What a test program sees of the machine without the library: the driver's
// interfaces through SetupAPI, its control requests, the ports' hardware
// keys and the class installer that disables and enables a port device.
#pragma once

#include <gtest/gtest.h>

#include "DriverInterface.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace porttest {

using Mac = std::array<uint8_t, 6>;

// Every interface of the driver's class, present or not, with its device.
class Interfaces {
public:
    explicit Interfaces(DWORD flags = DIGCF_DEVICEINTERFACE)
    {
        set_ = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_FL, nullptr, nullptr, flags);
        EXPECT_NE(set_, INVALID_HANDLE_VALUE) << GetLastError();
        if (set_ == INVALID_HANDLE_VALUE) return;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_DEVINTERFACE_FL, index, &data)) break;
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailA(set_, &data, nullptr, 0, &required, nullptr);
            std::vector<uint64_t> storage((required + 7) / 8 + 1);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            SP_DEVINFO_DATA device{};
            device.cbSize = sizeof device;
            if (!SetupDiGetDeviceInterfaceDetailA(set_, &data, detail, required, nullptr, &device)) {
                ADD_FAILURE() << "interface detail: " << GetLastError();
                continue;
            }
            paths_.emplace_back(detail->DevicePath);
            devices_[detail->DevicePath] = device;
        }
    }
    ~Interfaces()
    {
        if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    }
    Interfaces(const Interfaces&) = delete;
    Interfaces& operator=(const Interfaces&) = delete;

    const std::vector<std::string>& Paths() const { return paths_; }

    // DICS_DISABLE or DICS_ENABLE in the global scope.
    bool Change(const std::string& path, DWORD stateChange)
    {
        SP_DEVINFO_DATA* device = Find(path);
        if (device == nullptr) return false;
        SP_PROPCHANGE_PARAMS change{};
        change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        change.StateChange = stateChange;
        change.Scope = DICS_FLAG_GLOBAL;
        if (!SetupDiSetClassInstallParamsW(set_, device, &change.ClassInstallHeader, sizeof change) ||
            !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set_, device)) {
            ADD_FAILURE() << "property change " << stateChange << ": " << GetLastError();
            return false;
        }
        return true;
    }

    // The port's hardware key, or null.
    HKEY Key(const std::string& path, REGSAM access)
    {
        SP_DEVINFO_DATA* device = Find(path);
        if (device == nullptr) return nullptr;
        HKEY key = SetupDiOpenDevRegKey(set_, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, access);
        EXPECT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) << GetLastError();
        return key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) ? nullptr : key;
    }

    bool SetValue(const std::string& path, const char* name, DWORD type, const void* data, DWORD size)
    {
        HKEY key = Key(path, KEY_SET_VALUE);
        if (key == nullptr) return false;
        const LSTATUS error = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
        EXPECT_EQ(error, ERROR_SUCCESS) << name;
        return error == ERROR_SUCCESS;
    }

    // Bytes stored as given: the wide function does not convert strings.
    bool SetWide(const std::string& path, const char16_t* name, DWORD type, const void* data, DWORD size)
    {
        HKEY key = Key(path, KEY_SET_VALUE);
        if (key == nullptr) return false;
        const LSTATUS error = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
        EXPECT_EQ(error, ERROR_SUCCESS);
        return error == ERROR_SUCCESS;
    }

    bool SetDword(const std::string& path, const char* name, DWORD value)
    {
        return SetValue(path, name, REG_DWORD, &value, sizeof value);
    }

    bool DeleteValue(const std::string& path, const char* name)
    {
        HKEY key = Key(path, KEY_SET_VALUE);
        if (key == nullptr) return false;
        const LSTATUS error = RegDeleteValueA(key, name);
        RegCloseKey(key);
        return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND;
    }

    // A value as stored: its type and raw bytes. false when it is missing.
    bool Query(const std::string& path, const char* name, DWORD* type, std::vector<uint8_t>* data)
    {
        HKEY key = Key(path, KEY_READ);
        if (key == nullptr) return false;
        DWORD size = 0;
        LSTATUS error = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
        if (error == ERROR_SUCCESS) {
            data->resize(size);
            error = RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
        }
        RegCloseKey(key);
        return error == ERROR_SUCCESS;
    }

    // The same through the wide function: strings as stored, UTF-16.
    bool QueryWide(const std::string& path, const char16_t* name, DWORD* type, std::vector<uint8_t>* data)
    {
        HKEY key = Key(path, KEY_READ);
        if (key == nullptr) return false;
        DWORD size = 0;
        LSTATUS error = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
        if (error == ERROR_SUCCESS) {
            data->resize(size);
            error = RegQueryValueExW(key, name, nullptr, type, data->data(), &size);
        }
        RegCloseKey(key);
        return error == ERROR_SUCCESS;
    }

private:
    SP_DEVINFO_DATA* Find(const std::string& path)
    {
        const auto it = devices_.find(path);
        if (it == devices_.end()) {
            ADD_FAILURE() << "no device for " << path;
            return nullptr;
        }
        return &it->second;
    }

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    std::vector<std::string> paths_;
    std::map<std::string, SP_DEVINFO_DATA> devices_;
};

// The port's address straight from the driver.
inline Mac QueryMac(const std::string& path)
{
    Mac mac{};
    HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(device, INVALID_HANDLE_VALUE) << path << ": " << GetLastError();
    if (device == INVALID_HANDLE_VALUE) return mac;
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_PORT_QUERY_MAC_ADDRESS, nullptr, 0, mac.data(), 6, &bytes, nullptr));
    EXPECT_EQ(bytes, 6u);
    CloseHandle(device);
    return mac;
}

} // namespace porttest
