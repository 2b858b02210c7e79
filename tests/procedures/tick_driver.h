#pragma once
// TickDriver: moves the tick source for a procedure that waits inside the test's own
// pumping (reconnection, switching). A timer on the UI thread fires between the
// procedure's pump turns; each turn runs the actions whose condition has come true
// and then moves the tick by stepMs, as long as the test's gate holds.
//
// It holds the tick still while a connection is being made or a device is answering:
// from a "Reconnecting.." or "Switching.." trace until the connect failed or the
// identification ended, at most HOLD_MS of real time (a device that never answers
// must not stop the clock). So what takes real time on loopback is never overtaken by
// the clock, and a deadline passes only for a device that really does not answer.
//
// It notes the tick of every trace line. A run that has not ended after LIMIT_MS of
// real time fails the test and is ended by clearing threadRunning.
//
// UI thread only; the trace capture it installs may be called on any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QTimer;

class TickDriver {
  public:
    static constexpr int HOLD_MS = 1500;
    static constexpr int LIMIT_MS = 120000;

    // gate: the tick moves only while it holds (empty: always).
    explicit TickDriver(uint32_t stepMs, std::function<bool()> gate = {});
    ~TickDriver();
    TickDriver(const TickDriver&) = delete;
    TickDriver& operator=(const TickDriver&) = delete;

    // action runs once, on the UI thread, at the first turn where when() holds.
    void on(std::function<bool()> when, std::function<void()> action);
    // action runs inside the trace call that traces exactly text, on that thread,
    // before the traced code goes on; it must not trace (the trace lock is held).
    void onTrace(const std::string& text, std::function<void()> action);

    // The ticks at which exactly text was traced, in order.
    std::vector<uint32_t> ticksOf(const std::string& text) const;
    // How many traced lines start with prefix.
    int count(const std::string& prefix) const;
    // Milliseconds of tick since text was first traced; -1 if it was not.
    int64_t since(const std::string& text) const;

  private:
    struct Line {
        uint32_t tick;
        std::string text;
    };
    struct Action {
        std::function<bool()> when;
        std::function<void()> action;
    };

    void note(const std::string& text); // any thread
    void turn();                        // UI thread
    bool holding();

    uint32_t stepMs_;
    std::function<bool()> gate_;
    std::vector<Action> actions_; // UI thread
    std::unique_ptr<QTimer> timer_;
    int64_t startedMs_;

    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    std::string traceText_;
    std::function<void()> traceAction_;
    int inFlight_ = 0;
    int64_t heldSinceMs_ = 0;
};

// The gate of a reconnection test: the tick moves while a run is going on.
bool reconnectionRunning();
