#include "portdriver/pty_port.h"

#include "platform/paths.h"
#include "platform/trace.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace portdriver {

namespace {
// A virtual port starts raw at 9600 baud, like a UART nobody has configured, instead
// of a login terminal that would echo the device's bytes back to it. EXTPROC makes
// the kernel tell the master (in packet mode) of every tcsetattr on the slave.
void setDefaultLine(int slave) {
    termios settings{};
    if (tcgetattr(slave, &settings) != 0)
        return;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_lflag |= EXTPROC;
    cfsetspeed(&settings, B9600);
    tcsetattr(slave, TCSANOW, &settings);
}

std::string readLink(const std::string& path) {
    char target[PATH_MAX];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, size_t(length)) : std::string();
}

// Where the slave's reference goes: high, so that a later process given the same pid
// is unlikely to hold that descriptor number, yet below the soft limit with room
// for every port's reference twice (old and new pair during a hang-up).
int referenceBase() {
    rlimit limit{};
    rlim_t soft = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    return int(std::min<rlim_t>(soft / 4 * 3, 4096));
}

// An O_PATH descriptor does not open the tty, so the master's POLLHUP still says
// whether an application holds the slave. Opening /proc/<pid>/fd/<n> reopens the
// slave itself; once its master is closed that gives EIO, never another pty.
int referenceSlave(const char* slavePath) {
    int reference = ::open(slavePath, O_PATH | O_CLOEXEC);
    if (reference < 0)
        return -1;
    int high = fcntl(reference, F_DUPFD_CLOEXEC, referenceBase());
    if (high < 0)
        return reference; // no room up there: a low number still works
    ::close(reference);
    return high;
}
} // namespace

PtyPort::PtyPort(std::string linkPath) : linkPath_(std::move(linkPath)) {}

PtyPort::~PtyPort() {
    close();
}

bool PtyPort::open() {
    // The link moves to the new slave before the old pair closes, so an application
    // that reopens the port as soon as it sees the hang-up finds the new one, and the
    // link never names a descriptor number this process might reuse.
    Pair fresh;
    if (!createPair(fresh) || !pointLinkAt(fresh.linkTarget)) {
        closePair(fresh);
        close();
        return false;
    }
    closePair(pair_);
    pair_ = std::move(fresh);
    return true;
}

bool PtyPort::keepLink() {
    if (pair_.linkTarget.empty())
        return false;
    return readLink(linkPath_) == pair_.linkTarget || pointLinkAt(pair_.linkTarget);
}

void PtyPort::discardInput() {
    // Bytes the last application left unread must not greet the next one. Opening
    // the slave for this is invisible to the driver: POLLHUP is back once it closes,
    // and a read-only close is not watched. Only the slave's input goes: the driver
    // has read what the old application wrote, so anything the master still has comes
    // from an application that has just opened the port and must reach the device.
    int slave = ::open(pair_.slavePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        tcflush(slave, TCIFLUSH);
        ::close(slave);
    }
}

void PtyPort::close() {
    if (!pair_.linkTarget.empty() && readLink(linkPath_) == pair_.linkTarget)
        unlink(linkPath_.c_str());
    closePair(pair_);
}

bool PtyPort::slaveHeld() const {
    // The master reports POLLHUP exactly while no one holds the slave, but only after
    // the slave has been opened and closed once (createPair does that).
    pollfd probe{pair_.master, 0, 0};
    return pair_.master >= 0 && poll(&probe, 1, 0) >= 0 && !(probe.revents & (POLLHUP | POLLNVAL));
}

bool PtyPort::createPair(Pair& pair) {
    pair.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (pair.master < 0 || grantpt(pair.master) != 0 || unlockpt(pair.master) != 0 ||
        ptsname_r(pair.master, name, sizeof name) != 0)
        return false;
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        return false;
    setDefaultLine(slave);
    int packetMode = 1;
    ioctl(pair.master, TIOCPKT, &packetMode);
    ::close(slave);
    pair.slavePath = name;
    pair.slaveReference = referenceSlave(name);
    if (pair.slaveReference < 0)
        return false;
    pair.linkTarget =
        "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(pair.slaveReference);
    return true;
}

void PtyPort::closePair(Pair& pair) {
    if (pair.master >= 0) {
        ::close(pair.master);
        ++closings_; // the driver's poll set must forget the number before its reuse
    }
    if (pair.slaveReference >= 0)
        ::close(pair.slaveReference);
    pair = Pair{};
}

// Links are made only in a folder of this user that nobody else can write into, and
// a link another user put there is never replaced: applications would otherwise open
// whatever someone else chose, or the link could be made to lead them elsewhere.
bool PtyPort::linkPlaceSafe() const {
    std::string folder = std::filesystem::path(linkPath_).parent_path().string();
    std::string problem = platform::privateFolderProblem(folder);
    if (problem.empty()) {
        std::string name = std::filesystem::path(linkPath_).filename().string();
        problem = platform::foreignEntryProblem(linkPath_, "the link " + name);
    }
    if (problem.empty())
        return true;
    platform::debugTrace("%s\r\n", problem.c_str());
    return false;
}

bool PtyPort::pointLinkAt(const std::string& target) {
    if (!linkPlaceSafe())
        return false;
    struct stat existing {};
    if (lstat(linkPath_.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        return false; // never replace a file that is not ours
    // Swap by rename so that an application never finds the name missing.
    std::string fresh = linkPath_ + ".new";
    unlink(fresh.c_str());
    if (symlink(target.c_str(), fresh.c_str()) != 0)
        return false;
    if (rename(fresh.c_str(), linkPath_.c_str()) != 0) {
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

} // namespace portdriver
