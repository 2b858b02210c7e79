#pragma once
// One virtual COM port inside the stand-in driver: its link, the pty waiting for the next
// application, the session of the application that has the port, and the control channel.
//
// Every application open is a session of its own, on a pty of its own. The link always
// points at a pty nobody holds. Once an application has opened it, that pty is locked
// against further opens and becomes the application's session, and the link moves to a
// fresh pty for the next opener. The session ends exactly when the application's last
// descriptor of its pty is closed: the master then reads EIO, after all the application
// wrote. An application that opens the port while another still holds it is refused as a
// busy port would refuse it: its pty is hung up (with the preload library its open fails
// with EBUSY). One that opens it while the last session is still handing its CLOSE over
// waits for that, in its own pty; its own session then starts at once.
//
// Beside the link the port serves its control channel (COM5.ctl, rings/port_channel.h):
// an application's preload library learns there when its open has succeeded or why it
// failed, sets DTR and RTS (MCR packets), reads and waits for the modem status the
// device reports ('C' frames), and gives the data bits and parity the pty refuses, which
// the SREQ packets then carry.
//
// All calls are made under the driver's lock (port_driver.h).
#include "portdriver/control_channel.h"
#include "portdriver/port_link.h"
#include "portdriver/port_session.h"
#include "portdriver/pty_pair.h"

#include <deque>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <utility>
#include <vector>

namespace portdriver {

class OpenWatch;

class DriverPort {
  public:
    DriverPort(int slot, std::string name, const std::string& deviceFolder, OpenWatch& watch);
    ~DriverPort();
    DriverPort(const DriverPort&) = delete;
    DriverPort& operator=(const DriverPort&) = delete;

    // Makes the waiting pty, the link and the channel. False when the pty or the link
    // could not be made.
    bool create();
    // Hangs up every application and removes the link and the channel.
    void shutdown();
    // Puts the link and the channel's socket back when they are missing or replaced;
    // false when it cannot.
    bool keepLink() {
        bool link = link_.keep(waiting_.linkTarget());
        return channel_.keepSocket() && link;
    }

    int slot() const { return slot_; }
    const std::string& name() const { return name_; }
    bool alive() const { return waiting_.valid(); }
    // The last modem-status byte of the current session, -1 if none.
    int modemStatus() const { return session_ ? session_->modemStatus() : -1; }
    bool hasSession() const { return session_ != nullptr; }
    bool opening() const { return session_ && session_->phase() == PortSession::Phase::Opening; }

    // One round: an application's open of the waiting pty is taken (as the next session,
    // or refused while another application has the port) and the session is served.
    // look: besides what inotify reported, look at the waiting pty itself (a round every
    // second, or without inotify).
    void service(uint32_t now, bool look);
    // True once when the next session can begin and needs the manager's published values
    // for the port (hook_reader.h reads them).
    bool takeHookWanted();
    // The next session begins with them (none: the port is not started, its application
    // is hung up).
    void beginNext(std::optional<PortHook> hook, uint32_t now);
    // Takes the control channel's new connections and requests and answers those that
    // can be answered now; after every round of work, since that may settle a wait.
    void serveChannel();
    void channelRequests(std::vector<pollfd>& fds) const { channel_.pollRequests(fds); }
    void noteChannelReady(int fd) { channel_.noteReady(fd); }
    // The manager released one of the session's queues.
    bool usesQueue(uint32_t handle) const { return session_ && session_->usesQueue(handle); }
    // Hangs the session's application up.
    void hangUp();
    // inotify saw an application open the waiting pty, not yet taken.
    bool openNoted() const;

    // The round's poll set: the session's master and the manager's signal for it.
    pollfd pollRequest() const { return session_ ? session_->pollRequest() : pollfd{-1, 0, 0}; }
    pollfd signalRequest() const { return session_ ? session_->signalRequest() : pollfd{-1, 0, 0}; }
    int pollTimeoutMs(uint32_t now) const;
    void notePolled(short events) {
        if (session_)
            session_->notePolled(events);
    }
    void noteMasterReady(short revents) {
        if (session_)
            session_->noteMasterReady(revents);
    }
    void takeSignal() {
        if (session_)
            session_->takeSignal();
    }
    // The manager's events to set for the packets this round put in the outQueue (the
    // session's, and that of a session that ended in the round), each added once.
    void takeWakes(std::vector<platform::AutoEvent*>& wakes);
    bool readEventIs(const platform::AutoEvent* event) const {
        return session_ && session_->readEventIs(event);
    }
    bool deliverNow() { return session_ && session_->deliverNow(); }
    // Grows whenever the port closes a descriptor it gave for poll(), or its session
    // changes: the driver's poll set is made anew then.
    unsigned descriptorChanges() const { return changes_ + channel_.closings(); }

  private:
    bool makeWaiting();
    void makeSpare();
    bool arrived();
    void takeArrival();
    bool anyApplicationHolds() const;
    void refuse(PtyPair& pty, uint8_t reason);
    void remember(dev_t slave, uint8_t reason);
    void endSession(bool wake = true);
    bool answer(const PortChannelRequest& request, PortChannelReply& reply);

    int slot_;
    std::string name_;
    PortLink link_;
    // COM5.open: names the session's pty while a session runs, so that the preload library
    // knows a descriptor of it that the application did not open by the link (inherited,
    // or passed over a socket as Wine's server passes it). Locked, it opens nothing.
    PortLink sessionLink_;
    OpenWatch& watch_;
    PtyPair waiting_; // what the link points at; nobody holds it
    PtyPair spare_;   // the next waiting pty, made beforehand
    int watchId_ = -1;
    std::unique_ptr<PortSession> session_;
    std::string sessionTarget_;  // what sessionLink_ points at
    std::deque<PtyPair> queued_; // opened while the last session was ending, in order
    std::vector<PtyPair> kept_;  // ended sessions' ptys that are still a controlling terminal
    bool hookAsked_ = false;
    // Ptys of sessions that are over, and what an open waiting there is told (the newest
    // last; a few are enough: an application asks right after its open).
    std::deque<std::pair<dev_t, uint8_t>> ended_;
    // What the next session's pty starts with: what the last session left.
    termios line_;
    std::optional<tcflag_t> askedCflag_;
    LineCounts lineChanges_{};
    platform::AutoEvent* endedWake_ = nullptr; // of a session that ended this round
    unsigned changes_ = 0;
    ControlChannel channel_;
};

} // namespace portdriver
