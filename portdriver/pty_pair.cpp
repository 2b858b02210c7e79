#include "portdriver/pty_pair.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace portdriver {

namespace {
// Where the slave's reference goes: high, so that a later process given the same pid
// is unlikely to hold that descriptor number, yet below the soft limit with room for
// every port's waiting pair and session pair.
int referenceBase() {
    rlimit limit{};
    rlim_t soft = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    return int(std::min<rlim_t>(soft / 4 * 3, 4096));
}

// Opening /proc/<pid>/fd/<n> reopens the slave itself; once its master is closed that
// gives EIO, never another pty.
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

// Packet mode reports the application's changes only while EXTPROC is set.
termios withReports(termios line) {
    line.c_lflag |= EXTPROC;
    return line;
}
} // namespace

PtyPair& PtyPair::operator=(PtyPair&& other) noexcept {
    if (this != &other) {
        close();
        std::swap(master_, other.master_);
        std::swap(slaveReference_, other.slaveReference_);
        std::swap(slavePath_, other.slavePath_);
        std::swap(linkTarget_, other.linkTarget_);
        std::swap(device_, other.device_);
    }
    return *this;
}

termios PtyPair::defaultLine() {
    termios settings{};
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&settings, B9600);
    return settings;
}

bool PtyPair::create(const termios& line) {
    close();
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        close();
        return false;
    }
    // Opened and closed once before anyone can reach it: from then on the master reports
    // POLLHUP exactly while nobody holds the slave.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close();
        return false;
    }
    termios settings = withReports(line);
    tcsetattr(slave, TCSANOW, &settings);
    // Held before packet mode, so that the master hears of no stop.
    tcflow(slave, TCOOFF);
    int packetMode = 1;
    ioctl(master_, TIOCPKT, &packetMode);
    struct stat status {};
    fstat(slave, &status);
    device_ = status.st_rdev;
    ::close(slave);
    slavePath_ = name;
    slaveReference_ = referenceSlave(name);
    if (slaveReference_ < 0) {
        close();
        return false;
    }
    linkTarget_ = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(slaveReference_);
    return true;
}

bool PtyPair::close() {
    bool closed = master_ >= 0;
    if (master_ >= 0)
        ::close(master_);
    if (slaveReference_ >= 0)
        ::close(slaveReference_);
    master_ = -1;
    slaveReference_ = -1;
    slavePath_.clear();
    linkTarget_.clear();
    device_ = 0;
    return closed;
}

bool PtyPair::held() const {
    pollfd probe{master_, 0, 0};
    return master_ >= 0 && poll(&probe, 1, 0) >= 0 && !(probe.revents & (POLLHUP | POLLNVAL));
}

bool PtyPair::controlling() const {
    pid_t session = 0;
    return master_ >= 0 && ioctl(master_, TIOCGSID, &session) == 0;
}

bool PtyPair::readable() const {
    pollfd probe{master_, POLLIN, 0};
    return master_ >= 0 && poll(&probe, 1, 0) > 0 && (probe.revents & POLLIN);
}

// The slave's output can be let go only through a descriptor of the slave; it is opened
// for the moment it takes, and the master's POLLHUP stays as the holder leaves it.
bool PtyPair::releaseOutput() {
    int slave = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0)
        return false;
    bool released = tcflow(slave, TCOON) == 0;
    ::close(slave);
    return released;
}

void PtyPair::lock() {
    int locked = 1;
    ioctl(master_, TIOCSPTLCK, &locked);
}

// A change of the settings is reported in packet mode as a status byte, which a read of
// the master returns alone and before any data; a read of one byte otherwise returns the
// data marker and takes no data. The master's termios calls act on the slave.
bool PtyPair::inheritLine(const termios& line) {
    char report = 0;
    if (read(master_, &report, 1) == 1 && (report & TIOCPKT_IOCTL))
        return false;
    termios settings = withReports(line);
    if (tcsetattr(master_, TCSANOW, &settings) != 0)
        return true;
    [[maybe_unused]] ssize_t ours = read(master_, &report, 1);
    // A change the holder made in between went with our report: it is read back.
    termios now{};
    return tcgetattr(master_, &now) == 0 && now.c_cflag == settings.c_cflag &&
           now.c_iflag == settings.c_iflag && now.c_oflag == settings.c_oflag &&
           now.c_lflag == settings.c_lflag && cfgetospeed(&now) == cfgetospeed(&settings);
}

bool PtyPair::line(termios& settings) const {
    return master_ >= 0 && tcgetattr(master_, &settings) == 0;
}

} // namespace portdriver
