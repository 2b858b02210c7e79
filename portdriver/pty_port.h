#pragma once
// The pseudo-terminal behind one virtual COM port, and the stable link named after
// the port (deviceFolder()/COM5) that applications open.
//
// The driver keeps the master; the slave is the application's. open() makes a fresh
// pair and points the link at its slave; calling it again hangs up whoever holds the
// old slave (their read() returns 0, write() fails with EIO) and swaps the link over
// atomically, so the port's name never disappears. The link names the slave through
// a descriptor this process keeps (/proc/<pid>/fd/<n>), so that it leads nowhere once
// the process is gone instead of into whichever program gets the pty number next.
// The object belongs to the driver thread or to whoever holds the driver's lock.
#include <string>

namespace portdriver {

class PtyPort {
  public:
    explicit PtyPort(std::string linkPath);
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    // Replaces the current pair (if any) with a fresh one. False when no pty could be
    // made, the link path is taken by something that is not a link or by another
    // user's link, or the folder is not this user's alone.
    bool open();
    // Points the link at this port's slave again when it is missing or leads elsewhere
    // (someone removed or replaced it). False when it cannot be put back.
    bool keepLink();
    // Drops what the driver wrote that no application read, after a normal close;
    // what a newly arrived application wrote stays.
    void discardInput();
    // Closes the master, which hangs up the slave's holders, and removes the link if
    // it still points at this port's slave.
    void close();

    int master() const { return pair_.master; }
    // How many masters it has closed so far.
    unsigned closings() const { return closings_; }
    const std::string& slavePath() const { return pair_.slavePath; }
    const std::string& linkPath() const { return linkPath_; }
    // True while some process holds the slave open.
    bool slaveHeld() const;

  private:
    struct Pair {
        int master = -1;
        int slaveReference = -1; // O_PATH: names the slave without opening the tty
        std::string slavePath;   // /dev/pts/N
        std::string linkTarget;  // /proc/<pid>/fd/<slaveReference>
    };

    static bool createPair(Pair& pair);
    bool linkPlaceSafe() const;
    void closePair(Pair& pair);
    bool pointLinkAt(const std::string& target);

    std::string linkPath_;
    Pair pair_;
    unsigned closings_ = 0;
};

} // namespace portdriver
