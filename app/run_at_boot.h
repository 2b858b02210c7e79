#pragma once
// The run-at-boot switch: the value "Redirector" under the run key, a REG_SZ written
// as a 256-byte block, naming the manager's program file; and with it the desktop's
// autostart entry, which is what really starts the manager when the user logs in.
// The tray menu's check mark follows the value. A switch either changes both or
// neither, so a value and an entry that disagree (one removed by hand) are put back
// in step by the next switch, in the direction the value says.
//
// UI thread only (a switch may show a message box owned by the main window).
#include <cstddef>
#include <string>

constexpr const char* RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\run";
constexpr const char* RUN_VALUE = "Redirector";
// The value's data block: the text, its terminating zero and zero bytes up to this size.
constexpr size_t RUN_VALUE_BLOCK = 256;
// The autostart entry: quorvalink-redirector.desktop.
constexpr const char* AUTOSTART_ENTRY = "quorvalink-redirector";
constexpr const char* AUTOSTART_TITLE = "Quorvalink Redirector";

// Whether the value is there now (a query into the 256-byte block succeeds).
bool runAtBootPresent();

// The command "Run always after boot": removes value and entry when the value is
// there, otherwise writes both for program (the manager's absolute path). A path too
// long for the block is refused with a message and nothing written; other failures
// are traced only and leave both as they were.
void toggleRunAtBootEntry(const std::string& program);
