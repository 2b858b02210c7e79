#pragma once
// The one pump of the test tree: runs the test's main thread (the UI thread) as its
// event loop would, serving the manager's private messages and Qt's events (sockets,
// timers), while a test waits for something. Real time only bounds the wait, so a
// broken build fails instead of hanging. UI thread only.
#include <functional>

// Makes the test binary's Qt application when it has none yet: an event loop without a
// GUI (the window's tests make theirs with one first, tests/app/gui_support.h).
void ensureEventLoop();

// Pumps until done() holds; false when timeoutMs of real time passed first.
bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Pumps for a while of real time.
void pumpFor(int milliseconds);
