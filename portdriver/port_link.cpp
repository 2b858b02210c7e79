#include "portdriver/port_link.h"

#include "platform/paths.h"
#include "platform/trace.h"

#include <climits>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace portdriver {

namespace {
std::string readLink(const std::string& path) {
    char target[PATH_MAX];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, size_t(length)) : std::string();
}
} // namespace

// Applications would otherwise open whatever someone else chose, or the link could be
// made to lead them elsewhere.
bool PortLink::placeSafe() const {
    std::string folder = std::filesystem::path(path_).parent_path().string();
    std::string problem = platform::privateFolderProblem(folder);
    if (problem.empty()) {
        std::string name = std::filesystem::path(path_).filename().string();
        problem = platform::foreignEntryProblem(path_, "the link " + name);
    }
    if (problem.empty())
        return true;
    platform::debugTrace("%s\r\n", problem.c_str());
    return false;
}

bool PortLink::pointAt(const std::string& target) {
    if (target.empty() || !placeSafe())
        return false;
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        return false; // never replace a file that is not ours
    // Swapped by rename: an application never finds the name missing.
    std::string fresh = path_ + ".new";
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0)
        return false;
    if (rename(fresh.c_str(), path_.c_str()) != 0) {
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

bool PortLink::keep(const std::string& target) {
    if (target.empty())
        return false;
    return readLink(path_) == target || pointAt(target);
}

void PortLink::remove(const std::string& target) {
    if (!target.empty() && readLink(path_) == target)
        unlink(path_.c_str());
}

} // namespace portdriver
