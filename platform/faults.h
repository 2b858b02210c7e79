#pragma once
// Failures a test can make the platform wrappers produce, so that every failure path
// of the procedures above can be walked with real parts. Off unless a test asks.
// Any thread may call these.
namespace platform {

enum class PlatformCall {
    CreateEvent,
    LoadLibrary,
    GetProcAddress,
    RegistryOpen,  // RegOpenKeyEx
    RegistryWrite, // RegSetValueEx
    Count,
};

// The call fails once, after afterSuccesses more calls of it have succeeded.
void failPlatformCall(PlatformCall call, int afterSuccesses = 0);
void clearPlatformFaults();
// Used inside the wrappers: true when this call is to fail.
bool platformCallFails(PlatformCall call);

} // namespace platform
