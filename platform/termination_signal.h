#pragma once
// SIGINT and SIGTERM as a request to end, delivered on the UI thread: the handler
// only writes to a pipe, and a socket notifier on the UI thread runs the callback.
// Install once, on the UI thread, after the application object exists.
#include <functional>

namespace platform {

void onTerminationSignal(std::function<void()> callback);

} // namespace platform
