#pragma once
// Failures a test can make the platform wrappers produce, so that every failure path
// of the procedures above can be walked with real parts: events, the OpenVxDHandle
// lookup, the registry, each call of the driver device, and the listening socket.
// Off unless a test asks.
// Any thread may call these.
namespace platform {

enum class PlatformCall {
    CreateEvent,
    LoadLibrary,
    GetProcAddress,
    RegistryOpen,  // RegOpenKeyEx
    RegistryWrite, // RegSetValueEx
    DriverOpen,
    DriverRefresh,
    DriverAllocate,
    DriverRelease,
    DriverEventHandle,
    TcpSocket, // a listening socket (the remote-control server's)
    RegistryCreate, // RegCreateKeyEx
    RegistryDelete, // RegDeleteValue, RegDeleteKey
    Count,
};

// After afterSuccesses more successful calls of this kind, the next `failures` calls
// fail (-1: every later call, until cleared).
void failPlatformCall(PlatformCall call, int afterSuccesses = 0, int failures = 1);
void clearPlatformFault(PlatformCall call);
void clearPlatformFaults();
// Used inside the wrappers: true when this call is to fail; counts the call either way.
bool platformCallFails(PlatformCall call);

} // namespace platform
