#pragma once
// One application's use of a port: from its open of a pty of its own to the end of that
// pty. The session is exactly that application's: its bytes, its line settings and its
// modem-line changes go to the device between its OPEN and its CLOSE, and the device's
// bytes reach only its pty.
//
//   Opening  the inQueue emptied, OPEN and MCR 03 in the outQueue; waiting for
//            OPEN_RESULT in the inQueue. What the application writes meanwhile waits
//            in its pty. 1 -> Open; 0, or nothing within 15 s -> Over (hung up).
//   Open     the application's writes and line changes go out as DATA and SREQ, its
//            flushes (seen in packet mode) as PURGE and its breaks (asked through the
//            channel) as BREAK; the device's DATA frames come in. EIO on the master
//            (every holder has closed the slave and all it wrote is read) -> Ending.
//   Ending   the last line settings, the end of a break left on, then MCR 00 and
//            CLOSE, as the outQueue has room -> Over.
//   Over     the pty is closed; the port lets the session go.
//
// Line settings settle before they go: an SREQ goes out once the settings have stayed
// the same for LINE_SETTLE_MS, or before the next data, modem-line change or CLOSE, and
// only when they differ from what the session last sent. The passing states of a
// program that sets the rate, the data bits and the flow control one call after the
// other never reach the device.
//
// All calls are made under the driver's lock (port_driver.h).
#include "portdriver/line_settings.h"
#include "portdriver/pty_pair.h"
#include "rings/port_channel.h"
#include "rings/ring_queue.h"

#include <array>
#include <cstdint>
#include <optional>
#include <poll.h>
#include <string>
#include <vector>

namespace platform {
class AutoEvent;
}

namespace portdriver {

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
constexpr uint32_t LINE_SETTLE_MS = 10;

// Level changes of CTS, DSR, RI and DCD the device reported, for the port's life.
using LineCounts = std::array<uint32_t, PORT_COUNT_LINES>;

class PortSession {
  public:
    enum class Phase { Opening, Open, Ending, Over };

    // line and askedCflag: the settings the port's last session left, and the data bits
    // and parity its application asked for through the control channel (the pty holds
    // 8N), which this session starts with unless its application has set its own.
    PortSession(const std::string& portName, PtyPair pty, const PortHook& hook, LineCounts& counts,
                const termios& line, std::optional<tcflag_t> askedCflag);
    PortSession(const PortSession&) = delete;
    PortSession& operator=(const PortSession&) = delete;

    // Asks the device with OPEN, or joins a port the 16-bit request has open.
    void begin(uint32_t now);
    // One round of work.
    void service(uint32_t now);
    // Ends the session at once and hangs its application up (its queues are going).
    void hangUp();

    Phase phase() const { return phase_; }
    // Why the session ended before it was open (refused, no answer), as channel requests
    // about its pty are told; PORT_CHANNEL_NOT_OPEN otherwise.
    uint8_t endReason() const { return endReason_; }
    // The application still has the port: it holds its pty and has not left.
    bool applicationHolds() const;
    dev_t device() const { return device_; }
    bool usesQueue(uint32_t handle) const;
    int modemStatus() const { return modemStatus_; }
    // What the pty held when the session ended and the data bits and parity asked through
    // the channel: what the port's next session starts with.
    const std::optional<termios>& finalLine() const { return finalLine_; }
    // A session whose application left while its pty is still that program's controlling
    // terminal: the pty, kept open, since closing it would send the program SIGHUP.
    PtyPair takeKeptPty() { return std::move(keptPty_); }
    std::optional<tcflag_t> askedCflag() const { return askedCflag_; }

    // The manager's signal for this session has come: take it.
    void takeSignal();
    // The outQueue's packets of this round are marked; the manager's event to set, or null.
    platform::AutoEvent* takeWake();
    bool readEventIs(const platform::AutoEvent* event) const { return hook_.readEvent == event; }
    // What poll() should wait for on the master (fd -1: nothing), the manager's signal
    // (its read event), and how long the driver may sleep at most for this session.
    pollfd pollRequest() const;
    pollfd signalRequest() const;
    int pollTimeoutMs(uint32_t now) const;
    // The round's poll set asked the master for input (or not); a master poll asked and
    // did not report is not read this round.
    void notePolled(short events) {
        inputPolled_ = (events & POLLIN) != 0;
        inputReported_ = false;
    }
    void noteMasterReady(short revents) {
        inputReported_ = true;
        if (revents & POLLHUP)
            hangupSeen_ = true;
    }
    // Device bytes in the inQueue to the application at once; false when the session
    // needs a round of the driver thread.
    bool deliverNow();

    // A control-channel request about this session's pty: fills the reply and returns
    // true, or false to be asked again later (channel_answers.cpp).
    bool answer(const PortChannelRequest& request, PortChannelReply& reply);

  private:
    // The session's state machine (port_session.cpp).
    void joinOpenPort();
    void serviceOpening(uint32_t now);
    void opened();
    void failOpen(uint8_t reason);
    void serviceOpen();
    void serviceEnding();
    void over(uint8_t reason);
    void announceClose();
    bool sendClose();
    // The data both ways.
    void pumpToApplication();
    bool flushPendingToApplication();
    void dropToApplication();
    void roomMade();
    bool pumpFromApplication();
    bool takeFromApplication();
    bool masterQuiet() const;
    int readSize() const;
    void takeApplicationPacket(const uint8_t* bytes, int size);
    void flushSeen(uint8_t status);
    void dropDeviceInput();
    bool sendData(const uint8_t* bytes, int length);
    bool sendPacket(const uint8_t* bytes, int size);
    void noteModemStatus(uint8_t status);
    // Line settings (session_line.cpp).
    void lineChanged();
    bool readPtyLine(termios& settings) const;
    void applyAskedLine(termios& settings) const;
    void noteLine(const termios& settings);
    bool flushLine();
    bool lineDue() const;
    // Control-channel answers (channel_answers.cpp).
    bool live() const;
    bool answerOpen(PortChannelReply& reply);
    bool changeModemControl(const PortChannelRequest& request, PortChannelReply& reply);
    bool answerChange(const PortChannelRequest& request, PortChannelReply& reply);
    bool setLine(const PortChannelRequest& request, PortChannelReply& reply);
    bool changeBreak(const PortChannelRequest& request, PortChannelReply& reply);
    void fillState(PortChannelReply& reply, uint8_t status) const;

    std::string name_;
    PtyPair pty_;
    PtyPair keptPty_;
    dev_t device_;
    std::optional<termios> finalLine_;
    PortHook hook_;
    LineCounts& lineChanges_;
    Phase phase_ = Phase::Opening;
    uint8_t endReason_ = PORT_CHANNEL_NOT_OPEN;
    uint32_t now_ = 0;
    uint32_t openStart_ = 0;
    bool openSent_ = false;
    bool wakeOwed_ = false;        // packets went into the outQueue since the last takeWake
    bool applicationLeft_ = false; // EIO: nobody holds the slave, all it wrote is read
    bool hangupSeen_ = false;      // poll reported POLLHUP: read at once
    bool inputPolled_ = false;     // this round's poll asked the master for input
    bool inputReported_ = false;   // and it reported something
    uint8_t modemControl_ = 0;
    bool raiseOwed_ = false; // DTR and RTS go up with the next rate (after B0)
    bool breakOn_ = false;   // the application's break is on (ended before its CLOSE)
    int modemStatus_ = -1;
    uint32_t received_ = 0;    // bytes to the application
    uint32_t transmitted_ = 0; // bytes to the device
    // Line settings: the last that went out, those waiting to settle, and the last noted.
    std::optional<LineSettings> sentLine_;
    std::optional<LineSettings> owedLine_;
    std::optional<LineSettings> lastLine_;
    uint32_t lineNotedAt_ = 0;
    bool expectOwnChange_ = false;
    bool ownLineUnreported_ = false; // the application's settings, taken before the open
    bool openAnswered_ = false;      // the channel told an open that the session is open
    bool channelEchoDue_ = false;    // the pty's report of what the channel announced
    // The data bits and parity asked through the channel (the pty holds 8N); dropped when
    // the settings change past the channel.
    std::optional<tcflag_t> askedCflag_;
    std::vector<uint8_t> toApplication_;
    size_t toApplicationSent_ = 0;
};

} // namespace portdriver
