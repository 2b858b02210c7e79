#include "platform/autostart.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string fromEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string homeFolder() {
    std::string home = fromEnv("HOME");
    if (!home.empty())
        return home;
    const passwd* user = getpwuid(getuid());
    return user && user->pw_dir ? user->pw_dir : "";
}

// Length of the UTF-8 sequence that starts with lead, 0 for a byte no sequence starts with.
int sequenceLength(unsigned char lead) {
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// Desktop entries are UTF-8 text; a path that is not (or holds a line break, which
// would end the Exec line) cannot be written into one.
bool fitsDesktopEntry(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        int length = sequenceLength(lead);
        if (length == 0 || i + length > text.size() || lead < 0x20 || lead == 0x7F)
            return false;
        for (int k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

// Inside the Exec line's double quotes, ", `, $ and \ take a backslash; % is the start
// of a field code anywhere on the line and is doubled.
std::string quotedArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
        if (c == '%')
            quoted += '%';
    }
    return quoted + '"';
}

// A desktop-entry string value: the reader turns \\ into \ before it splits the Exec line.
std::string escapedValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '\\')
            escaped += '\\';
    }
    return escaped;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Written beside the entry and renamed over it, so the desktop never reads half a file.
bool replaceFile(const std::string& path, const std::string& text) {
    std::string temporary = path + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (written && ::rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    ::unlink(temporary.c_str());
    return false;
}

} // namespace

std::string autostartFolder() {
    std::string config = fromEnv("XDG_CONFIG_HOME");
    if (config.empty() || config.front() != '/')
        config = homeFolder() + "/.config";
    return config + "/autostart";
}

std::string autostartEntryPath(const std::string& name) {
    return autostartFolder() + "/" + name + ".desktop";
}

std::string desktopExecValue(const std::string& program) {
    if (program.empty() || program.front() != '/' || !fitsDesktopEntry(program))
        return "";
    return escapedValue(quotedArgument(program));
}

bool writeAutostartEntry(const std::string& name, const std::string& title,
                         const std::string& program) {
    std::string exec = desktopExecValue(program);
    if (exec.empty() || !fitsDesktopEntry(title))
        return false;
    std::error_code error;
    std::filesystem::create_directories(autostartFolder(), error);
    if (error)
        return false;
    return replaceFile(autostartEntryPath(name), "[Desktop Entry]\n"
                                                 "Type=Application\n"
                                                 "Name=" +
                                                     escapedValue(title) +
                                                     "\n"
                                                     "Exec=" +
                                                     exec +
                                                     "\n"
                                                     "Terminal=false\n"
                                                     "X-GNOME-Autostart-enabled=true\n");
}

bool removeAutostartEntry(const std::string& name) {
    return ::unlink(autostartEntryPath(name).c_str()) == 0 || errno == ENOENT;
}

bool autostartEntryExists(const std::string& name) {
    struct stat info {};
    return ::stat(autostartEntryPath(name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Linux names a program file that was replaced while it runs "<path> (deleted)"; the
// path itself is where the program is found again.
std::string runningProgramPath() {
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error)
        return "";
    const std::string deleted = " (deleted)";
    if (path.ends_with(deleted) && !std::filesystem::exists(path, error))
        path.erase(path.size() - deleted.size());
    return path;
}

} // namespace platform
