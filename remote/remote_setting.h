#pragma once
// Where the remote-control server listens, as the operator set it in the store: the
// value "RemoteControl" (REG_SZ) of HKEY_LOCAL_MACHINE "Software\Quorvalink\Redirector".
//   absent or empty  every local address (the default)
//   a dotted address that address only, for example 127.0.0.1
//   "off"            no server
// Spaces around the text and the letter case of "off" do not matter. A store that
// cannot say what the setting is (damaged, unreadable) is not "no setting": no server
// either, and the trace says why. Read once, at start-up, on the UI thread.
#include <string>

constexpr const char* REMOTE_SETTING_KEY = "Software\\Quorvalink\\Redirector";
constexpr const char* REMOTE_SETTING_VALUE = "RemoteControl";
constexpr int REMOTE_CONTROL_PORT = 5001;

struct RemoteControlSetting {
    bool enabled = true;
    // "" for every local address; otherwise the text as stored. The listener refuses
    // text that is not a local dotted address, and the server says so.
    std::string address;
    // False for a value the server cannot read as text (another type, too long): the
    // server then says it cannot listen rather than listen everywhere.
    bool readable = true;
};

RemoteControlSetting readRemoteControlSetting();

// The TCP port: QUORVALINK_REMOTE_PORT when it holds a number 1..65535 (tests run
// side by side), otherwise 5001. 0 when it holds 0: no server at all (the test suite's
// default, so that no test listens on every address).
int remoteControlPort();
