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

enum class SettingRead { Text, NotText, StoreFailed };

// The stored text ("" when there is none). NotText: the value is there but is no text
// that fits. StoreFailed: the store could not say (unreadable, damaged), which is not
// the same as no setting; *status is the store's code.
SettingRead readSettingText(std::string* text, long* status) {
    HKEY key = nullptr;
    *status = RegOpenKeyEx(HKEY_LOCAL_MACHINE, REMOTE_SETTING_KEY, &key);
    if (*status == ERROR_FILE_NOT_FOUND)
        return SettingRead::Text;
    if (*status != ERROR_SUCCESS)
        return SettingRead::StoreFailed;
    char buffer[SETTING_BUFFER] = {};
    uint32_t type = REG_NONE;
    uint32_t size = sizeof buffer;
    *status = RegQueryValueEx(key, REMOTE_SETTING_VALUE, &type, reinterpret_cast<uint8_t*>(buffer),
                              &size);
    RegCloseKey(key);
    if (*status == ERROR_FILE_NOT_FOUND)
        return SettingRead::Text;
    if (*status != ERROR_SUCCESS && *status != ERROR_MORE_DATA)
        return SettingRead::StoreFailed;
    if (*status != ERROR_SUCCESS || type != REG_SZ || size >= sizeof buffer)
        return SettingRead::NotText;
    text->assign(buffer, size);
    return text->find('\0') == std::string::npos ? SettingRead::Text : SettingRead::NotText;
}

} // namespace

RemoteControlSetting readRemoteControlSetting() {
    RemoteControlSetting setting;
    std::string text;
    long status = ERROR_SUCCESS;
    switch (readSettingText(&text, &status)) {
    case SettingRead::StoreFailed:
        debugTrace("RemoteControl setting cannot be read (store error %ld): remote control "
                   "stays off.\r\n",
                   status);
        setting.enabled = false;
        return setting;
    case SettingRead::NotText:
        debugTrace("RemoteControl setting is not an address.\r\n");
        setting.readable = false;
        return setting;
    case SettingRead::Text:
        break;
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
