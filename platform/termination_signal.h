#pragma once
// SIGINT, SIGTERM and SIGHUP as requests to end, delivered on the UI thread: the
// handler only writes the signal's number to a pipe, and a socket notifier on the UI
// thread runs the callback with it. Install once, on the UI thread, after the
// application object exists.
#include <functional>

namespace platform {

void onTerminationSignal(std::function<void(int signal)> callback);

} // namespace platform
