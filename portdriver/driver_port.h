#pragma once
// One virtual COM port inside the stand-in driver: its pseudo-terminal and link, and
// the session of the application that has it open.
//
//   Idle     nobody holds the slave. An application's open moves it to Opening, or
//            straight to Open when the 16-bit request has the port open already (or,
//            when the port is not started, hangs the application up at once). So does
//            one that came, wrote and went before the driver saw it.
//   Opening  the inQueue emptied, OPEN and MCR 03 in the outQueue; what the
//            application writes is read and held; waiting for OPEN_RESULT in the
//            inQueue. 1 -> Open; 0, or nothing within 15 s -> hang-up, Idle.
//   Open     the held bytes, the application's writes and line changes go out as
//            DATA and SREQ, the device's DATA frames come in. The application closing
//            the port -> what it wrote goes out, then MCR 00 and CLOSE, then Idle; an
//            application that has opened the port again meanwhile gets a session of
//            its own.
//
// A hang-up closes the master (the application's read() returns 0, write() fails
// with EIO) and puts a fresh pty behind the same link. A normal close keeps the pty
// (so an application may reopen at once) and discards what it left unread, so bytes
// of one session never leak into the next.
//
// Beside the link the port serves its control channel (COM5.ctl, rings/port_channel.h):
// an application's preload library learns there when its open has succeeded or why it
// failed, sets DTR and RTS (MCR packets), reads and waits for the modem status the
// device reports ('C' frames), and gives the data bits and parity the pty refuses, which
// the SREQ packets then carry. All calls are made under the driver's lock.
#include "portdriver/control_channel.h"
#include "portdriver/line_settings.h"
#include "portdriver/pty_port.h"
#include "rings/port_channel.h"
#include "rings/ring_queue.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {
class AutoEvent;
}

namespace portdriver {

class SlaveWatch;

// What the manager published for a started port, resolved to the driver's objects.
struct PortHook {
    uint32_t outHandle = 0;
    uint32_t inHandle = 0;
    RingQueue* outQueue = nullptr;
    RingQueue* inQueue = nullptr;
    platform::AutoEvent* writeEvent = nullptr;
    platform::AutoEvent* readEvent = nullptr;
    // Set when a full inQueue has room again (the manager waits for it); may be null.
    platform::AutoEvent* sliceEvent = nullptr;
    // The 16-bit request has the port open: an application joins it without OPEN.
    bool openedBySixteenBitRequest = false;
};

constexpr uint32_t OPEN_ANSWER_TIMEOUT_MS = 15000;

class DriverPort {
  public:
    enum class Phase { Idle, Opening, Open };

    DriverPort(int slot, std::string name, const std::string& deviceFolder, SlaveWatch& watch);
    ~DriverPort();
    DriverPort(const DriverPort&) = delete;
    DriverPort& operator=(const DriverPort&) = delete;

    // Makes the pty and the link. False when that failed.
    bool create();
    // Hangs up any application and removes the link.
    void shutdown();
    // Puts the link and the channel's socket back when they are missing or replaced;
    // false when it cannot.
    bool keepLink() {
        bool link = pty_.keepLink();
        return channel_.keepSocket() && link;
    }

    int slot() const { return slot_; }
    const std::string& name() const { return name_; }
    Phase phase() const { return phase_; }
    bool alive() const { return pty_.master() >= 0; }
    int modemStatus() const { return modemStatus_; }

    // An application has opened the slave since the port was Idle, or one came and
    // went, leaving bytes, before the driver saw it.
    bool applicationArrived() const;
    // Starts the session; no hook means the port is not started.
    void beginOpen(std::optional<PortHook> hook, uint32_t now);
    // One round of work for the session.
    void service(uint32_t now);
    // The manager's signal for this session has come: take it.
    void takeSignal();
    // Tells the manager of the packets this round put into the outQueue.
    void flushWake();
    // The same, but leaves setting the event (returned, or null) to the caller: the
    // manager has one for every port, set once per round.
    platform::AutoEvent* takeWake();
    // The manager released one of the session's queues.
    bool usesQueue(uint32_t handle) const;
    // Hangs the application up; reason is what a channel request about the old pty's
    // open is told (PORT_CHANNEL_NOT_STARTED, ...).
    void hangUp(uint8_t reason = PORT_CHANNEL_NOT_OPEN);
    // Takes the control channel's new connections and requests and answers those that
    // can be answered now; after every round of work, since that may settle a wait.
    void serveChannel();
    void channelRequests(std::vector<pollfd>& fds) const { channel_.pollRequests(fds); }
    void noteChannelReady(int fd) { channel_.noteReady(fd); }
    // Grows whenever the port closes a descriptor it gave for poll(), or its session
    // changes: the driver's poll set is made anew then.
    unsigned descriptorChanges() const {
        return pty_.closings() + channel_.closings() + sessionChanges_;
    }
    // An application opened or closed the slave since the last look.
    bool takeStirred();

    // What poll() should wait for on the master (fd -1: nothing), and how long the
    // driver may sleep at most for this port's sake.
    pollfd pollRequest() const;
    // The manager's signals for this session (its read event), or fd -1.
    pollfd signalRequest() const;
    int pollTimeoutMs() const;
    // The round's poll set asked the master for input (or not); a master poll asked and
    // did not report is not read this round.
    void notePolled(short events) {
        inputPolled_ = (events & POLLIN) != 0;
        inputReported_ = false;
    }
    bool readEventIs(const platform::AutoEvent* event) const {
        return phase_ != Phase::Idle && hook_.readEvent == event;
    }
    // Device bytes in the inQueue to the application at once; false when the port needs
    // a round of the driver thread.
    bool deliverNow();
    void noteMasterReady(short revents) {
        inputReported_ = true;
        if (revents & POLLHUP)
            hangupSeen_ = true;
    }

  private:
    bool masterQuiet() const;
    void joinOpenPort();
    void serviceOpening(uint32_t now);
    void failOpen(uint8_t reason);
    void sessionOpened();
    void noticeLeaving();
    void takeLeaving();
    void serviceOpen();
    void dropToApplication();
    void pumpToApplication();
    void roomMade();
    bool flushPendingToApplication();
    bool pumpFromApplication();
    bool takeFromApplication();
    int readSize() const;
    bool flushHeld();
    void takeApplicationPacket(const uint8_t* bytes, int size);
    bool sendData(const uint8_t* bytes, int length);
    void lineChanged();
    bool readPtyLine(termios& settings) const;
    void applyAskedLine(termios& settings) const;
    void reportLine(const termios& settings);
    void noteModemStatus(uint8_t status);
    bool sessionLive() const;
    bool answer(const PortChannelRequest& request, PortChannelReply& reply);
    bool answerOpen(PortChannelReply& reply);
    bool changeModemControl(const PortChannelRequest& request, PortChannelReply& reply);
    bool answerChange(const PortChannelRequest& request, PortChannelReply& reply);
    bool setLine(const PortChannelRequest& request, PortChannelReply& reply);
    void fillState(PortChannelReply& reply, uint8_t status) const;
    bool sendPacket(const uint8_t* bytes, int size);
    bool sendClose();
    void announceClose();
    void endSession();
    void closed();

    int slot_;
    std::string name_;
    PtyPort pty_;
    SlaveWatch& watch_;
    int watchId_ = -1;
    Phase phase_ = Phase::Idle;
    PortHook hook_;
    uint32_t openStart_ = 0;
    bool openSent_ = false;
    bool wakeOwed_ = false;        // packets went into the outQueue since the last flushWake
    bool applicationLeft_ = false; // EIO: nobody holds the slave
    bool closeSeen_ = false;       // the application closed, maybe another opened since
    bool leftoverRead_ = false;    // and what it wrote has been taken from the master
    bool lineOwed_ = false;        // line settings to report once a session is open
    bool hangupSeen_ = false;
    bool watchFresh_ = false;    // serviceOpen has just read the watch
    bool inputPolled_ = false;   // this round's poll asked the master for input
    bool inputReported_ = false; // and it reported something
    unsigned sessionChanges_ = 0;
    bool expectOwnChange_ = false;
    uint8_t modemControl_ = 0;
    bool raiseOwed_ = false; // DTR and RTS go up with the next rate (after B0)
    std::optional<LineSettings> lastSettings_;
    int modemStatus_ = -1;
    uint32_t lineChanges_[PORT_COUNT_LINES] = {}; // CTS, DSR, RI, DCD, for the port's life
    uint32_t received_ = 0;                       // bytes to the application, this session
    uint32_t transmitted_ = 0;                    // bytes to the device, this session
    // The data bits and parity an application asked for through the channel (the pty
    // holds 8N); dropped when the settings change past the channel.
    std::optional<tcflag_t> askedCflag_;
    bool channelEchoDue_ = false; // the pty's report of what the channel announced
    dev_t slaveDevice_ = 0;       // the current pty's slave, as requests name it
    dev_t hungUpSlave_ = 0;       // the last one hung up, and why
    uint8_t hangUpReason_ = PORT_CHANNEL_NOT_OPEN;
    ControlChannel channel_;
    std::vector<uint8_t> toApplication_;
    size_t toApplicationSent_ = 0;
    std::vector<uint8_t> held_; // written while the open was pending
    size_t heldSent_ = 0;
};

} // namespace portdriver
