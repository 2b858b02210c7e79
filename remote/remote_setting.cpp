#include "remote/remote_setting.h"

#include "platform/registry.h"
#include "platform/trace.h"

#include <cstdlib>
#include <strings.h>

using namespace platform;

namespace {

// Longer text is no address; it is refused rather than cut.
constexpr uint32_t SETTING_BUFFER = 128;

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The stored text ("" when there is none); false when the value is there but is no
// text that fits.
bool readSettingText(std::string* text) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, REMOTE_SETTING_KEY, &key) != ERROR_SUCCESS)
        return true;
    char buffer[SETTING_BUFFER] = {};
    uint32_t type = REG_NONE;
    uint32_t size = sizeof buffer;
    long status = RegQueryValueEx(key, REMOTE_SETTING_VALUE, &type,
                                  reinterpret_cast<uint8_t*>(buffer), &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS || type != REG_SZ || size >= sizeof buffer)
        return false;
    text->assign(buffer, size);
    return text->find('\0') == std::string::npos;
}

} // namespace

RemoteControlSetting readRemoteControlSetting() {
    RemoteControlSetting setting;
    std::string text;
    if (!readSettingText(&text)) {
        debugTrace("RemoteControl setting is not an address.\r\n");
        setting.readable = false;
        return setting;
    }
    setting.address = trimmed(text);
    if (strcasecmp(setting.address.c_str(), "off") == 0) {
        setting.enabled = false;
        setting.address.clear();
    }
    return setting;
}

int remoteControlPort() {
    const char* text = std::getenv("QUORVALINK_REMOTE_PORT");
    if (!text || !*text)
        return REMOTE_CONTROL_PORT;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0 || value > 65535) {
        debugTrace("QUORVALINK_REMOTE_PORT is no TCP port; 5001 is used.\r\n");
        return REMOTE_CONTROL_PORT;
    }
    return int(value);
}
