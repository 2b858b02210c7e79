#pragma once
// Where the manager keeps its files. Each folder is created when missing.
#include <string>

namespace platform {

// $QUORVALINK_HOME, else ${XDG_DATA_HOME:-~/.local/share}/quorvalink: registry.db.
std::string storeFolder();
// $QUORVALINK_DEVDIR, else ${XDG_RUNTIME_DIR:-/tmp}/quorvalink: the COMn links.
std::string deviceFolder();
// ${XDG_RUNTIME_DIR:-/tmp}: the single-instance lock and local socket live here.
std::string runtimeFolder();

} // namespace platform
