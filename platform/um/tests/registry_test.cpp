#include "private_hive.h"

#include <windows.h>

#include <nt/hive.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kDeviceKey = "SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_F10E&DEV_0001\\0\\Device Parameters";

// An open key, closed at scope exit.
struct Key {
    HKEY h = nullptr;
    ~Key() {
        if (h != nullptr) RegCloseKey(h);
    }
};

void CreateKey(const char* path, Key* key, DWORD* disposition = nullptr) {
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key->h, disposition),
              ERROR_SUCCESS);
}

TEST(Registry, CreateThenOpenWithDispositions) {
    Key created, again, opened;
    DWORD disposition = 0;
    CreateKey("SOFTWARE\\Ferrolan\\Create", &created, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    CreateKey("software\\ferrolan\\create", &again, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_NE(created.h, again.h);  // two handles to one key
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrolan\\Create", 0, KEY_READ, &opened.h), ERROR_SUCCESS);

    Key missing;
    missing.h = reinterpret_cast<HKEY>(uintptr_t{0x1234});
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrolan\\Nothing", 0, KEY_READ, &missing.h),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing.h, nullptr);  // cleared on failure
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &missing.h), ERROR_FILE_NOT_FOUND);

    // Relative to an open key, and the empty subkey reopening the key itself.
    Key child, self;
    ASSERT_EQ(RegCreateKeyExA(opened.h, "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child.h, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(opened.h, "", 0, KEY_READ, &self.h), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(self.h, "child", 0, KEY_READ, &missing.h), ERROR_SUCCESS);
    RegCloseKey(missing.h);
    missing.h = nullptr;
}

TEST(Registry, StringsAreUtf16InTheHiveAndUtf8ThroughTheAFunctions) {
    Key key;
    CreateKey(kDeviceKey, &key);
    const char description[] = "Port \xC3\xA9 1";  // "Port é 1"
    ASSERT_EQ(RegSetValueExA(key.h, "CustomDescription", 0, REG_SZ, reinterpret_cast<const BYTE*>(description),
                             sizeof(description)),
              ERROR_SUCCESS);

    // The W view gets the stored bytes: UTF-16LE with the terminator.
    const std::u16string wide = u"Port \u00E9 1";
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key.h, u"CustomDescription", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, (wide.size() + 1) * 2);
    std::vector<char16_t> wbuffer(size / 2);
    ASSERT_EQ(RegQueryValueExW(key.h, u"CustomDescription", nullptr, &type, reinterpret_cast<BYTE*>(wbuffer.data()),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(wbuffer.data()), wide);

    // The A view: a size probe, a short buffer, then the text.
    size = 0;
    ASSERT_EQ(RegQueryValueExA(key.h, "CustomDescription", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof(description));
    char small[4];
    size = sizeof(small);
    EXPECT_EQ(RegQueryValueExA(key.h, "CustomDescription", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof(description));
    char buffer[64];
    size = sizeof(buffer);
    ASSERT_EQ(RegQueryValueExA(key.h, "customdescription", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof(description));
    EXPECT_STREQ(buffer, description);

    // Written wide, read narrow.
    const std::u16string name = u"Wide";
    ASSERT_EQ(RegSetValueExW(key.h, u"FromW", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                             static_cast<DWORD>((name.size() + 1) * 2)),
              ERROR_SUCCESS);
    size = sizeof(buffer);
    ASSERT_EQ(RegQueryValueExA(key.h, "FromW", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(buffer, "Wide");

    // A writer that left out the terminator still reads back terminated.
    ASSERT_EQ(RegSetValueExA(key.h, "NoNul", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
    size = sizeof(buffer);
    std::memset(buffer, 'x', sizeof(buffer));
    ASSERT_EQ(RegQueryValueExA(key.h, "NoNul", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_STREQ(buffer, "abc");
}

TEST(Registry, DwordBinaryAndMultiString) {
    Key key;
    CreateKey(kDeviceKey, &key);
    const DWORD slots = 4096;
    ASSERT_EQ(RegSetValueExA(key.h, "RxSlots", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&slots), sizeof(slots)),
              ERROR_SUCCESS);
    DWORD value = 0, type = 0, size = sizeof(value);
    ASSERT_EQ(RegQueryValueExA(key.h, "RxSlots", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(value, slots);

    const BYTE blob[] = {1, 0, 2, 0, 0xFE};
    ASSERT_EQ(RegSetValueExA(key.h, "Blob", 0, REG_BINARY, blob, sizeof(blob)), ERROR_SUCCESS);
    BYTE back[8] = {};
    size = sizeof(back);
    ASSERT_EQ(RegQueryValueExA(key.h, "Blob", nullptr, &type, back, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    ASSERT_EQ(size, sizeof(blob));
    EXPECT_EQ(std::memcmp(back, blob, sizeof(blob)), 0);

    const char multi[] = "one\0two\0";  // with the array's own NUL: two terminators
    ASSERT_EQ(RegSetValueExA(key.h, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof(multi)),
              ERROR_SUCCESS);
    char text[32];
    size = sizeof(text);
    ASSERT_EQ(RegQueryValueExA(key.h, "Multi", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    ASSERT_EQ(size, sizeof(multi));
    EXPECT_EQ(std::memcmp(text, multi, sizeof(multi)), 0);

    // Type only, and the NULL-size rule.
    EXPECT_EQ(RegQueryValueExA(key.h, "RxSlots", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key.h, "RxSlots", nullptr, &type, reinterpret_cast<BYTE*>(&value), nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST(Registry, MissingValuesAndBadHandles) {
    Key key;
    CreateKey(kDeviceKey, &key);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key.h, "TxSlots_missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key.h, "TxSlots_missing"), ERROR_FILE_NOT_FOUND);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(RegQueryValueExA(reinterpret_cast<HKEY>(event), "x", nullptr, &type, nullptr, &size),
              ERROR_INVALID_HANDLE);
    CloseHandle(event);

    HKEY closed = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDeviceKey, 0, KEY_READ, &closed), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(closed, "RxSlots", nullptr, &type, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // predefined keys are never closed
}

TEST(Registry, EnumerationAndDeletion) {
    Key parent;
    CreateKey("SOFTWARE\\Ferrolan\\Enum", &parent);
    for (const char* name : {"b", "A"}) {
        Key child;
        ASSERT_EQ(RegCreateKeyExA(parent.h, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child.h, nullptr),
                  ERROR_SUCCESS);
    }
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(parent.h, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_SUCCESS);

    char name[16];
    DWORD length = sizeof(name);
    ASSERT_EQ(RegEnumKeyExA(parent.h, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "A");
    EXPECT_EQ(length, 1u);
    length = 1;  // no room for the terminator
    EXPECT_EQ(RegEnumKeyExA(parent.h, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(parent.h, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    DWORD type = 0, value = 0, size = sizeof(value);
    length = sizeof(name);
    ASSERT_EQ(RegEnumValueA(parent.h, 0, name, &length, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Value");
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(value, 1u);
    length = sizeof(name);
    EXPECT_EQ(RegEnumValueA(parent.h, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrolan\\Enum"), ERROR_ACCESS_DENIED);  // has subkeys
    EXPECT_EQ(RegDeleteKeyA(parent.h, "A"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(parent.h, "b"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Ferrolan\\Enum"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(parent.h, "Value", nullptr, &type, nullptr, nullptr), ERROR_KEY_DELETED);
}

TEST(Registry, UserAndKernelViewsMeetInOneHive) {
    Key key;
    CreateKey("SYSTEM\\CurrentControlSet\\Services\\FL\\Parameters", &key);
    const DWORD mode = 2;
    ASSERT_EQ(RegSetValueExA(key.h, "TimestampingMode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode), 4),
              ERROR_SUCCESS);

    std::shared_ptr<nt::Hive> hive;
    ASSERT_EQ(nt::Hive::Machine(&hive), STATUS_SUCCESS);
    EXPECT_EQ(hive->File(), kPrivateHive->File());
    nt::Ref<nt::RegistryKey> kernel;
    ASSERT_EQ(hive->OpenKey("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\FL\\Parameters", &kernel),
              STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(kernel->QueryDword("TimestampingMode", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, mode);
}

}  // namespace
