#include "portdriver/pty_port.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
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
} // namespace

PtyPort::PtyPort(std::string linkPath) : linkPath_(std::move(linkPath)) {}

PtyPort::~PtyPort() {
    close();
}

bool PtyPort::open() {
    // The link moves to the new slave before the old master closes, so an application
    // that reopens the port as soon as it sees the hang-up finds the new one.
    int oldMaster = master_;
    std::string oldSlave = slavePath_;
    if (createPair() && pointLinkAtSlave()) {
        if (oldMaster >= 0)
            ::close(oldMaster);
        return true;
    }
    if (master_ != oldMaster)
        closeMaster();
    master_ = oldMaster;
    slavePath_ = oldSlave;
    close();
    return false;
}

void PtyPort::discardInput() {
    // Bytes the last application left unread must not greet the next one. Opening
    // the slave for this is invisible to the driver: POLLHUP is back once it closes,
    // and a read-only close is not watched. Only the slave's input goes: the driver
    // has read what the old application wrote, so anything the master still has comes
    // from an application that has just opened the port and must reach the device.
    int slave = ::open(slavePath_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        tcflush(slave, TCIFLUSH);
        ::close(slave);
    }
}

void PtyPort::close() {
    if (!slavePath_.empty() && readLink(linkPath_) == slavePath_)
        unlink(linkPath_.c_str());
    closeMaster();
}

bool PtyPort::slaveHeld() const {
    // The master reports POLLHUP exactly while no one holds the slave, but only after
    // the slave has been opened and closed once (createPair does that).
    pollfd probe{master_, 0, 0};
    return master_ >= 0 && poll(&probe, 1, 0) >= 0 && !(probe.revents & (POLLHUP | POLLNVAL));
}

bool PtyPort::createPair() {
    master_ = -1;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        if (master >= 0)
            ::close(master);
        return false;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        ::close(master);
        return false;
    }
    setDefaultLine(slave);
    int packetMode = 1;
    ioctl(master, TIOCPKT, &packetMode);
    ::close(slave);
    master_ = master;
    slavePath_ = name;
    return true;
}

void PtyPort::closeMaster() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

bool PtyPort::pointLinkAtSlave() {
    struct stat existing {};
    if (lstat(linkPath_.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        return false; // never replace a file that is not ours
    // Swap by rename so that an application never finds the name missing.
    std::string fresh = linkPath_ + ".new";
    unlink(fresh.c_str());
    if (symlink(slavePath_.c_str(), fresh.c_str()) != 0)
        return false;
    if (rename(fresh.c_str(), linkPath_.c_str()) != 0) {
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

} // namespace portdriver
