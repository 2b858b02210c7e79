#pragma once
// The configuration store: a registry of keys and values on HKEY_LOCAL_MACHINE,
// kept in one SQLite database, $QUORVALINK_HOME/registry.db.
//
// The calls mirror the Win32 registry API so that the procedures built on it read
// like their descriptions: results are Win32 error codes (ERROR_SUCCESS = 0),
// sizes are byte counts, a query states the size of the value so that a caller can
// treat a value that does not fit its buffer as missing.
//
// Key and value names match without regard to (ASCII) letter case and keep the case
// they were first written with (writing "IPADDR01" over "IpAddr01" keeps the name
// "IpAddr01"). REG_SZ is stored without its terminating NUL, REG_DWORD as 4
// little-endian bytes, REG_BINARY as given; other types are refused. Every write is
// one SQLite transaction, so a process killed in the middle leaves the store as it
// was before that write. Several processes (the manager, travenor-reg) may use the
// store at the same time.
//
// A handle names a key, not a snapshot: once the key is deleted (by this process or
// another), every call on the handle fails with ERROR_KEY_DELETED; it must still be
// closed.
//
// A store that cannot be written (registry.db at mode 0400, a read-only mount) is
// opened for reading: every read works, every write is refused with
// ERROR_ACCESS_DENIED (RegCreateKeyEx still opens a key that is there), and the trace
// says so once. A store that cannot be opened at all fails every call with
// ERROR_REGISTRY_IO_FAILED; the trace gives the reason once.
//
// Thread safety: every call may be made from any thread; calls are serialised
// inside the store by storeLock().
#include "platform/thread_annotations.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct RegKey;
using HKEY = RegKey*;

// The one predefined root. Never closed.
extern const HKEY HKEY_LOCAL_MACHINE;

enum : long {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_MORE_DATA = 234,
    ERROR_KEY_DELETED = 1018,
    ERROR_REGISTRY_IO_FAILED = 1016,
};

enum : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_BINARY = 3,
    REG_DWORD = 4,
};

// The deepest a key may lie below HKEY_LOCAL_MACHINE ("Enum\Root" is 2 levels), as
// on Windows.
constexpr size_t MAX_KEY_LEVELS = 512;

// Opens an existing subkey ("Enum\Root\Redirector\0042"); backslash separated.
// An empty subKey opens the parent itself again. Empty path components and
// components longer than 255 characters give ERROR_INVALID_PARAMETER.
long RegOpenKeyEx(HKEY parent, const char* subKey, HKEY* result);
// Opens the subkey, creating it and any missing parents. A key that would lie more
// than MAX_KEY_LEVELS below the root gives ERROR_INVALID_PARAMETER (deeper keys written
// by older tools can still be opened with RegOpenKeyEx and deleted).
long RegCreateKeyEx(HKEY parent, const char* subKey, HKEY* result);
// type, data and size may be null (data needs size). On entry *size is the buffer
// size; on return it is the value's stored size. A value larger than the buffer
// gives ERROR_MORE_DATA and copies nothing. A null data pointer only asks for type
// and size. For REG_SZ the stored size never counts a NUL, but when the buffer has
// room for one more byte a NUL is written after the text (not counted in *size), as
// Windows does; callers that must not rely on it copy *size bytes and terminate.
// A null or empty name is the key's default value.
long RegQueryValueEx(HKEY key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size);
// REG_SZ: trailing NULs in data are dropped. REG_DWORD: size must be 4.
long RegSetValueEx(HKEY key, const char* name, uint32_t type, const uint8_t* data, uint32_t size);
long RegDeleteValue(HKEY key, const char* name);
// Deletes the subkey with its whole subtree. subKey must not be empty.
long RegDeleteKey(HKEY parent, const char* subKey);
// Makes the writes made so far durable on disk (each write is atomic already; this
// also survives a power loss).
long RegFlushKey(HKEY key);
long RegCloseKey(HKEY key);

// Convenience forms used throughout the manager.
long regSetString(HKEY key, const char* name, const std::string& text);
long regSetDword(HKEY key, const char* name, uint32_t value);

// Enumeration, for travenor-reg. Subkey names come sorted without regard to case;
// values in the order they were first written.
struct RegValue {
    std::string name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};
long regEnumSubkeys(HKEY key, std::vector<std::string>* names);
long regEnumValues(HKEY key, std::vector<RegValue>* values);

// The lock that serialises this process's calls on the store. Recursive: the Reg* calls
// of the thread that holds a RegTransaction pass. Named here for the lock annotations;
// callers never take it themselves.
RecursiveMutex& storeLock();

// An all-or-nothing group of calls. While the object lives, the thread that created
// it owns the store (it holds storeLock(), also when the group could not begin and
// after commit()): the Reg* calls it makes join the group, calls from other threads
// (and other processes' writes) wait. A call in the group that fails changes nothing
// and reports its error; the group goes on. commit() makes the whole group visible at
// once; destroying the object without commit() undoes it all, and so does a crash.
// Create, commit and destroy it on one thread; groups do not nest.
class SCOPED_CAPABILITY RegTransaction {
  public:
    RegTransaction() ACQUIRE(storeLock());
    ~RegTransaction() RELEASE();
    RegTransaction(const RegTransaction&) = delete;
    RegTransaction& operator=(const RegTransaction&) = delete;

    // ERROR_SUCCESS when the group began; otherwise calls run on their own. On a
    // read-only store ERROR_ACCESS_DENIED: the group began and reads one consistent
    // picture, its writes are refused, and commit() says ERROR_ACCESS_DENIED too.
    long status() const { return status_; }
    long commit() REQUIRES(storeLock());

  private:
    long status_;
    bool open_;
};

// Closes the store so that the next call opens it again from storeFolder(). Open key
// handles must all be closed first. Used by tests that switch QUORVALINK_HOME.
void resetRegistryStore();

} // namespace platform
