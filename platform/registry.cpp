#include "platform/registry.h"

#include "platform/faults.h"

#include "platform/paths.h"
#include "platform/trace.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

struct RegKey {
    int64_t id;
    size_t level; // below the root; keys never move, so it stays true
};

namespace {

constexpr int64_t ROOT_ID = 1;
constexpr size_t MAX_KEY_NAME_LENGTH = 255;

// AUTOINCREMENT so that the id of a deleted key is never handed to a new key: a
// stale handle must keep failing, not silently reach a stranger.
constexpr const char* schemaSql = R"(
CREATE TABLE IF NOT EXISTS keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL COLLATE NOCASE,
    UNIQUE(parent, name));
CREATE TABLE IF NOT EXISTS vals(
    key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    name TEXT NOT NULL COLLATE NOCASE,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    UNIQUE(key, name));
INSERT OR IGNORE INTO keys(id, parent, name) VALUES(1, NULL, 'HKEY_LOCAL_MACHINE');
)";

// Everything here is touched with storeLock() held.
struct Store {
    sqlite3* db GUARDED_BY(storeLock()) = nullptr;
    bool inGroup GUARDED_BY(storeLock()) = false;
    // The store could be opened for reading only: every write is refused.
    bool readOnly GUARDED_BY(storeLock()) = false;
    // The last reason the store could not be opened, traced once rather than at
    // every call that tries again.
    std::string openProblem GUARDED_BY(storeLock());
    std::set<RegKey*> handles GUARDED_BY(storeLock());
};

Store& store() {
    static Store instance;
    return instance;
}

long ioFailed(sqlite3* db) {
    debugTrace("Registry store: %s\r\n", db ? sqlite3_errmsg(db) : "cannot open");
    return ERROR_REGISTRY_IO_FAILED;
}

// Every call opens the store again while it cannot be opened; the reason is traced
// when it is new.
void openFailed(const std::string& problem) REQUIRES(storeLock()) {
    Store& s = store();
    if (problem != s.openProblem)
        debugTrace("Registry store: %s\r\n", problem.c_str());
    s.openProblem = problem;
}

bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

class Statement {
  public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, int64_t value) {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement& bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bindBlob(int index, const uint8_t* data, uint32_t size) {
        // A null pointer would bind SQL NULL, which the NOT NULL column refuses.
        static const uint8_t none = 0;
        sqlite3_bind_blob(stmt_, index, size ? data : &none, int(size), SQLITE_TRANSIENT);
        return *this;
    }
    // Ready to be bound and stepped again.
    Statement& reset() {
        sqlite3_reset(stmt_);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }
    std::string text(int column) {
        auto chars = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return chars ? std::string(chars, size_t(sqlite3_column_bytes(stmt_, column))) : "";
    }
    std::vector<uint8_t> blob(int column) {
        auto bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
        return bytes ? std::vector<uint8_t>(bytes, bytes + sqlite3_column_bytes(stmt_, column))
                     : std::vector<uint8_t>();
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool configure(sqlite3* db) {
    sqlite3_busy_timeout(db, 10000);
    // WAL: the manager keeps reading while travenor-reg writes. synchronous=NORMAL
    // keeps every commit atomic; RegFlushKey syncs the log for power-loss safety.
    return exec(db, "PRAGMA journal_mode=WAL") && exec(db, "PRAGMA synchronous=NORMAL") &&
           exec(db, "PRAGMA foreign_keys=ON") && exec(db, "BEGIN IMMEDIATE") &&
           (exec(db, schemaSql) ? exec(db, "COMMIT") : (exec(db, "ROLLBACK"), false));
}

// The store file is the user's alone, as its folder is: made owner-only before SQLite
// opens it (its log files take the same access), an older one narrowed. False, with a
// trace, when the folder or the file is not this user's, or there is no file and none
// can be made (a read-only folder).
bool prepareStoreFile(const PrivateFolder& folder, const std::string& path) REQUIRES(storeLock()) {
    std::string problem =
        folder.usable() ? foreignEntryProblem(path, "the store file registry.db") : folder.problem;
    if (!problem.empty()) {
        openFailed(problem);
        return false;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EROFS || errno == EACCES))
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        openFailed(path + ": " + std::strerror(errno));
        return false;
    }
    ::close(fd);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string file = path + suffix;
        struct stat status {};
        if (::lstat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            status.st_uid == ::geteuid() && (status.st_mode & 077))
            ::chmod(file.c_str(), status.st_mode & 0700);
    }
    return true;
}

// The path as an SQLite URI, for the query parameter of openReadOnly.
std::string fileUri(const std::string& path) {
    std::string uri = "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", unsigned(uint8_t(c)));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return uri;
}

bool readable(sqlite3* db) {
    sqlite3_busy_timeout(db, 10000);
    return Statement(db, "SELECT 1 FROM keys WHERE id=1").step() == SQLITE_ROW;
}

// A store whose file or folder refuses writing (mode 0400, a read-only mount) is still
// read. SQLite reads a write-ahead-logged database through its shared-memory file;
// where that cannot be made either (a read-only mount that holds none), the file is
// read as immutable: on such a mount nobody can change it under the reader.
sqlite3* openReadOnly(const std::string& path) {
    const std::string uris[] = {fileUri(path), fileUri(path) + "?immutable=1"};
    for (const std::string& uri : uris) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
                SQLITE_OK &&
            readable(db))
            return db;
        sqlite3_close_v2(db);
    }
    return nullptr;
}

sqlite3* openDatabase(bool* readOnly) REQUIRES(storeLock()) {
    PrivateFolder folder = checkedStoreFolder();
    std::string path = folder.path + "/registry.db";
    if (!prepareStoreFile(folder, path))
        return nullptr;
    sqlite3* db = nullptr;
    *readOnly = false;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    bool readingOnly = rc == SQLITE_OK && sqlite3_db_readonly(db, "main") == 1;
    if (rc == SQLITE_OK && !readingOnly && configure(db))
        return db;
    std::string problem = db ? sqlite3_errmsg(db) : "cannot open";
    // Writing refused: SQLite fell back to reading, or the set-up's writes failed for
    // want of write access (not for a lock another process holds: that passes).
    int code = db ? sqlite3_errcode(db) & 0xFF : SQLITE_CANTOPEN;
    bool refused = readingOnly || code == SQLITE_READONLY || code == SQLITE_CANTOPEN;
    sqlite3_close_v2(db);
    db = refused ? openReadOnly(path) : nullptr;
    if (!db) {
        openFailed(path + ": " + problem);
        return nullptr;
    }
    *readOnly = true;
    openFailed(path + " is read-only: it is read, and every change is refused");
    return db;
}

bool ensureOpen(Store& s) REQUIRES(storeLock()) {
    if (!s.db)
        s.db = openDatabase(&s.readOnly);
    return s.db != nullptr;
}

bool validHandle(Store& s, HKEY key) REQUIRES(storeLock()) {
    return key == HKEY_LOCAL_MACHINE || (key && s.handles.count(key));
}

// Locks the store for its scope, opens it and checks the handle; result() is the error,
// if any.
class SCOPED_CAPABILITY Access {
  public:
    explicit Access(HKEY key) ACQUIRE(storeLock()) {
        storeLock().lock();
        Store& s = store();
        if (!ensureOpen(s))
            result_ = ERROR_REGISTRY_IO_FAILED;
        else if (!validHandle(s, key))
            result_ = ERROR_INVALID_HANDLE;
    }
    ~Access() RELEASE() { storeLock().unlock(); }
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;

    long result() const { return result_; }
    sqlite3* db() const REQUIRES(storeLock()) { return store().db; }

  private:
    long result_ = ERROR_SUCCESS;
};

bool keyExists(sqlite3* db, int64_t id) {
    return Statement(db, "SELECT 1 FROM keys WHERE id=?").bind(1, id).step() == SQLITE_ROW;
}

// Backslash-separated path into its components; false for an empty or overlong part.
bool splitPath(const char* subKey, std::vector<std::string>* parts) {
    parts->clear();
    if (!subKey || !*subKey)
        return true;
    std::string path(subKey);
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part.size() > MAX_KEY_NAME_LENGTH)
            return false;
        parts->push_back(part);
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

// Child id, 0 when missing, -1 on a store failure.
int64_t findChild(sqlite3* db, int64_t parent, const std::string& name) {
    Statement find(db, "SELECT id FROM keys WHERE parent=? AND name=?");
    int rc = find.bind(1, parent).bind(2, name).step();
    return rc == SQLITE_ROW ? find.integer(0) : rc == SQLITE_DONE ? 0 : -1;
}

int64_t addChild(sqlite3* db, int64_t parent, const std::string& name) {
    Statement add(db, "INSERT INTO keys(parent, name) VALUES(?, ?)");
    return add.bind(1, parent).bind(2, name).step() == SQLITE_DONE ? sqlite3_last_insert_rowid(db)
                                                                   : -1;
}

long resolve(sqlite3* db, int64_t from, const std::vector<std::string>& parts, bool create,
             int64_t* id) {
    if (!keyExists(db, from))
        return ERROR_KEY_DELETED;
    *id = from;
    for (const std::string& part : parts) {
        int64_t child = findChild(db, *id, part);
        if (child == 0 && create)
            child = addChild(db, *id, part);
        if (child < 0)
            return ioFailed(db);
        if (child == 0)
            return ERROR_FILE_NOT_FOUND;
        *id = child;
    }
    return ERROR_SUCCESS;
}

// The key and every key below it, the deepest first.
bool listSubtree(sqlite3* db, int64_t top, std::vector<int64_t>* ids) {
    Statement list(
        db, "WITH RECURSIVE below(id, level) AS (SELECT ?, 0 UNION ALL "
            "SELECT keys.id, below.level + 1 FROM keys JOIN below ON keys.parent = below.id) "
            "SELECT id FROM below ORDER BY level DESC");
    list.bind(1, top);
    int rc;
    while ((rc = list.step()) == SQLITE_ROW)
        ids->push_back(list.integer(0));
    return rc == SQLITE_DONE;
}

// Deletes the subtree from its leaves up, so that each row's cascade reaches only its
// values: a cascade from the top would recurse once per level, and SQLite gives up
// after 1000 levels.
long deleteSubtree(sqlite3* db, int64_t top) {
    std::vector<int64_t> ids;
    if (!listSubtree(db, top, &ids))
        return ioFailed(db);
    Statement remove(db, "DELETE FROM keys WHERE id=?");
    for (int64_t id : ids)
        if (remove.reset().bind(1, id).step() != SQLITE_DONE)
            return ioFailed(db);
    return ERROR_SUCCESS;
}

// Runs body as one transaction, or as a savepoint inside an open RegTransaction, so
// that a failing call never leaves half of itself behind.
template <class Body> long writeAtomically(sqlite3* db, Body&& body) REQUIRES(storeLock()) {
    if (store().readOnly)
        return ERROR_ACCESS_DENIED;
    bool nested = store().inGroup;
    if (!exec(db, nested ? "SAVEPOINT regwrite" : "BEGIN IMMEDIATE"))
        return ioFailed(db);
    long result = body();
    if (result == ERROR_SUCCESS && exec(db, nested ? "RELEASE regwrite" : "COMMIT"))
        return ERROR_SUCCESS;
    if (result == ERROR_SUCCESS)
        result = ioFailed(db);
    exec(db, nested ? "ROLLBACK TO regwrite" : "ROLLBACK");
    if (nested)
        exec(db, "RELEASE regwrite");
    return result;
}

long openOrCreate(HKEY parent, const char* subKey, HKEY* result, bool create) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Access access(parent);
    if (access.result() != ERROR_SUCCESS)
        return access.result();
    std::vector<std::string> parts;
    if (!splitPath(subKey, &parts))
        return ERROR_INVALID_PARAMETER;
    size_t level = parent->level + parts.size();
    if (create && level > MAX_KEY_LEVELS)
        return ERROR_INVALID_PARAMETER;
    int64_t id = 0;
    // On a read-only store a key that is there opens; one that is not cannot be made.
    if (create && store().readOnly) {
        long found = resolve(access.db(), parent->id, parts, false, &id);
        create = false;
        if (found == ERROR_FILE_NOT_FOUND)
            return ERROR_ACCESS_DENIED;
    }
    sqlite3* db = access.db();
    long rc = create
                  ? writeAtomically(db, [&] { return resolve(db, parent->id, parts, true, &id); })
                  : resolve(db, parent->id, parts, false, &id);
    if (rc != ERROR_SUCCESS)
        return rc;
    *result = new RegKey{id, level};
    store().handles.insert(*result);
    return ERROR_SUCCESS;
}

std::string valueName(const char* name) {
    return name ? name : "";
}

long copyOut(uint32_t type, const std::vector<uint8_t>& stored, uint8_t* data, uint32_t* size) {
    uint32_t room = *size;
    *size = uint32_t(stored.size());
    if (!data)
        return ERROR_SUCCESS;
    if (stored.size() > room)
        return ERROR_MORE_DATA;
    if (!stored.empty())
        std::memcpy(data, stored.data(), stored.size());
    if (type == REG_SZ && stored.size() < room)
        data[stored.size()] = 0;
    return ERROR_SUCCESS;
}

// Runs body(db) as one atomic write on the key's values; the key must still be there.
template <class Body> long writeKey(HKEY key, Body&& body) {
    Access access(key);
    if (access.result() != ERROR_SUCCESS)
        return access.result();
    sqlite3* db = access.db();
    return writeAtomically(
        db, [&]() -> long { return keyExists(db, key->id) ? body(db) : ERROR_KEY_DELETED; });
}

// The rows of a query about one key (its subkeys, its values), each made an item by
// take; the key checked as every call checks it.
template <class Item, class Take>
long listRows(HKEY key, const char* sql, std::vector<Item>* items, Take take) {
    Access access(key);
    if (access.result() != ERROR_SUCCESS)
        return access.result();
    if (!keyExists(access.db(), key->id))
        return ERROR_KEY_DELETED;
    items->clear();
    Statement list(access.db(), sql);
    list.bind(1, key->id);
    int rc;
    while ((rc = list.step()) == SQLITE_ROW)
        items->push_back(take(list));
    return rc == SQLITE_DONE ? ERROR_SUCCESS : ioFailed(access.db());
}

} // namespace

RecursiveMutex& storeLock() {
    static RecursiveMutex lock;
    return lock;
}

static RegKey rootKey{ROOT_ID, 0};
const HKEY HKEY_LOCAL_MACHINE = &rootKey;

long RegOpenKeyEx(HKEY parent, const char* subKey, HKEY* result) {
    if (platformCallFails(PlatformCall::RegistryOpen))
        return ERROR_ACCESS_DENIED;
    return openOrCreate(parent, subKey, result, false);
}

long RegCreateKeyEx(HKEY parent, const char* subKey, HKEY* result) {
    if (platformCallFails(PlatformCall::RegistryCreate)) {
        if (result)
            *result = nullptr;
        return ERROR_REGISTRY_IO_FAILED;
    }
    return openOrCreate(parent, subKey, result, true);
}

long RegQueryValueEx(HKEY key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) {
    if (data && !size)
        return ERROR_INVALID_PARAMETER;
    Access access(key);
    if (access.result() != ERROR_SUCCESS)
        return access.result();
    Statement query(access.db(), "SELECT type, data FROM vals WHERE key=? AND name=?");
    int rc = query.bind(1, key->id).bind(2, valueName(name)).step();
    if (rc == SQLITE_DONE)
        return keyExists(access.db(), key->id) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW)
        return ioFailed(access.db());
    uint32_t storedType = uint32_t(query.integer(0));
    if (type)
        *type = storedType;
    return size ? copyOut(storedType, query.blob(1), data, size) : ERROR_SUCCESS;
}

long RegSetValueEx(HKEY key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) {
    if (platformCallFails(PlatformCall::RegistryWrite))
        return ERROR_REGISTRY_IO_FAILED;
    if ((!data && size) || (type != REG_SZ && type != REG_BINARY && type != REG_DWORD) ||
        (type == REG_DWORD && size != 4))
        return ERROR_INVALID_PARAMETER;
    while (type == REG_SZ && size && data[size - 1] == 0)
        size--;
    return writeKey(key, [&](sqlite3* db) -> long {
        Statement upsert(db, "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) "
                             "ON CONFLICT(key, name) DO UPDATE SET type=excluded.type, "
                             "data=excluded.data");
        upsert.bind(1, key->id).bind(2, valueName(name)).bind(3, int64_t(type));
        return upsert.bindBlob(4, data, size).step() == SQLITE_DONE ? ERROR_SUCCESS : ioFailed(db);
    });
}

long RegDeleteValue(HKEY key, const char* name) {
    if (platformCallFails(PlatformCall::RegistryDelete))
        return ERROR_REGISTRY_IO_FAILED;
    return writeKey(key, [&](sqlite3* db) -> long {
        Statement remove(db, "DELETE FROM vals WHERE key=? AND name=?");
        if (remove.bind(1, key->id).bind(2, valueName(name)).step() != SQLITE_DONE)
            return ioFailed(db);
        return sqlite3_changes(db) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

long RegDeleteKey(HKEY parent, const char* subKey) {
    if (platformCallFails(PlatformCall::RegistryDelete))
        return ERROR_REGISTRY_IO_FAILED;
    Access access(parent);
    if (access.result() != ERROR_SUCCESS)
        return access.result();
    std::vector<std::string> parts;
    if (!splitPath(subKey, &parts) || parts.empty())
        return ERROR_INVALID_PARAMETER;
    sqlite3* db = access.db();
    return writeAtomically(db, [&]() -> long {
        int64_t id = 0;
        long rc = resolve(db, parent->id, parts, false, &id);
        if (rc != ERROR_SUCCESS)
            return rc;
        return deleteSubtree(db, id);
    });
}

long RegFlushKey(HKEY key) {
    Access access(key);
    if (access.result() != ERROR_SUCCESS)
        return access.result();
    if (!keyExists(access.db(), key->id))
        return ERROR_KEY_DELETED;
    if (store().readOnly)
        return ERROR_SUCCESS; // nothing was written
    // Every commit is already in the write-ahead log; syncing the log makes all of
    // them durable. Checkpoints sync the database file themselves.
    sqlite3_file* log = nullptr;
    sqlite3_file_control(access.db(), "main", SQLITE_FCNTL_JOURNAL_POINTER, &log);
    if (log && log->pMethods && log->pMethods->xSync(log, SQLITE_SYNC_NORMAL) != SQLITE_OK)
        return ioFailed(access.db());
    return ERROR_SUCCESS;
}

long RegCloseKey(HKEY key) {
    RecursiveMutexLock lock(storeLock());
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    if (!key || !store().handles.erase(key))
        return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

long regSetString(HKEY key, const char* name, const std::string& text) {
    return RegSetValueEx(key, name, REG_SZ, reinterpret_cast<const uint8_t*>(text.data()),
                         uint32_t(text.size()));
}

long regSetDword(HKEY key, const char* name, uint32_t value) {
    uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                        uint8_t(value >> 24)};
    return RegSetValueEx(key, name, REG_DWORD, bytes, 4);
}

long regEnumSubkeys(HKEY key, std::vector<std::string>* names) {
    return listRows(key, "SELECT name FROM keys WHERE parent=? ORDER BY name", names,
                    [](Statement& row) { return row.text(0); });
}

long regEnumValues(HKEY key, std::vector<RegValue>* values) {
    return listRows(key, "SELECT name, type, data FROM vals WHERE key=? ORDER BY rowid", values,
                    [](Statement& row) {
                        return RegValue{row.text(0), uint32_t(row.integer(1)), row.blob(2)};
                    });
}

// The store stays locked for the object's whole life, also when the group could not
// begin, so that the lock's holder is plain to the lock check.
RegTransaction::RegTransaction() : status_(ERROR_SUCCESS), open_(false) {
    storeLock().lock();
    Store& s = store();
    if (!ensureOpen(s) || s.inGroup || !exec(s.db, s.readOnly ? "BEGIN" : "BEGIN IMMEDIATE")) {
        status_ = s.inGroup ? ERROR_INVALID_PARAMETER
                  : s.db    ? ioFailed(s.db)
                            : ERROR_REGISTRY_IO_FAILED;
        return;
    }
    // A read-only store: the group still reads one consistent picture.
    if (s.readOnly)
        status_ = ERROR_ACCESS_DENIED;
    s.inGroup = true;
    open_ = true;
}

RegTransaction::~RegTransaction() {
    Store& s = store();
    if (open_) {
        exec(s.db, "ROLLBACK");
        s.inGroup = false;
    }
    storeLock().unlock();
}

long RegTransaction::commit() {
    if (!open_)
        return status_ == ERROR_SUCCESS ? ERROR_INVALID_PARAMETER : status_;
    Store& s = store();
    bool committed = exec(s.db, "COMMIT");
    long result = committed ? status_ : ioFailed(s.db);
    if (!committed)
        exec(s.db, "ROLLBACK");
    s.inGroup = false;
    open_ = false;
    return result;
}

void resetRegistryStore() {
    RecursiveMutexLock lock(storeLock());
    Store& s = store();
    sqlite3_close_v2(s.db);
    s.db = nullptr;
    s.inGroup = false;
    s.readOnly = false;
    s.openProblem.clear();
}

} // namespace platform
