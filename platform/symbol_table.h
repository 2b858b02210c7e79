#pragma once
// LoadLibraryA / GetProcAddress for the one entry point the driver link needs:
// "OpenVxDHandle" of "kernel32.dll", which turns an event into a 32-bit handle the
// port driver can signal. Here the loaded stand-in driver hands out those handles.
// Each step can be made to fail (faults.h).
#include <cstdint>

namespace platform {

class AutoEvent;

using ModuleHandle = const void*;
using OpenVxDHandleProc = uint32_t (*)(AutoEvent* event);

// Null for an unknown module name or an injected failure.
ModuleHandle loadLibrary(const char* name);
// Null for an unknown name or an injected failure.
OpenVxDHandleProc getOpenVxDHandle(ModuleHandle module, const char* name);

} // namespace platform
