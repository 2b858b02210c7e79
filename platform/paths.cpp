#include "platform/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr mode_t OWNER_ONLY = S_IRWXU;

std::string fromEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : "";
}

std::string ownerText(uid_t owner) {
    return "belongs to another user (uid " + std::to_string(owner) + ")";
}

// What is wrong with an existing entry that must be a folder of this user.
std::string folderStatProblem(const std::string& path, const struct stat& status,
                              const char* setting) {
    std::string fix =
        setting ? std::string(" Remove it, or set ") + setting + " to a folder of your own."
                : std::string(" Remove it.");
    if (S_ISLNK(status.st_mode))
        return "The folder " + path +
               " is a symbolic link; it is not followed, since it could lead anywhere." + fix;
    if (!S_ISDIR(status.st_mode))
        return path + " is not a folder." + fix;
    if (status.st_uid != geteuid())
        return "The folder " + path + " " + ownerText(status.st_uid) + "." + fix;
    return "";
}

PrivateFolder checked(const std::string& path, const char* setting) {
    return {path, makePrivateFolder(path, setting)};
}

} // namespace

std::string makePrivateFolder(const std::string& path, const char* setting) {
    std::error_code ignored;
    std::filesystem::path folder(path);
    if (folder.has_parent_path())
        std::filesystem::create_directories(folder.parent_path(), ignored);
    if (::mkdir(path.c_str(), OWNER_ONLY) != 0 && errno != EEXIST)
        return "The folder " + path + " cannot be created: " + std::strerror(errno) + ".";
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return "The folder " + path + " cannot be examined: " + std::strerror(errno) + ".";
    std::string problem = folderStatProblem(path, status, setting);
    if (!problem.empty())
        return problem;
    // Ours, but perhaps made with the umask's wider access (an earlier version did).
    if ((status.st_mode & 07777) != OWNER_ONLY && ::chmod(path.c_str(), OWNER_ONLY) != 0)
        return "The folder " + path + " cannot be made private: " + std::strerror(errno) + ".";
    return "";
}

std::string privateFolderProblem(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return "The folder " + path + " cannot be examined: " + std::strerror(errno) + ".";
    std::string problem = folderStatProblem(path, status, nullptr);
    if (problem.empty() && (status.st_mode & (S_IWGRP | S_IWOTH)))
        problem = "The folder " + path + " may be written by other users.";
    return problem;
}

std::string foreignEntryProblem(const std::string& path, const std::string& what) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || status.st_uid == geteuid())
        return "";
    return "In " + std::filesystem::path(path).parent_path().string() + ", " + what + " " +
           ownerText(status.st_uid) + "; it is left alone.";
}

PrivateFolder checkedStoreFolder() {
    std::string home = fromEnv("QUORVALINK_HOME");
    if (home.empty()) {
        std::string data = fromEnv("XDG_DATA_HOME");
        if (data.empty())
            data = fromEnv("HOME") + "/.local/share";
        home = data + "/quorvalink";
    }
    return checked(home, "QUORVALINK_HOME");
}

PrivateFolder checkedRuntimeFolder() {
    std::string runtime = fromEnv("XDG_RUNTIME_DIR");
    if (!runtime.empty())
        return checked(runtime, "XDG_RUNTIME_DIR");
    // /tmp itself is everybody's: the lock and the socket get a folder of the user's own.
    return checked("/tmp/quorvalink-" + std::to_string(geteuid()), "XDG_RUNTIME_DIR");
}

PrivateFolder checkedDeviceFolder() {
    std::string devices = fromEnv("QUORVALINK_DEVDIR");
    if (devices.empty()) {
        std::string runtime = fromEnv("XDG_RUNTIME_DIR");
        devices = (runtime.empty() ? "/tmp" : runtime) + "/quorvalink";
    }
    return checked(devices, "QUORVALINK_DEVDIR");
}

std::string storeFolder() {
    return checkedStoreFolder().path;
}

std::string deviceFolder() {
    return checkedDeviceFolder().path;
}

std::string runtimeFolder() {
    return checkedRuntimeFolder().path;
}

} // namespace platform
