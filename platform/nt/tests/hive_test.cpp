#include <nt/hive.h>
#include <nt/unicode.h>

#include <gtest/gtest.h>

#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A fresh folder per test, under the state folder the test runner gives.
fs::path FreshDir() {
    const char* base = std::getenv("FL_TEST_TMP");
    const fs::path root = base != nullptr ? fs::path(base) : fs::temp_directory_path() / "fl-nt-tests";
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = root / (std::string(info->test_suite_name()) + "." + info->name() + "." +
                                 std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::shared_ptr<nt::Hive> OpenHive(const fs::path& file) {
    std::shared_ptr<nt::Hive> hive;
    EXPECT_EQ(nt::Hive::Open(file, &hive), STATUS_SUCCESS);
    return hive;
}

nt::Ref<nt::RegistryKey> Create(nt::Hive& hive, std::string_view path) {
    nt::Ref<nt::RegistryKey> key;
    EXPECT_EQ(hive.CreateKey(path, &key), STATUS_SUCCESS) << path;
    return key;
}

constexpr std::string_view kService = "SYSTEM\\CurrentControlSet\\Services\\FL";

TEST(Hive, KeysAndTypedValuesPersistAcrossReopen) {
    const fs::path file = FreshDir() / "registry.db";
    {
        auto hive = OpenHive(file);
        bool created = false;
        nt::Ref<nt::RegistryKey> key;
        ASSERT_EQ(hive->CreateKey(std::string(kService) + "\\Parameters", &key, &created), STATUS_SUCCESS);
        EXPECT_TRUE(created);
        EXPECT_EQ(key->Path(), "SYSTEM\\CurrentControlSet\\Services\\FL\\Parameters");
        EXPECT_EQ(key->SetDword("TimestampingMode", 1), STATUS_SUCCESS);
        EXPECT_EQ(key->SetString("CustomDescription", "Port \xC3\xA9"), STATUS_SUCCESS);
        const uint8_t blob[] = {0, 1, 2, 0xFF};
        EXPECT_EQ(key->SetBinary("Blob", blob), STATUS_SUCCESS);
        EXPECT_EQ(key->SetMultiString("List", {"one", "two"}), STATUS_SUCCESS);
        EXPECT_EQ(key->SetQword("Big", 0x1122334455667788ull), STATUS_SUCCESS);
        EXPECT_EQ(key->SetValue("", REG_SZ, nt::ToUtf16Le(u"default")), STATUS_SUCCESS);
        ASSERT_EQ(hive->CreateKey(std::string(kService) + "\\Parameters", &key, &created), STATUS_SUCCESS);
        EXPECT_FALSE(created);
    }
    auto hive = OpenHive(file);
    nt::Ref<nt::RegistryKey> key;
    ASSERT_EQ(hive->OpenKey(std::string(kService) + "\\Parameters", &key), STATUS_SUCCESS);

    ULONG dword = 0;
    EXPECT_EQ(key->QueryDword("TimestampingMode", &dword), STATUS_SUCCESS);
    EXPECT_EQ(dword, 1u);

    nt::RegistryValue value;
    ASSERT_EQ(key->QueryValue("CustomDescription", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, REG_SZ);
    EXPECT_EQ(value.data, nt::ToUtf16Le(std::u16string(u"Port \u00E9") + u'\0'));  // UTF-16LE, terminated
    std::string text;
    EXPECT_EQ(key->QueryString("CustomDescription", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, "Port \xC3\xA9");

    ASSERT_EQ(key->QueryValue("Blob", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, REG_BINARY);
    EXPECT_EQ(value.data, (std::vector<uint8_t>{0, 1, 2, 0xFF}));

    ASSERT_EQ(key->QueryValue("List", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, REG_MULTI_SZ);
    EXPECT_EQ(value.data, nt::ToUtf16Le(std::u16string(u"one\0two\0\0", 9)));
    std::vector<std::string> list;
    EXPECT_EQ(key->QueryMultiString("List", &list), STATUS_SUCCESS);
    EXPECT_EQ(list, (std::vector<std::string>{"one", "two"}));

    ASSERT_EQ(key->QueryValue("Big", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, REG_QWORD);
    EXPECT_EQ(value.data, (std::vector<uint8_t>{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));

    EXPECT_EQ(key->QueryString("", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, "default");
}

TEST(Hive, NamesAreCaseInsensitiveAndKeepTheirCase) {
    auto hive = OpenHive(FreshDir() / "registry.db");
    auto key = Create(*hive, kService);
    nt::Ref<nt::RegistryKey> same;
    ASSERT_EQ(hive->OpenKey("system\\currentcontrolset\\SERVICES\\fl", &same), STATUS_SUCCESS);
    EXPECT_EQ(same->Path(), kService);  // as created, not as asked

    bool created = true;
    ASSERT_EQ(hive->CreateKey("SYSTEM\\currentcontrolset\\services\\fl", &same, &created), STATUS_SUCCESS);
    EXPECT_FALSE(created);

    EXPECT_EQ(key->SetDword("RxSlots", 1), STATUS_SUCCESS);
    EXPECT_EQ(same->SetDword("RXSLOTS", 2), STATUS_SUCCESS);  // the same value
    ULONG v = 0;
    EXPECT_EQ(key->QueryDword("rxslots", &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 2u);
    nt::RegistryKeyInfo info;
    EXPECT_EQ(key->QueryInfo(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.values, 1u);
}

TEST(Hive, KernelAndMachineRelativePathsNameTheSameKey) {
    auto hive = OpenHive(FreshDir() / "registry.db");
    auto key = Create(*hive, "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\PCI");
    ASSERT_EQ(key->SetDword("Marker", 7), STATUS_SUCCESS);
    nt::Ref<nt::RegistryKey> relative;
    ASSERT_EQ(hive->OpenKey("SYSTEM\\CurrentControlSet\\Enum\\PCI\\", &relative), STATUS_SUCCESS);
    ULONG v = 0;
    EXPECT_EQ(relative->QueryDword("Marker", &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(relative->Path(), "SYSTEM\\CurrentControlSet\\Enum\\PCI");

    nt::Ref<nt::RegistryKey> root;
    ASSERT_EQ(hive->OpenKey("\\REGISTRY\\MACHINE", &root), STATUS_SUCCESS);
    EXPECT_EQ(root->Path(), "");
    std::string first;
    EXPECT_EQ(root->EnumerateSubkey(0, &first), STATUS_SUCCESS);
    EXPECT_EQ(first, "SYSTEM");
}

TEST(Hive, MissingKeysValuesAndBadPathsAreStatuses) {
    auto hive = OpenHive(FreshDir() / "registry.db");
    auto key = Create(*hive, kService);
    nt::Ref<nt::RegistryKey> missing;
    EXPECT_EQ(hive->OpenKey("SYSTEM\\Nowhere\\Deeper", &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key->OpenSubkey("Parameters", &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(missing);

    nt::RegistryValue value;
    EXPECT_EQ(key->QueryValue("TxSlots", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key->DeleteValue("TxSlots"), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(key->SetString("Text", "x"), STATUS_SUCCESS);
    ULONG dword = 0;
    EXPECT_EQ(key->QueryDword("Text", &dword), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(key->SetValue("Short", REG_DWORD, std::vector<uint8_t>{1, 2}), STATUS_SUCCESS);
    EXPECT_EQ(key->QueryDword("Short", &dword), STATUS_OBJECT_TYPE_MISMATCH);

    EXPECT_EQ(hive->OpenKey("SYSTEM\\\\CurrentControlSet", &missing), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(hive->OpenKey("\\Registry\\User\\S-1-5-18", &missing), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(hive->OpenKey("\\Registry\\MachineX", &missing), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(hive->CreateKey(std::string(256, 'k'), &missing), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(key->OpenSubkey("\\Registry\\Machine\\SYSTEM", &missing), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(key->SetValue(std::string_view("a\0b", 3), REG_NONE, {}), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(key->SetMultiString("Holes", {"a", "", "b"}), STATUS_INVALID_PARAMETER);
}

TEST(Hive, EnumeratesSubkeysByNameAndValuesInCreationOrder) {
    auto hive = OpenHive(FreshDir() / "registry.db");
    auto key = Create(*hive, "SOFTWARE\\Enum");
    for (const char* name : {"beta", "Alpha", "gamma"}) {
        nt::Ref<nt::RegistryKey> child;
        ASSERT_EQ(key->CreateSubkey(name, &child), STATUS_SUCCESS);
    }
    for (const char* name : {"z", "a", "m"}) ASSERT_EQ(key->SetDword(name, 0), STATUS_SUCCESS);

    std::vector<std::string> subkeys;
    std::string name;
    for (ULONG i = 0; key->EnumerateSubkey(i, &name) == STATUS_SUCCESS; ++i) subkeys.push_back(name);
    EXPECT_EQ(subkeys, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    EXPECT_EQ(key->EnumerateSubkey(3, &name), STATUS_NO_MORE_ENTRIES);

    std::vector<std::string> values;
    nt::RegistryValue value;
    for (ULONG i = 0; key->EnumerateValue(i, &name, &value) == STATUS_SUCCESS; ++i) values.push_back(name);
    EXPECT_EQ(values, (std::vector<std::string>{"z", "a", "m"}));
    EXPECT_EQ(key->EnumerateValue(3, &name, &value), STATUS_NO_MORE_ENTRIES);

    nt::RegistryKeyInfo info;
    ASSERT_EQ(key->QueryInfo(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.subkeys, 3u);
    EXPECT_EQ(info.values, 3u);
    EXPECT_EQ(info.max_subkey_name_length, 5u);
    EXPECT_EQ(info.max_value_name_length, 1u);
    EXPECT_EQ(info.max_value_data_length, 4u);
}

TEST(Hive, DeletedKeysStayDeletedForOpenHandles) {
    auto hive = OpenHive(FreshDir() / "registry.db");
    auto parent = Create(*hive, "SOFTWARE\\Parent");
    auto child = Create(*hive, "SOFTWARE\\Parent\\Child");
    ASSERT_EQ(child->SetDword("v", 1), STATUS_SUCCESS);
    EXPECT_EQ(parent->Delete(), STATUS_CANNOT_DELETE);  // has a subkey

    ASSERT_EQ(child->Delete(), STATUS_SUCCESS);
    nt::RegistryValue value;
    EXPECT_EQ(child->QueryValue("v", &value), STATUS_KEY_DELETED);
    EXPECT_EQ(child->SetDword("v", 2), STATUS_KEY_DELETED);
    EXPECT_EQ(child->Delete(), STATUS_KEY_DELETED);

    // A new key of the same name is a different key: the old one stays gone.
    auto again = Create(*hive, "SOFTWARE\\Parent\\Child");
    EXPECT_EQ(again->QueryValue("v", &value), STATUS_OBJECT_NAME_NOT_FOUND);  // values went with the key
    EXPECT_EQ(child->QueryValue("v", &value), STATUS_KEY_DELETED);
    ASSERT_EQ(again->Delete(), STATUS_SUCCESS);
    EXPECT_EQ(parent->Delete(), STATUS_SUCCESS);

    nt::Ref<nt::RegistryKey> root;
    ASSERT_EQ(hive->OpenKey("", &root), STATUS_SUCCESS);
    EXPECT_EQ(root->Delete(), STATUS_CANNOT_DELETE);
}

TEST(Hive, TransactionsCommitTogetherOrNotAtAll) {
    auto hive = OpenHive(FreshDir() / "registry.db");
    NTSTATUS status = hive->Transact([&]() -> NTSTATUS {
        auto key = Create(*hive, "SOFTWARE\\Half");
        EXPECT_EQ(key->SetDword("written", 1), STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    });
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    nt::Ref<nt::RegistryKey> key;
    EXPECT_EQ(hive->OpenKey("SOFTWARE\\Half", &key), STATUS_OBJECT_NAME_NOT_FOUND);

    status = hive->Transact([&]() -> NTSTATUS {
        auto whole = Create(*hive, "SOFTWARE\\Whole");
        NTSTATUS inner = hive->Transact([&] { return whole->SetDword("inner", 1); });
        if (!NT_SUCCESS(inner)) return inner;
        // A failed nested transaction undoes only its own writes.
        EXPECT_EQ(hive->Transact([&] {
                      whole->SetDword("undone", 1);
                      return STATUS_CANCELLED;
                  }),
                  STATUS_CANCELLED);
        return whole->SetDword("outer", 1);
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(hive->OpenKey("SOFTWARE\\Whole", &key), STATUS_SUCCESS);
    ULONG v = 0;
    EXPECT_EQ(key->QueryDword("inner", &v), STATUS_SUCCESS);
    EXPECT_EQ(key->QueryDword("outer", &v), STATUS_SUCCESS);
    EXPECT_EQ(key->QueryDword("undone", &v), STATUS_OBJECT_NAME_NOT_FOUND);
}

// Adds one to a counter value, read and written in one transaction.
NTSTATUS Increment(nt::Hive& hive, nt::RegistryKey& key) {
    return hive.Transact([&]() -> NTSTATUS {
        ULONG count = 0;
        NTSTATUS s = key.QueryDword("Count", &count);
        if (s == STATUS_OBJECT_NAME_NOT_FOUND) count = 0;
        else if (!NT_SUCCESS(s)) return s;
        return key.SetDword("Count", count + 1);
    });
}

TEST(Hive, TwoProcessesWritingTheSameKeyLoseNothing) {
    const fs::path file = FreshDir() / "registry.db";
    constexpr int kProcesses = 2, kRounds = 150;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // The child opens its own connection: nothing SQLite holds may
            // cross a fork.
            std::shared_ptr<nt::Hive> hive;
            if (!NT_SUCCESS(nt::Hive::Open(file, &hive))) _exit(10);
            nt::Ref<nt::RegistryKey> key;
            if (!NT_SUCCESS(hive->CreateKey(kService, &key))) _exit(11);
            for (int i = 0; i < kRounds; ++i) {
                if (!NT_SUCCESS(Increment(*hive, *key))) _exit(12);
                if (!NT_SUCCESS(key->SetDword("Writer" + std::to_string(p) + "_" + std::to_string(i), i))) _exit(13);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    auto hive = OpenHive(file);
    nt::Ref<nt::RegistryKey> key;
    ASSERT_EQ(hive->OpenKey(kService, &key), STATUS_SUCCESS);
    ULONG count = 0;
    EXPECT_EQ(key->QueryDword("Count", &count), STATUS_SUCCESS);
    EXPECT_EQ(count, static_cast<ULONG>(kProcesses * kRounds));
    nt::RegistryKeyInfo info;
    ASSERT_EQ(key->QueryInfo(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.values, static_cast<ULONG>(1 + kProcesses * kRounds));
}

TEST(Hive, ThreadsSharingOneHiveLoseNothing) {
    auto hive = OpenHive(FreshDir() / "registry.db");
    auto key = Create(*hive, kService);
    constexpr int kThreads = 3, kRounds = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) ASSERT_EQ(Increment(*hive, *key), STATUS_SUCCESS);
        });
    for (auto& t : threads) t.join();
    ULONG count = 0;
    EXPECT_EQ(key->QueryDword("Count", &count), STATUS_SUCCESS);
    EXPECT_EQ(count, static_cast<ULONG>(kThreads * kRounds));
}

TEST(Hive, UnusableFilesAreReportedNotThrown) {
    const fs::path dir = FreshDir();
    {
        std::ofstream junk(dir / "junk.db", std::ios::binary);
        junk << std::string(4096, 'x');
    }
    std::shared_ptr<nt::Hive> hive;
    std::string why;
    EXPECT_EQ(nt::Hive::Open(dir / "junk.db", &hive, &why), STATUS_REGISTRY_CORRUPT);
    EXPECT_FALSE(hive);
    EXPECT_EQ(why, "the file is not a registry hive");
    fs::create_directory(dir / "folder.db");
    EXPECT_EQ(nt::Hive::Open(dir / "folder.db", &hive, &why), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(why, "it is a directory, not a registry hive");
    EXPECT_EQ(nt::Hive::Open(dir / "no" / "such" / "folder.db", &hive, &why), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(why, "it does not exist and cannot be created: No such file or directory");
    EXPECT_FALSE(hive);
    // An empty file is a new hive, set up on first open.
    std::ofstream(dir / "empty.db").close();
    EXPECT_EQ(nt::Hive::Open(dir / "empty.db", &hive, &why), STATUS_SUCCESS) << why;
}

// The first programs on a new hive: one of them holds SQLite's write lock
// on the still empty file (it is setting the hive up) when another opens it.
// SQLite refuses the switch to WAL at once then, without its busy handler.
TEST(Hive, OpensWhileAnotherProgramHoldsANewHiveLocked) {
    const fs::path file = FreshDir() / "registry.db";
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    std::shared_ptr<nt::Hive> hive;
    std::string why;
    const NTSTATUS opened = nt::Hive::Open(file, &hive, &why);
    release.join();
    sqlite3_close(other);
    ASSERT_EQ(opened, STATUS_SUCCESS) << why;
    auto key = Create(*hive, kService);
    EXPECT_EQ(key->SetDword("Start", 3), STATUS_SUCCESS);
}

// Read-only as a read-only mount makes it, whoever runs the test (root
// writes a 0444 file). The check runs in a child with its own mount
// namespace; exit codes say which step failed.
TEST(Hive, AReadOnlyHiveIsReadAndRefusesWrites) {
    const fs::path dir = FreshDir();
    const fs::path file = dir / "registry.db";
    {
        auto hive = OpenHive(file);
        ASSERT_TRUE(hive);
        auto key = Create(*hive, kService);
        ASSERT_EQ(key->SetDword("Start", 3), STATUS_SUCCESS);
    }  // the last connection closes: the log is folded in and removed
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) _exit(77);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
        if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) _exit(77);
        if (mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) _exit(77);
        std::shared_ptr<nt::Hive> hive;
        if (!NT_SUCCESS(nt::Hive::Open(file, &hive))) _exit(10);
        if (!hive->ReadOnly()) _exit(11);
        nt::Ref<nt::RegistryKey> key;
        if (!NT_SUCCESS(hive->OpenKey(kService, &key))) _exit(12);
        ULONG start = 0;
        if (!NT_SUCCESS(key->QueryDword("Start", &start)) || start != 3) _exit(13);
        if (key->SetDword("Start", 4) != STATUS_ACCESS_DENIED) _exit(14);
        nt::Ref<nt::RegistryKey> created;
        if (hive->CreateKey("SYSTEM\\Other", &created) != STATUS_ACCESS_DENIED) _exit(15);
        if (hive->Transact([] { return STATUS_SUCCESS; }) != STATUS_ACCESS_DENIED) _exit(16);
        if (!NT_SUCCESS(key->QueryDword("Start", &start)) || start != 3) _exit(17);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace can be made here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Hive, MachineHiveFollowsTheEnvironment) {
    const fs::path dir = FreshDir();
    const char* saved = std::getenv("FL_REGISTRY");
    const std::string saved_value = saved ? saved : "";

    ::setenv("FL_REGISTRY", (dir / "explicit.db").c_str(), 1);
    EXPECT_EQ(nt::Hive::MachinePath(), dir / "explicit.db");
    ::unsetenv("FL_REGISTRY");
    const char* xdg = std::getenv("XDG_STATE_HOME");
    const std::string saved_xdg = xdg ? xdg : "";
    ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    EXPECT_EQ(nt::Hive::MachinePath(), dir / "state" / "ferrolan" / "registry.db");

    // Opened once per process, folder created.
    std::shared_ptr<nt::Hive> machine, again;
    ASSERT_EQ(nt::Hive::Machine(&machine), STATUS_SUCCESS);
    ASSERT_EQ(nt::Hive::Machine(&again), STATUS_SUCCESS);
    EXPECT_EQ(machine, again);
    EXPECT_TRUE(fs::exists(machine->File()));

    if (saved) ::setenv("FL_REGISTRY", saved_value.c_str(), 1);
    if (xdg) ::setenv("XDG_STATE_HOME", saved_xdg.c_str(), 1); else ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
