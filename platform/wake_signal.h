#pragma once
// WakeSignal: tells a thread that waits on blocking sockets to stop waiting. Once
// raised it stays raised, so every later wait of a TcpListener or TcpConnection that
// watches it returns at once (WaitResult::Woken). An eventfd that those waits poll
// beside their socket.
//
// Owned by whoever owns the waiting thread; destroyed only after that thread has
// ended. Any thread may raise it.
#include <cstdint>

namespace platform {

class WakeSignal {
  public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    void raise();
    bool raised() const;
    // Waits up to milliseconds of real time; true when the signal is (or gets) raised.
    bool wait(uint32_t milliseconds) const;

    // For the waits of the socket wrappers: readable once raised.
    int descriptor() const { return fd_; }

  private:
    int fd_;
};

} // namespace platform
