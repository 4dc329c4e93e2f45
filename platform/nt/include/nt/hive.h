// The registry hive: keys with subkeys and typed values, kept in an SQLite
// database so that it persists and is shared by every process of the
// machine. Each write is one transaction; SQLite's locking (WAL, with a busy
// timeout) makes concurrent processes safe. Failures are statuses; nothing
// here throws.
//
// Names compare case-insensitively and keep the case they were created
// with, as in Windows. Kernel paths ("\Registry\Machine\SYSTEM\...") and
// paths relative to HKEY_LOCAL_MACHINE ("SYSTEM\...") name the same keys.
#pragma once

#include <nt/object.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nt {

class Hive;

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;  // as stored: REG_SZ is UTF-16LE with its terminator
};

struct RegistryKeyInfo {
    ULONG subkeys = 0;
    ULONG values = 0;
    ULONG max_subkey_name_length = 0;  // characters, without terminator
    ULONG max_value_name_length = 0;   // characters, without terminator
    ULONG max_value_data_length = 0;   // bytes
};

// An open key. Lives in the handle table like any object, so km's ZwOpenKey
// and um's RegOpenKeyExA hand out ordinary handles to it.
class RegistryKey final : public Object {
public:
    // Path below HKEY_LOCAL_MACHINE, components joined with '\', "" for the root.
    const std::string& Path() const noexcept { return path_; }
    const std::shared_ptr<Hive>& OwningHive() const noexcept { return hive_; }

    // STATUS_OBJECT_NAME_NOT_FOUND when a component is missing.
    NTSTATUS OpenSubkey(std::string_view relative_path, Ref<RegistryKey>* key) noexcept;
    // Creates every missing component in one transaction. `created` (may be
    // null) tells whether the last component is new.
    NTSTATUS CreateSubkey(std::string_view relative_path, Ref<RegistryKey>* key,
                          bool* created = nullptr) noexcept;

    // "" names the key's default value. STATUS_OBJECT_NAME_NOT_FOUND when absent.
    NTSTATUS QueryValue(std::string_view name, RegistryValue* value) noexcept;
    NTSTATUS SetValue(std::string_view name, ULONG type, std::span<const uint8_t> data) noexcept;
    NTSTATUS DeleteValue(std::string_view name) noexcept;

    // Deletes this key; STATUS_CANNOT_DELETE while it has subkeys. Operations
    // on a deleted key (from this or any process) give STATUS_KEY_DELETED.
    NTSTATUS Delete() noexcept;

    // Subkeys in case-insensitive name order, values in creation order;
    // STATUS_NO_MORE_ENTRIES past the end.
    NTSTATUS EnumerateSubkey(ULONG index, std::string* name) noexcept;
    NTSTATUS EnumerateValue(ULONG index, std::string* name, RegistryValue* value) noexcept;
    NTSTATUS QueryInfo(RegistryKeyInfo* info) noexcept;

    // Typed helpers over SetValue/QueryValue. Strings are UTF-8 here and
    // UTF-16LE in the hive. A value of another type or size gives
    // STATUS_OBJECT_TYPE_MISMATCH.
    NTSTATUS SetDword(std::string_view name, ULONG value) noexcept;
    NTSTATUS SetQword(std::string_view name, ULONGLONG value) noexcept;
    NTSTATUS SetString(std::string_view name, std::string_view value) noexcept;
    NTSTATUS SetMultiString(std::string_view name, const std::vector<std::string>& values) noexcept;
    NTSTATUS SetBinary(std::string_view name, std::span<const uint8_t> value) noexcept;
    NTSTATUS QueryDword(std::string_view name, ULONG* value) noexcept;
    NTSTATUS QueryString(std::string_view name, std::string* value) noexcept;  // REG_SZ, REG_EXPAND_SZ
    NTSTATUS QueryMultiString(std::string_view name, std::vector<std::string>* values) noexcept;

    // Keys are made by Hive and by other keys; public for MakeRef.
    RegistryKey(std::shared_ptr<Hive> hive, int64_t id, std::string path) noexcept;

protected:
    ~RegistryKey() override;

private:
    friend class Hive;
    NTSTATUS OpenComponents(const std::vector<std::string>& components, Ref<RegistryKey>* key) noexcept;
    NTSTATUS CreateComponents(const std::vector<std::string>& components, Ref<RegistryKey>* key,
                              bool* created) noexcept;

    std::shared_ptr<Hive> hive_;
    const int64_t id_;
    const std::string path_;
};

class Hive : public std::enable_shared_from_this<Hive> {
public:
    // Opens (creating if needed) the hive in `file`; the folder must exist.
    // Any number of processes may open and set up a new hive at once. A file
    // this process may not write is opened read-only (see ReadOnly). On
    // failure `why` (may be null) says what is wrong with the file: a
    // directory, not a hive, empty and read-only, damaged, ...
    static NTSTATUS Open(const std::filesystem::path& file, std::shared_ptr<Hive>* hive,
                         std::string* why = nullptr) noexcept;

    // The machine's hive, opened on first use in the process: the file named
    // by FL_REGISTRY, else $XDG_STATE_HOME/ferrolan/registry.db, else
    // ~/.local/state/ferrolan/registry.db; the folder is created.
    static NTSTATUS Machine(std::shared_ptr<Hive>* hive, std::string* why = nullptr) noexcept;
    static std::filesystem::path MachinePath();

    const std::filesystem::path& File() const noexcept { return file_; }

    // True when this process may only read the hive: every write, through
    // keys or Transact, is refused with STATUS_ACCESS_DENIED.
    bool ReadOnly() const noexcept;

    // Copies what the write-ahead log holds into the hive file, so that the
    // file alone (copied, backed up) holds every setting. Does not wait for
    // other processes' readers.
    NTSTATUS Checkpoint() noexcept;

    // Keys by full path, kernel form or HKLM-relative ("" is the root).
    NTSTATUS OpenKey(std::string_view path, Ref<RegistryKey>* key) noexcept;
    NTSTATUS CreateKey(std::string_view path, Ref<RegistryKey>* key, bool* created = nullptr) noexcept;

    // Runs `body` as one transaction: every key and value it writes in this
    // hive commits together, or none does when it fails (returns an error
    // status). Used to install a driver's keys atomically.
    NTSTATUS Transact(const std::function<NTSTATUS()>& body) noexcept;

    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

private:
    friend class RegistryKey;
    struct Db;
    Hive(std::filesystem::path file, std::unique_ptr<Db> db) noexcept;
    // Splits a full path and runs `body` on the root key and the components.
    template <class Body>
    NTSTATUS WithComponents(std::string_view path, Body&& body) noexcept;

    std::filesystem::path file_;
    std::unique_ptr<Db> db_;
};

// Strips "\Registry\Machine" from a kernel path and normalises separators;
// STATUS_OBJECT_PATH_SYNTAX_BAD for other roots or empty components.
NTSTATUS SplitRegistryPath(std::string_view path, std::vector<std::string>* components) noexcept;

}  // namespace nt
