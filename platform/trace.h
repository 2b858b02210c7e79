#pragma once
// The trace sink. Lines go to standard error with a timestamp when
// QUORVALINK_TRACE=1, otherwise they are dropped; a test can capture them.
// Any thread may trace.
#include <functional>
#include <string>

namespace platform {

void debugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Every traced text (already formatted, with its own "\r\n") goes to capture as
// well, until it is replaced or cleared with an empty function.
void setTraceCapture(std::function<void(const std::string&)> capture);

} // namespace platform
