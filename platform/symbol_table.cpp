#include "platform/symbol_table.h"

#include "platform/driver_device.h"
#include "platform/faults.h"

#include <cstring>
#include <strings.h>

namespace platform {

namespace {
const char kernel32[] = "kernel32.dll";

uint32_t openVxDHandle(AutoEvent* event) { return driverEventHandle(event); }
} // namespace

ModuleHandle loadLibrary(const char* name) {
    if (platformCallFails(PlatformCall::LoadLibrary) || strcasecmp(name, kernel32) != 0)
        return nullptr;
    return kernel32;
}

OpenVxDHandleProc getOpenVxDHandle(ModuleHandle module, const char* name) {
    if (platformCallFails(PlatformCall::GetProcAddress) || module != kernel32 ||
        std::strcmp(name, "OpenVxDHandle") != 0)
        return nullptr;
    return openVxDHandle;
}

} // namespace platform
