// The registry hive in SQLite.
//
// keys:       id, parent, name (NOCASE), one row per key; the root has id 1
//             and no parent. AUTOINCREMENT keeps the id of a deleted key
//             from being given to a new one, so that a handle to a deleted
//             key never reaches a stranger.
// key_values: key, name (NOCASE), type, data; rowid order is creation order.
//
// One connection per Hive, used under its mutex. Writes run in BEGIN
// IMMEDIATE transactions (nested ones as savepoints), which take SQLite's
// write lock up front and wait for it through the busy timeout rather than
// failing half-way.
#include <nt/hive.h>
#include <nt/unicode.h>

#include <sqlite3.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

namespace nt {

namespace {

constexpr int64_t kRootId = 1;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr int kBusyTimeoutMs = 30000;

NTSTATUS StatusFromSqlite(int rc) noexcept {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return STATUS_SUCCESS;
        case SQLITE_NOMEM:
            return STATUS_INSUFFICIENT_RESOURCES;
        case SQLITE_FULL:
            return STATUS_DISK_FULL;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_SCHEMA:
            return STATUS_REGISTRY_CORRUPT;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return STATUS_ACCESS_DENIED;
        default:  // I/O errors, a lock held beyond the busy timeout, ...
            return STATUS_REGISTRY_IO_FAILED;
    }
}

// A prepared statement, finalized on scope exit.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) noexcept {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const noexcept { return rc_ == SQLITE_OK || rc_ == SQLITE_ROW || rc_ == SQLITE_DONE; }
    NTSTATUS status() const noexcept { return StatusFromSqlite(rc_); }

    Statement& Bind(int i, int64_t v) noexcept {
        if (ok()) rc_ = sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& Bind(int i, std::string_view v) noexcept {
        if (ok()) rc_ = sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(int i, std::span<const uint8_t> v) noexcept {
        // A zero-length blob, not NULL, for empty data.
        if (ok()) rc_ = sqlite3_bind_blob(stmt_, i, v.empty() ? "" : static_cast<const void*>(v.data()),
                                          static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is available; check status() afterwards.
    bool Step() noexcept {
        if (!ok()) return false;
        rc_ = sqlite3_step(stmt_);
        return rc_ == SQLITE_ROW;
    }
    NTSTATUS Run() noexcept {
        while (Step()) {
        }
        return status();
    }
    int64_t Int(int col) noexcept { return sqlite3_column_int64(stmt_, col); }
    std::string Text(int col) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }
    std::vector<uint8_t> Blob(int col) {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
        return p ? std::vector<uint8_t>(p, p + sqlite3_column_bytes(stmt_, col)) : std::vector<uint8_t>();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

NTSTATUS Exec(sqlite3* db, const char* sql) noexcept {
    return StatusFromSqlite(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

bool ValidKeyName(std::string_view name) noexcept {
    return !name.empty() && name.size() <= kMaxKeyNameLength && name.find('\0') == std::string_view::npos;
}

std::string JoinPath(const std::string& base, const std::string& name) {
    return base.empty() ? name : base + '\\' + name;
}

}  // namespace

NTSTATUS SplitRegistryPath(std::string_view path, std::vector<std::string>* components) noexcept {
    try {
        components->clear();
        if (!path.empty() && path.front() == '\\') {
            static constexpr std::string_view kMachine = "\\Registry\\Machine";
            if (path.size() < kMachine.size() || !EqualNames(path.substr(0, kMachine.size()), kMachine))
                return STATUS_OBJECT_PATH_SYNTAX_BAD;
            path.remove_prefix(kMachine.size());
            if (!path.empty() && path.front() != '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
            if (!path.empty()) path.remove_prefix(1);
        }
        if (!path.empty() && path.back() == '\\') path.remove_suffix(1);  // "Services\FL\" is "Services\FL"
        while (!path.empty()) {
            const size_t end = path.find('\\');
            const std::string_view name = path.substr(0, end);
            if (!ValidKeyName(name)) return STATUS_OBJECT_NAME_INVALID;
            components->emplace_back(name);
            if (end == std::string_view::npos) break;
            path.remove_prefix(end + 1);
            if (path.empty()) return STATUS_OBJECT_NAME_INVALID;
        }
        return STATUS_SUCCESS;
    } catch (...) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

struct Hive::Db {
    sqlite3* db = nullptr;
    std::recursive_mutex mutex;
    int depth = 0;  // transaction nesting, guarded by mutex
    bool read_only = false;  // set once at open

    ~Db() { sqlite3_close_v2(db); }

    // Runs `body` as one write transaction (a savepoint when nested).
    template <class Body>
    NTSTATUS Write(Body&& body) noexcept {
        if (read_only) return STATUS_ACCESS_DENIED;
        std::lock_guard lock(mutex);
        NTSTATUS status = Exec(db, depth == 0 ? "BEGIN IMMEDIATE" : "SAVEPOINT nested");
        if (!NT_SUCCESS(status)) return status;
        ++depth;
        try {
            status = body();
        } catch (...) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        --depth;
        if (NT_SUCCESS(status)) {
            status = Exec(db, depth == 0 ? "COMMIT" : "RELEASE nested");
            if (NT_SUCCESS(status)) return STATUS_SUCCESS;
        }
        Exec(db, depth == 0 ? "ROLLBACK" : "ROLLBACK TO nested; RELEASE nested");
        return status;
    }

    // Runs `body` under the connection lock; reads need no transaction.
    template <class Body>
    NTSTATUS Read(Body&& body) noexcept {
        std::lock_guard lock(mutex);
        try {
            return body();
        } catch (...) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    NTSTATUS KeyExists(int64_t id) noexcept {
        Statement q(db, "SELECT 1 FROM keys WHERE id = ?");
        q.Bind(1, id);
        if (q.Step()) return STATUS_SUCCESS;
        return q.ok() ? STATUS_KEY_DELETED : q.status();
    }

    // Finds `name` under `parent`; STATUS_OBJECT_NAME_NOT_FOUND if absent.
    NTSTATUS Child(int64_t parent, const std::string& name, int64_t* id, std::string* stored) {
        Statement q(db, "SELECT id, name FROM keys WHERE parent = ? AND name = ?");
        q.Bind(1, parent).Bind(2, name);
        if (q.Step()) {
            *id = q.Int(0);
            *stored = q.Text(1);
            return STATUS_SUCCESS;
        }
        return q.ok() ? STATUS_OBJECT_NAME_NOT_FOUND : q.status();
    }

    NTSTATUS Touch(int64_t id) noexcept {
        Statement u(db, "UPDATE keys SET last_write = ? WHERE id = ?");
        u.Bind(1, static_cast<int64_t>(std::time(nullptr))).Bind(2, id);
        return u.Run();
    }
};

// ---- Hive ----

Hive::Hive(std::filesystem::path file, std::unique_ptr<Db> db) noexcept
    : file_(std::move(file)), db_(std::move(db)) {}

Hive::~Hive() = default;

namespace {

bool Busy(int rc) noexcept { return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED; }

// One attempt at a new hive's set-up; the SQLite result code. WAL lets
// readers of other processes go on while one writes.
int SetUpOnce(sqlite3* db) noexcept {
    int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_exec(db,
                      "CREATE TABLE IF NOT EXISTS keys("
                      " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                      " parent INTEGER REFERENCES keys(id),"
                      " name TEXT NOT NULL COLLATE NOCASE,"
                      " last_write INTEGER NOT NULL DEFAULT 0,"
                      " UNIQUE(parent, name));"
                      "CREATE TABLE IF NOT EXISTS key_values("
                      " key INTEGER NOT NULL REFERENCES keys(id),"
                      " name TEXT NOT NULL COLLATE NOCASE,"
                      " type INTEGER NOT NULL,"
                      " data BLOB NOT NULL,"
                      " UNIQUE(key, name));"
                      "INSERT OR IGNORE INTO keys(id, parent, name) VALUES(1, NULL, '');"
                      "COMMIT",
                      nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && sqlite3_get_autocommit(db) == 0)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc;
}

// Several programs opening a new hive at once meet in the switch to WAL,
// where SQLite answers SQLITE_BUSY at once instead of calling the busy
// handler (waiting there could deadlock against another upgrading reader).
// So the whole set-up is tried again, with growing pauses, for as long as
// any other lock would be waited for.
int SetUp(sqlite3* db) noexcept {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        const int rc = SetUpOnce(db);
        if (!Busy(rc) || Clock::now() >= deadline) return rc;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

// A hive that may only be read: the tables must already be there.
int CheckSchema(sqlite3* db, bool* complete) noexcept {
    Statement q(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('keys', 'key_values')");
    *complete = q.Step() && q.Int(0) == 2;
    return q.ok() ? SQLITE_OK : sqlite3_errcode(db);
}

// A file name as an SQLite URI path.
std::string UriPath(const std::filesystem::path& file) {
    std::string uri = "file:";
    for (const char c : std::filesystem::absolute(file).string()) {
        if (c == '%' || c == '?' || c == '#') {
            static constexpr char kHex[] = "0123456789abcdef";
            uri += '%';
            uri += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
            uri += kHex[static_cast<unsigned char>(c) & 0xF];
        } else {
            uri += c;
        }
    }
    return uri;
}

std::string ErrnoText(int error) {
    return error != 0 ? std::system_category().message(error) : std::string("unknown reason");
}

// Why an open or set-up failed with `rc`, in words for the user.
std::string Reason(sqlite3* db, int rc) {
    switch (rc & 0xFF) {
        case SQLITE_NOTADB:
            return "the file is not a registry hive";
        case SQLITE_CORRUPT:
            return "the registry hive is damaged";
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return "another program keeps the registry hive locked";
        case SQLITE_FULL:
            return "the disk is full";
        case SQLITE_NOMEM:
            return "out of memory";
        default:
            return ErrnoText(db != nullptr ? sqlite3_system_errno(db) : 0);
    }
}

}  // namespace

NTSTATUS Hive::Open(const std::filesystem::path& file, std::shared_ptr<Hive>* hive, std::string* why) noexcept {
    if (hive == nullptr) return STATUS_INVALID_PARAMETER;
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    try {
        reason.clear();
        std::error_code ec;
        const auto kind = std::filesystem::status(file, ec).type();
        if (kind == std::filesystem::file_type::directory) {
            reason = "it is a directory, not a registry hive";
            return STATUS_REGISTRY_IO_FAILED;
        }
        auto db = std::make_unique<Db>();
        // A file this process may not write (a read-only file, folder or
        // mount, another user's file) is opened for reading.
        int rc = sqlite3_open_v2(file.c_str(), &db->db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            const int error = db->db != nullptr ? sqlite3_system_errno(db->db) : 0;
            if (kind == std::filesystem::file_type::not_found) {
                const int folder = access(file.parent_path().empty() ? "." : file.parent_path().c_str(), W_OK | X_OK);
                reason = "it does not exist and cannot be created: " + ErrnoText(folder != 0 ? errno : error);
            } else {
                reason = ErrnoText(error);
            }
            return error == EACCES || error == EPERM || error == EROFS ? STATUS_ACCESS_DENIED
                                                                         : STATUS_REGISTRY_IO_FAILED;
        }
        sqlite3_busy_timeout(db->db, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db->db, 1);
        db->read_only = sqlite3_db_readonly(db->db, "main") == 1;
        if (!db->read_only) {
            // In WAL mode NORMAL never corrupts the hive; a power cut may only
            // lose the last writes, much as Windows' lazy hive flush would.
            rc = sqlite3_exec(db->db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) rc = SetUp(db->db);
            if (rc != SQLITE_OK) {
                reason = Reason(db->db, rc);
                return StatusFromSqlite(rc);
            }
        } else {
            bool complete = false;
            rc = CheckSchema(db->db, &complete);
            if ((rc & 0xFF) == SQLITE_CANTOPEN || (rc & 0xFF) == SQLITE_READONLY) {
                // A WAL hive in a folder this process may not write, with no
                // shared-memory file beside it that SQLite could use: nobody
                // is writing it, so it is read as it stands.
                db = std::make_unique<Db>();
                db->read_only = true;
                rc = sqlite3_open_v2((UriPath(file) + "?immutable=1").c_str(), &db->db,
                                     SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX, nullptr);
                if (rc == SQLITE_OK) {
                    sqlite3_extended_result_codes(db->db, 1);
                    rc = CheckSchema(db->db, &complete);
                }
            }
            if (rc != SQLITE_OK) {
                reason = Reason(db->db, rc);
                return StatusFromSqlite(rc);
            }
            if (!complete) {
                const bool empty = std::filesystem::file_size(file, ec) == 0 && !ec;
                reason = empty ? "it is empty and read-only, so it cannot be set up"
                               : "the file is not a registry hive";
                return empty ? STATUS_ACCESS_DENIED : STATUS_REGISTRY_CORRUPT;
            }
        }
        *hive = std::shared_ptr<Hive>(new Hive(file, std::move(db)));
        return STATUS_SUCCESS;
    } catch (...) {
        reason = "out of memory";
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

bool Hive::ReadOnly() const noexcept { return db_->read_only; }

NTSTATUS Hive::Checkpoint() noexcept {
    if (db_->read_only) return STATUS_SUCCESS;
    std::lock_guard lock(db_->mutex);
    // Passive: never waits for another program's readers; what they still
    // see stays in the log until a later checkpoint.
    return StatusFromSqlite(sqlite3_wal_checkpoint_v2(db_->db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr));
}

std::filesystem::path Hive::MachinePath() {
    if (const char* file = std::getenv("FL_REGISTRY"); file != nullptr && *file != '\0') return file;
    std::filesystem::path state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/') {
        state = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') {
            const passwd* entry = getpwuid(getuid());
            home = entry != nullptr ? entry->pw_dir : "/tmp";
        }
        state = std::filesystem::path(home) / ".local" / "state";
    }
    return state / "ferrolan" / "registry.db";
}

NTSTATUS Hive::Machine(std::shared_ptr<Hive>* hive, std::string* why) noexcept {
    if (hive == nullptr) return STATUS_INVALID_PARAMETER;
    static std::mutex* lock = new std::mutex;
    static std::shared_ptr<Hive>* machine = new std::shared_ptr<Hive>;
    std::lock_guard guard(*lock);
    if (!*machine) {
        try {
            const std::filesystem::path file = MachinePath();
            std::error_code ec;
            if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
            if (ec) {
                if (why) *why = "its folder cannot be created: " + ec.message();
                return STATUS_REGISTRY_IO_FAILED;
            }
            NTSTATUS status = Open(file, machine, why);
            if (!NT_SUCCESS(status)) return status;  // tried again on the next call
        } catch (...) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    *hive = *machine;
    return STATUS_SUCCESS;
}

NTSTATUS Hive::OpenKey(std::string_view path, Ref<RegistryKey>* key) noexcept {
    return WithComponents(path, [&](RegistryKey& root, const std::vector<std::string>& components) {
        return root.OpenComponents(components, key);
    });
}

NTSTATUS Hive::CreateKey(std::string_view path, Ref<RegistryKey>* key, bool* created) noexcept {
    return WithComponents(path, [&](RegistryKey& root, const std::vector<std::string>& components) {
        return root.CreateComponents(components, key, created);
    });
}

template <class Body>
NTSTATUS Hive::WithComponents(std::string_view path, Body&& body) noexcept {
    try {
        std::vector<std::string> components;
        NTSTATUS status = SplitRegistryPath(path, &components);
        if (!NT_SUCCESS(status)) return status;
        Ref<RegistryKey> root = MakeRef<RegistryKey>(shared_from_this(), kRootId, std::string());
        if (!root) return STATUS_INSUFFICIENT_RESOURCES;
        return body(*root, components);
    } catch (...) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

NTSTATUS Hive::Transact(const std::function<NTSTATUS()>& body) noexcept {
    if (!body) return STATUS_INVALID_PARAMETER;
    return db_->Write([&] { return body(); });
}

// ---- RegistryKey ----

RegistryKey::RegistryKey(std::shared_ptr<Hive> hive, int64_t id, std::string path) noexcept
    : hive_(std::move(hive)), id_(id), path_(std::move(path)) {}

RegistryKey::~RegistryKey() = default;

// Relative paths only: a key cannot reach outside itself.
NTSTATUS RegistryKey::OpenSubkey(std::string_view relative_path, Ref<RegistryKey>* key) noexcept {
    if (!relative_path.empty() && relative_path.front() == '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    try {
        std::vector<std::string> components;
        NTSTATUS status = SplitRegistryPath(relative_path, &components);
        return NT_SUCCESS(status) ? OpenComponents(components, key) : status;
    } catch (...) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

NTSTATUS RegistryKey::CreateSubkey(std::string_view relative_path, Ref<RegistryKey>* key, bool* created) noexcept {
    if (!relative_path.empty() && relative_path.front() == '\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    try {
        std::vector<std::string> components;
        NTSTATUS status = SplitRegistryPath(relative_path, &components);
        return NT_SUCCESS(status) ? CreateComponents(components, key, created) : status;
    } catch (...) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

NTSTATUS RegistryKey::OpenComponents(const std::vector<std::string>& components, Ref<RegistryKey>* key) noexcept {
    if (key == nullptr) return STATUS_INVALID_PARAMETER;
    Hive::Db& db = *hive_->db_;
    return db.Read([&]() -> NTSTATUS {
        NTSTATUS status = db.KeyExists(id_);
        if (!NT_SUCCESS(status)) return status;
        int64_t id = id_;
        std::string path = path_;
        for (const std::string& name : components) {
            std::string stored;
            status = db.Child(id, name, &id, &stored);
            if (!NT_SUCCESS(status)) return status;
            path = JoinPath(path, stored);
        }
        Ref<RegistryKey> opened = MakeRef<RegistryKey>(hive_, id, std::move(path));
        if (!opened) return STATUS_INSUFFICIENT_RESOURCES;
        *key = std::move(opened);
        return STATUS_SUCCESS;
    });
}

// Every missing component is created in one transaction.
NTSTATUS RegistryKey::CreateComponents(const std::vector<std::string>& components, Ref<RegistryKey>* key,
                                       bool* created) noexcept {
    if (key == nullptr) return STATUS_INVALID_PARAMETER;
    Hive::Db& db = *hive_->db_;
    int64_t id = id_;
    std::string path = path_;
    bool made = false;
    NTSTATUS status = db.Write([&]() -> NTSTATUS {
        NTSTATUS s = db.KeyExists(id_);
        if (!NT_SUCCESS(s)) return s;
        for (const std::string& name : components) {
            std::string stored;
            s = db.Child(id, name, &id, &stored);
            made = s == STATUS_OBJECT_NAME_NOT_FOUND;
            if (made) {
                Statement insert(db.db, "INSERT INTO keys(parent, name, last_write) VALUES(?, ?, ?)");
                insert.Bind(1, id).Bind(2, name).Bind(3, static_cast<int64_t>(std::time(nullptr)));
                s = insert.Run();
                id = sqlite3_last_insert_rowid(db.db);
                stored = name;
            }
            if (!NT_SUCCESS(s)) return s;
            path = JoinPath(path, stored);
        }
        return STATUS_SUCCESS;
    });
    if (!NT_SUCCESS(status)) return status;
    Ref<RegistryKey> opened = MakeRef<RegistryKey>(hive_, id, std::move(path));
    if (!opened) return STATUS_INSUFFICIENT_RESOURCES;
    *key = std::move(opened);
    if (created) *created = made;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryKey::QueryValue(std::string_view name, RegistryValue* value) noexcept {
    if (value == nullptr) return STATUS_INVALID_PARAMETER;
    Hive::Db& db = *hive_->db_;
    return db.Read([&]() -> NTSTATUS {
        Statement q(db.db, "SELECT type, data FROM key_values WHERE key = ? AND name = ?");
        q.Bind(1, id_).Bind(2, name);
        if (q.Step()) {
            value->type = static_cast<ULONG>(q.Int(0));
            value->data = q.Blob(1);
            return STATUS_SUCCESS;
        }
        if (!q.ok()) return q.status();
        NTSTATUS status = db.KeyExists(id_);
        return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    });
}

NTSTATUS RegistryKey::SetValue(std::string_view name, ULONG type, std::span<const uint8_t> data) noexcept {
    if (name.size() > kMaxValueNameLength || name.find('\0') != std::string_view::npos)
        return STATUS_OBJECT_NAME_INVALID;
    if (data.size() > INT32_MAX) return STATUS_INVALID_PARAMETER;
    Hive::Db& db = *hive_->db_;
    return db.Write([&]() -> NTSTATUS {
        NTSTATUS status = db.KeyExists(id_);
        if (!NT_SUCCESS(status)) return status;
        Statement upsert(db.db,
                         "INSERT INTO key_values(key, name, type, data) VALUES(?, ?, ?, ?)"
                         " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
        upsert.Bind(1, id_).Bind(2, name).Bind(3, static_cast<int64_t>(type)).Bind(4, data);
        status = upsert.Run();
        if (!NT_SUCCESS(status)) return status;
        return db.Touch(id_);
    });
}

NTSTATUS RegistryKey::DeleteValue(std::string_view name) noexcept {
    Hive::Db& db = *hive_->db_;
    return db.Write([&]() -> NTSTATUS {
        NTSTATUS status = db.KeyExists(id_);
        if (!NT_SUCCESS(status)) return status;
        Statement del(db.db, "DELETE FROM key_values WHERE key = ? AND name = ?");
        del.Bind(1, id_).Bind(2, name);
        status = del.Run();
        if (!NT_SUCCESS(status)) return status;
        if (sqlite3_changes(db.db) == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
        return db.Touch(id_);
    });
}

NTSTATUS RegistryKey::Delete() noexcept {
    if (id_ == kRootId) return STATUS_CANNOT_DELETE;
    Hive::Db& db = *hive_->db_;
    return db.Write([&]() -> NTSTATUS {
        NTSTATUS status = db.KeyExists(id_);
        if (!NT_SUCCESS(status)) return status;
        Statement children(db.db, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
        children.Bind(1, id_);
        if (children.Step()) return STATUS_CANNOT_DELETE;
        if (!children.ok()) return children.status();
        Statement values(db.db, "DELETE FROM key_values WHERE key = ?");
        values.Bind(1, id_);
        status = values.Run();
        if (!NT_SUCCESS(status)) return status;
        Statement key(db.db, "DELETE FROM keys WHERE id = ?");
        key.Bind(1, id_);
        return key.Run();
    });
}

NTSTATUS RegistryKey::EnumerateSubkey(ULONG index, std::string* name) noexcept {
    if (name == nullptr) return STATUS_INVALID_PARAMETER;
    Hive::Db& db = *hive_->db_;
    return db.Read([&]() -> NTSTATUS {
        NTSTATUS status = db.KeyExists(id_);
        if (!NT_SUCCESS(status)) return status;
        Statement q(db.db, "SELECT name FROM keys WHERE parent = ? ORDER BY name LIMIT 1 OFFSET ?");
        q.Bind(1, id_).Bind(2, static_cast<int64_t>(index));
        if (q.Step()) {
            *name = q.Text(0);
            return STATUS_SUCCESS;
        }
        return q.ok() ? STATUS_NO_MORE_ENTRIES : q.status();
    });
}

NTSTATUS RegistryKey::EnumerateValue(ULONG index, std::string* name, RegistryValue* value) noexcept {
    if (name == nullptr || value == nullptr) return STATUS_INVALID_PARAMETER;
    Hive::Db& db = *hive_->db_;
    return db.Read([&]() -> NTSTATUS {
        NTSTATUS status = db.KeyExists(id_);
        if (!NT_SUCCESS(status)) return status;
        Statement q(db.db, "SELECT name, type, data FROM key_values WHERE key = ? ORDER BY rowid LIMIT 1 OFFSET ?");
        q.Bind(1, id_).Bind(2, static_cast<int64_t>(index));
        if (q.Step()) {
            *name = q.Text(0);
            value->type = static_cast<ULONG>(q.Int(1));
            value->data = q.Blob(2);
            return STATUS_SUCCESS;
        }
        return q.ok() ? STATUS_NO_MORE_ENTRIES : q.status();
    });
}

NTSTATUS RegistryKey::QueryInfo(RegistryKeyInfo* info) noexcept {
    if (info == nullptr) return STATUS_INVALID_PARAMETER;
    Hive::Db& db = *hive_->db_;
    return db.Read([&]() -> NTSTATUS {
        NTSTATUS status = db.KeyExists(id_);
        if (!NT_SUCCESS(status)) return status;
        RegistryKeyInfo result;
        Statement keys(db.db, "SELECT name FROM keys WHERE parent = ?");
        keys.Bind(1, id_);
        while (keys.Step()) {
            ++result.subkeys;
            const auto length = static_cast<ULONG>(Utf8ToUtf16(keys.Text(0)).size());
            if (length > result.max_subkey_name_length) result.max_subkey_name_length = length;
        }
        if (!keys.ok()) return keys.status();
        Statement values(db.db, "SELECT name, length(data) FROM key_values WHERE key = ?");
        values.Bind(1, id_);
        while (values.Step()) {
            ++result.values;
            const auto length = static_cast<ULONG>(Utf8ToUtf16(values.Text(0)).size());
            if (length > result.max_value_name_length) result.max_value_name_length = length;
            const auto bytes = static_cast<ULONG>(values.Int(1));
            if (bytes > result.max_value_data_length) result.max_value_data_length = bytes;
        }
        if (!values.ok()) return values.status();
        *info = result;
        return STATUS_SUCCESS;
    });
}

// ---- Typed helpers ----

NTSTATUS RegistryKey::SetDword(std::string_view name, ULONG value) noexcept {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return SetValue(name, REG_DWORD, bytes);
}

NTSTATUS RegistryKey::SetQword(std::string_view name, ULONGLONG value) noexcept {
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return SetValue(name, REG_QWORD, bytes);
}

NTSTATUS RegistryKey::SetString(std::string_view name, std::string_view value) noexcept {
    try {
        std::u16string text = Utf8ToUtf16(value);
        text += u'\0';
        return SetValue(name, REG_SZ, ToUtf16Le(text));
    } catch (...) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

NTSTATUS RegistryKey::SetMultiString(std::string_view name, const std::vector<std::string>& values) noexcept {
    try {
        std::u16string text;
        for (const std::string& v : values) {
            if (v.empty()) return STATUS_INVALID_PARAMETER;  // would end the list early
            text += Utf8ToUtf16(v);
            text += u'\0';
        }
        if (values.empty()) text += u'\0';
        text += u'\0';
        return SetValue(name, REG_MULTI_SZ, ToUtf16Le(text));
    } catch (...) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

NTSTATUS RegistryKey::SetBinary(std::string_view name, std::span<const uint8_t> value) noexcept {
    return SetValue(name, REG_BINARY, value);
}

NTSTATUS RegistryKey::QueryDword(std::string_view name, ULONG* value) noexcept {
    if (value == nullptr) return STATUS_INVALID_PARAMETER;
    RegistryValue v;
    NTSTATUS status = QueryValue(name, &v);
    if (!NT_SUCCESS(status)) return status;
    if (v.type != REG_DWORD || v.data.size() != 4) return STATUS_OBJECT_TYPE_MISMATCH;
    *value = static_cast<ULONG>(v.data[0]) | static_cast<ULONG>(v.data[1]) << 8 |
             static_cast<ULONG>(v.data[2]) << 16 | static_cast<ULONG>(v.data[3]) << 24;
    return STATUS_SUCCESS;
}

NTSTATUS RegistryKey::QueryString(std::string_view name, std::string* value) noexcept {
    if (value == nullptr) return STATUS_INVALID_PARAMETER;
    try {
        RegistryValue v;
        NTSTATUS status = QueryValue(name, &v);
        if (!NT_SUCCESS(status)) return status;
        if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
        std::u16string text = FromUtf16Le(v.data);
        // Writers do not always store the terminator; stop at the first one.
        if (const size_t nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
        *value = Utf16ToUtf8(text);
        return STATUS_SUCCESS;
    } catch (...) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

NTSTATUS RegistryKey::QueryMultiString(std::string_view name, std::vector<std::string>* values) noexcept {
    if (values == nullptr) return STATUS_INVALID_PARAMETER;
    try {
        RegistryValue v;
        NTSTATUS status = QueryValue(name, &v);
        if (!NT_SUCCESS(status)) return status;
        if (v.type != REG_MULTI_SZ) return STATUS_OBJECT_TYPE_MISMATCH;
        const std::u16string text = FromUtf16Le(v.data);
        std::vector<std::string> result;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(u'\0', start);
            if (end == std::u16string::npos) end = text.size();
            if (end == start) break;  // the empty string ends the list
            result.push_back(Utf16ToUtf8(std::u16string_view(text).substr(start, end - start)));
            start = end + 1;
        }
        *values = std::move(result);
        return STATUS_SUCCESS;
    } catch (...) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

}  // namespace nt
