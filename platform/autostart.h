#pragma once
// The desktop's log-in start list: one XDG autostart entry (a .desktop file in
// ${XDG_CONFIG_HOME:-~/.config}/autostart) per program that the desktop starts when
// the user logs in. The run-at-boot switch keeps the manager's entry in step with
// its store value.
//
// Plain file operations; any thread may call them, but nothing serialises two callers
// writing the same entry.
#include <string>

namespace platform {

// ${XDG_CONFIG_HOME}/autostart, or ~/.config/autostart when XDG_CONFIG_HOME is unset,
// empty or relative (a relative one is invalid, so XDG says to ignore it).
std::string autostartFolder();
// The entry file of name (".desktop" appended) in autostartFolder().
std::string autostartEntryPath(const std::string& name);

// The Exec value that starts program with no arguments: the path quoted for the
// desktop's command line, then escaped as a desktop-entry string. Empty when program
// cannot stand there: not absolute, not UTF-8, or holding control characters.
std::string desktopExecValue(const std::string& program);

// Writes the entry "name.desktop" that starts program (an absolute path) at log-in,
// titled title. The file is replaced whole (written beside it, then renamed), so a
// crash leaves the old entry or the new one. False when nothing could be written.
bool writeAutostartEntry(const std::string& name, const std::string& title,
                         const std::string& program);
// True when the entry is gone afterwards, also when there was none.
bool removeAutostartEntry(const std::string& name);
bool autostartEntryExists(const std::string& name);

// The absolute path of the running program's file (/proc/self/exe); empty when the
// system does not tell.
std::string runningProgramPath();

} // namespace platform
