// The registry functions over the machine hive. HKEY_LOCAL_MACHINE is the
// hive's root; every other HKEY is a handle to an open key. Strings are
// UTF-16LE in the hive; the A functions speak UTF-8 and convert.
#include "um_status.h"

#include <nt/hive.h>
#include <nt/unicode.h>

#include <cstring>
#include <string>

namespace {

LSTATUS ErrorOf(NTSTATUS status) { return static_cast<LSTATUS>(RtlNtStatusToDosError(status)); }

bool IsPredefined(HKEY key) {
    const auto value = reinterpret_cast<ULONG_PTR>(key);
    return value >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) &&
           value <= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) + 0x10;
}

LSTATUS ResolveKey(HKEY hKey, nt::Ref<nt::RegistryKey>* key) {
    if (hKey == HKEY_LOCAL_MACHINE) {
        std::shared_ptr<nt::Hive> hive;
        NTSTATUS status = nt::Hive::Machine(&hive);
        if (NT_SUCCESS(status)) status = hive->OpenKey("", key);
        return ErrorOf(status);
    }
    if (IsPredefined(hKey)) return ERROR_FILE_NOT_FOUND;  // only the machine's keys exist here
    return ErrorOf(nt::ReferenceObjectByHandle(reinterpret_cast<HANDLE>(hKey), key));
}

LSTATUS ReturnHandle(nt::RegistryKey* key, PHKEY phkResult) {
    HANDLE handle = nullptr;
    NTSTATUS status = nt::InsertHandle(key, &handle);
    if (!NT_SUCCESS(status)) return ErrorOf(status);
    *phkResult = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The narrow form of a value for the A functions: strings become UTF-8 and
// are terminated even when the writer left the terminator out.
std::string NarrowData(const nt::RegistryValue& value) {
    if (!IsString(value.type)) return std::string(value.data.begin(), value.data.end());
    std::string text = nt::Utf16ToUtf8(nt::FromUtf16Le(value.data));
    if (text.empty() || text.back() != '\0') text += '\0';
    if (value.type == REG_MULTI_SZ && text.size() >= 2 && text[text.size() - 2] != '\0') text += '\0';
    return text;
}

std::string NarrowName(LPCWSTR name) {
    if (name == nullptr) return {};
    size_t length = 0;
    while (name[length] != 0) ++length;
    return nt::Utf16ToUtf8(std::u16string_view(name, length));
}

// Copies `data` out with Windows' size rules: a null buffer asks for the
// size; a small one gets ERROR_MORE_DATA and the size needed.
LSTATUS CopyData(const void* data, size_t size, DWORD type, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    if (lpType != nullptr) *lpType = type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    const DWORD available = *lpcbData;
    *lpcbData = static_cast<DWORD>(size);
    if (lpData == nullptr) return ERROR_SUCCESS;
    if (available < size) return ERROR_MORE_DATA;
    if (size != 0) std::memcpy(lpData, data, size);
    return ERROR_SUCCESS;
}

LSTATUS SetValue(HKEY hKey, const std::string& name, DWORD dwType, const BYTE* lpData, DWORD cbData, bool narrow) {
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    nt::Ref<nt::RegistryKey> key;
    LSTATUS error = ResolveKey(hKey, &key);
    if (error != ERROR_SUCCESS) return error;
    if (narrow && IsString(dwType)) {
        const std::u16string text =
            nt::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
        return ErrorOf(key->SetValue(name, dwType, nt::ToUtf16Le(text)));
    }
    return ErrorOf(key->SetValue(name, dwType, std::span<const uint8_t>(lpData, cbData)));
}

template <class Body>
LSTATUS Guarded(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    (void)ulOptions;
    (void)samDesired;  // no access checks: every process of the machine is its administrator
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return Guarded([&]() -> LSTATUS {
        nt::Ref<nt::RegistryKey> key;
        LSTATUS error = ResolveKey(hKey, &key);
        if (error != ERROR_SUCCESS) return error;
        if (lpSubKey != nullptr && *lpSubKey != '\0') {
            nt::Ref<nt::RegistryKey> subkey;
            error = ErrorOf(key->OpenSubkey(lpSubKey, &subkey));
            if (error != ERROR_SUCCESS) return error;
            key = std::move(subkey);
        }
        return ReturnHandle(key.get(), phkResult);
    });
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                               PHKEY phkResult, LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;  // volatile keys live as long as the hive: there is no reboot to lose them
    (void)samDesired;
    (void)lpSecurityAttributes;
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return Guarded([&]() -> LSTATUS {
        nt::Ref<nt::RegistryKey> key;
        LSTATUS error = ResolveKey(hKey, &key);
        if (error != ERROR_SUCCESS) return error;
        bool created = false;
        if (*lpSubKey != '\0') {
            nt::Ref<nt::RegistryKey> subkey;
            error = ErrorOf(key->CreateSubkey(lpSubKey, &subkey, &created));
            if (error != ERROR_SUCCESS) return error;
            key = std::move(subkey);
        }
        error = ReturnHandle(key.get(), phkResult);
        if (error == ERROR_SUCCESS && lpdwDisposition != nullptr)
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return error;
    });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (IsPredefined(hKey)) return ERROR_SUCCESS;
    return ErrorOf(nt::CloseHandle(reinterpret_cast<HANDLE>(hKey)));
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        nt::Ref<nt::RegistryKey> key;
        LSTATUS error = ResolveKey(hKey, &key);
        if (error != ERROR_SUCCESS) return error;
        nt::RegistryValue value;
        error = ErrorOf(key->QueryValue(lpValueName ? lpValueName : "", &value));
        if (error != ERROR_SUCCESS) return error;
        const std::string data = NarrowData(value);
        return CopyData(data.data(), data.size(), value.type, lpType, lpData, lpcbData);
    });
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        nt::Ref<nt::RegistryKey> key;
        LSTATUS error = ResolveKey(hKey, &key);
        if (error != ERROR_SUCCESS) return error;
        nt::RegistryValue value;
        error = ErrorOf(key->QueryValue(NarrowName(lpValueName), &value));
        if (error != ERROR_SUCCESS) return error;
        return CopyData(value.data.data(), value.data.size(), value.type, lpType, lpData, lpcbData);
    });
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    (void)Reserved;
    return Guarded([&] { return SetValue(hKey, lpValueName ? lpValueName : "", dwType, lpData, cbData, true); });
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    (void)Reserved;
    return Guarded([&] { return SetValue(hKey, NarrowName(lpValueName), dwType, lpData, cbData, false); });
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return Guarded([&]() -> LSTATUS {
        nt::Ref<nt::RegistryKey> key;
        LSTATUS error = ResolveKey(hKey, &key);
        if (error != ERROR_SUCCESS) return error;
        return ErrorOf(key->DeleteValue(lpValueName ? lpValueName : ""));
    });
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr || *lpSubKey == '\0') return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        nt::Ref<nt::RegistryKey> key;
        LSTATUS error = ResolveKey(hKey, &key);
        if (error != ERROR_SUCCESS) return error;
        nt::Ref<nt::RegistryKey> subkey;
        error = ErrorOf(key->OpenSubkey(lpSubKey, &subkey));
        if (error != ERROR_SUCCESS) return error;
        return ErrorOf(subkey->Delete());
    });
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        nt::Ref<nt::RegistryKey> key;
        LSTATUS error = ResolveKey(hKey, &key);
        if (error != ERROR_SUCCESS) return error;
        std::string name;
        error = ErrorOf(key->EnumerateSubkey(dwIndex, &name));
        if (error != ERROR_SUCCESS) return error;
        if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
        std::memcpy(lpName, name.c_str(), name.size() + 1);
        *lpcchName = static_cast<DWORD>(name.size());
        if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
            *lpClass = '\0';
            *lpcchClass = 0;
        }
        if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{};
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    return Guarded([&]() -> LSTATUS {
        nt::Ref<nt::RegistryKey> key;
        LSTATUS error = ResolveKey(hKey, &key);
        if (error != ERROR_SUCCESS) return error;
        std::string name;
        nt::RegistryValue value;
        error = ErrorOf(key->EnumerateValue(dwIndex, &name, &value));
        if (error != ERROR_SUCCESS) return error;
        if (name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
        std::memcpy(lpValueName, name.c_str(), name.size() + 1);
        *lpcchValueName = static_cast<DWORD>(name.size());
        const std::string data = NarrowData(value);
        return CopyData(data.data(), data.size(), value.type, lpType, lpData, lpcbData);
    });
}

}  // extern "C"
