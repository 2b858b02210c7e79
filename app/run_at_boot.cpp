#include "app/run_at_boot.h"

#include "platform/autostart.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/trace.h"

#include <array>
#include <cstdint>
#include <cstring>

using namespace platform;

namespace {

using Block = std::array<uint8_t, RUN_VALUE_BLOCK>;

struct StoredValue {
    bool present = false;
    uint32_t type = REG_NONE;
    uint32_t size = 0;
    Block data{};
};

class RunKey {
  public:
    // A store that never had the key gets it when the entry is first written: on this
    // platform nothing else makes it.
    explicit RunKey(bool create) {
        status_ = create ? RegCreateKeyEx(HKEY_LOCAL_MACHINE, RUN_KEY, &key_)
                         : RegOpenKeyEx(HKEY_LOCAL_MACHINE, RUN_KEY, &key_);
    }
    ~RunKey() {
        if (status_ == ERROR_SUCCESS)
            RegCloseKey(key_);
    }
    RunKey(const RunKey&) = delete;
    RunKey& operator=(const RunKey&) = delete;

    bool opened() const { return status_ == ERROR_SUCCESS; }
    HKEY handle() const { return key_; }

    StoredValue query() const {
        StoredValue value;
        value.size = uint32_t(value.data.size());
        value.present = opened() && RegQueryValueEx(key_, RUN_VALUE, &value.type, value.data.data(),
                                                    &value.size) == ERROR_SUCCESS;
        return value;
    }

  private:
    HKEY key_ = nullptr;
    long status_;
};

// The value goes first and comes back as it was if the entry cannot go.
void switchOff(const RunKey& key, const StoredValue& old) {
    if (RegDeleteValue(key.handle(), RUN_VALUE) != ERROR_SUCCESS) {
        debugTrace("Run-at-boot: the value cannot be deleted.\r\n");
        return;
    }
    if (removeAutostartEntry(AUTOSTART_ENTRY))
        return;
    debugTrace("Run-at-boot: the autostart entry cannot be removed.\r\n");
    RegSetValueEx(key.handle(), RUN_VALUE, old.type, old.data.data(), old.size);
}

void sayTooLong() {
    messageBox(BoxOwner::Window,
               "The manager's path is too long for the run-at-boot entry (at most 255 "
               "bytes).\nNothing was written.",
               "Error", MB_OK | MB_ICONERROR);
}

// The entry goes first, and goes again if the value cannot be written. A refusal
// leaves the store as it was.
void switchOn(const std::string& program) {
    if (program.size() + 1 > RUN_VALUE_BLOCK)
        return sayTooLong();
    if (program.empty() || !writeAutostartEntry(AUTOSTART_ENTRY, AUTOSTART_TITLE, program)) {
        debugTrace("Run-at-boot: the autostart entry cannot be written.\r\n");
        return;
    }
    Block block{};
    std::memcpy(block.data(), program.data(), program.size());
    RunKey key(true);
    if (key.opened() && RegSetValueEx(key.handle(), RUN_VALUE, REG_SZ, block.data(),
                                      uint32_t(block.size())) == ERROR_SUCCESS)
        return;
    debugTrace("Run-at-boot: the value cannot be written.\r\n");
    removeAutostartEntry(AUTOSTART_ENTRY);
}

} // namespace

bool runAtBootPresent() {
    return RunKey(false).query().present;
}

void toggleRunAtBootEntry(const std::string& program) {
    RunKey key(false);
    StoredValue value = key.query();
    if (value.present)
        switchOff(key, value);
    else
        switchOn(program);
}
