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
// they were written with. REG_SZ is stored without its terminating NUL, REG_DWORD as
// 4 little-endian bytes, REG_BINARY as given. Every write is one SQLite transaction,
// so a process killed in the middle leaves the store as it was before that write.
// Several processes (the manager, travenor-reg) may use the store at the same time.
//
// Thread safety: every call may be made from any thread; calls are serialised
// inside the store.
#include <cstdint>
#include <string>

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

// Opens an existing subkey ("Enum\Root\Redirector\0042"); backslash separated.
// An empty subKey opens the parent itself again.
long RegOpenKeyEx(HKEY parent, const char* subKey, HKEY* result);
// Opens the subkey, creating it and any missing parents.
long RegCreateKeyEx(HKEY parent, const char* subKey, HKEY* result);
// type and data may be null. On entry *size is the buffer size; on return it is the
// value's size. A value larger than the buffer gives ERROR_MORE_DATA and copies nothing.
long RegQueryValueEx(HKEY key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size);
long RegSetValueEx(HKEY key, const char* name, uint32_t type, const uint8_t* data, uint32_t size);
long RegDeleteValue(HKEY key, const char* name);
// Deletes the subkey with its whole subtree.
long RegDeleteKey(HKEY parent, const char* subKey);
// Makes the writes made so far durable on disk.
long RegFlushKey(HKEY key);
long RegCloseKey(HKEY key);

// Convenience forms used throughout the manager.
long regSetString(HKEY key, const char* name, const std::string& text);
long regSetDword(HKEY key, const char* name, uint32_t value);

// Closes the store so that the next call opens it again from storeFolder(). Open key
// handles must all be closed first. Used by tests that switch QUORVALINK_HOME.
void resetRegistryStore();

} // namespace platform
