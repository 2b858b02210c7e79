#include "platform/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace platform {

namespace {
std::mutex traceMutex;
std::function<void(const std::string&)> traceCapture;

bool traceToStderr() {
    static const bool enabled = [] {
        const char* value = std::getenv("QUORVALINK_TRACE");
        return value && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}
} // namespace

void debugTrace(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);

    std::lock_guard lock(traceMutex);
    if (traceCapture)
        traceCapture(line);
    if (traceToStderr()) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tm local{};
        localtime_r(&now.tv_sec, &local);
        std::fprintf(stderr, "%02d:%02d:%02d.%03ld %s", local.tm_hour, local.tm_min, local.tm_sec,
                     now.tv_nsec / 1000000, line);
    }
}

void setTraceCapture(std::function<void(const std::string&)> capture) {
    std::lock_guard lock(traceMutex);
    traceCapture = std::move(capture);
}

} // namespace platform
