#pragma once
// Where the manager keeps its files, and the checks that keep those folders the
// user's own. The device folder and the runtime folder may lie in /tmp, which every
// user can write: each folder is created owner-only (0700) when missing, and an
// existing one is used only when it is a real folder (not a symbolic link someone
// planted) that belongs to this user; one of this user's with wider access is
// narrowed to 0700. Any thread may call these (the checks touch only the file system).
#include <string>

namespace platform {

// A folder the manager uses: its path, and why it cannot be used ("" when it can).
struct PrivateFolder {
    std::string path;
    std::string problem;
    bool usable() const { return problem.empty(); }
};

// $QUORVALINK_HOME, else ${XDG_DATA_HOME:-~/.local/share}/quorvalink: registry.db.
PrivateFolder checkedStoreFolder();
// $QUORVALINK_DEVDIR, else ${XDG_RUNTIME_DIR:-/tmp}/quorvalink: the COMn links.
PrivateFolder checkedDeviceFolder();
// $XDG_RUNTIME_DIR, else /tmp/quorvalink-<uid>: the single-instance lock and socket.
PrivateFolder checkedRuntimeFolder();

// The paths alone, for callers that report nothing themselves (the folder is still
// created or narrowed as above).
std::string storeFolder();
std::string deviceFolder();
std::string runtimeFolder();

// Checks (and creates or narrows) one folder; setting names the variable that moves
// it, for the message. "" when it can be used.
std::string makePrivateFolder(const std::string& path, const char* setting);
// Checks an existing folder without changing it: "" when it is a real folder of this
// user that no one else may write into.
std::string privateFolderProblem(const std::string& path);
// Whether an entry found in one of these folders (a link, the lock file, the socket)
// is this user's own: "" when it is missing or this user's, else why it may not be
// used or replaced. what names it in the message ("the link COM5").
std::string foreignEntryProblem(const std::string& path, const std::string& what);

} // namespace platform
