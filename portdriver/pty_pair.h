#pragma once
// One pseudo-terminal of a port: the master the driver keeps and a reference that names
// its slave without opening it. Every application session gets a pair of its own: the
// port's link points at a fresh pair nobody holds, and once an application has opened
// it the pair is the session's alone (locked against further opens) until the end of
// the session.
//
// A fresh pair's output is held (stopped, as by tcflow TCOOFF): whoever opens the slave
// through the link can set it up and read, but what it writes waits in its write() (or
// gets EAGAIN, and poll() reports no room) until the driver has taken the pair for it and
// moved the link on. So an application that opens, writes and closes before the driver
// has seen its open cannot leave bytes behind for the next opener of the same pty.
//
// The reference is an O_PATH descriptor kept high in this process; the link names it as
// /proc/<pid>/fd/<n>, so that it leads nowhere once the process is gone instead of into
// whichever program gets the pty number next. It does not open the tty, so the master's
// POLLHUP still says exactly whether an application holds the slave.
//
// Used on the driver thread or under the driver's lock.
#include <string>
#include <sys/types.h>
#include <termios.h>

namespace portdriver {

class PtyPair {
  public:
    PtyPair() = default;
    ~PtyPair() { close(); }
    PtyPair(PtyPair&& other) noexcept { *this = std::move(other); }
    PtyPair& operator=(PtyPair&& other) noexcept;
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The settings a port nobody has configured starts with: raw, 9600 baud, like a UART,
    // instead of a login terminal that would echo the device's bytes back to it.
    static termios defaultLine();

    // A fresh pair whose slave holds line (EXTPROC added: the kernel then tells the
    // master, in packet mode, of every change the application makes). False when no pty
    // could be made.
    bool create(const termios& line);
    // Closes the master, which hangs up whoever holds the slave (read() returns 0,
    // write() fails with EIO). True when there was one to close.
    bool close();

    bool valid() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    // What the port's link points at while the pair waits for an application.
    const std::string& linkTarget() const { return linkTarget_; }
    // The slave's st_rdev, as control-channel requests name it.
    dev_t device() const { return device_; }
    // True while some process holds the slave open.
    bool held() const;
    // Whether the master has something to read (an application came, wrote and went
    // before the driver looked).
    bool readable() const;
    // Lets what the slave's holder writes flow (the output is held from create() on).
    // False when the slave could not be reached for it.
    bool releaseOutput();
    // Further opens of the slave fail (EIO); whoever holds it keeps it.
    void lock();
    // The slave is some session's controlling terminal (a program opened it without
    // O_NOCTTY and had none): closing the master would send that session SIGHUP.
    bool controlling() const;
    // Gives the slave line, as a real port keeps the settings the last application left,
    // unless its holder has changed the settings already. True when given; false when
    // the holder's own settings stand (their report is taken: the caller reports them).
    bool inheritLine(const termios& line);
    // The slave's settings now.
    bool line(termios& settings) const;

  private:
    int master_ = -1;
    int slaveReference_ = -1;
    std::string slavePath_;
    std::string linkTarget_;
    dev_t device_ = 0;
};

} // namespace portdriver
