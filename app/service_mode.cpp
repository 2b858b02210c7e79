#include "app/service_mode.h"

#include "app/system_tray.h"
#include "platform/message_box.h"
#include "platform/trace.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The journal stamps every line itself and shows a carriage return as binary data, so
// the trace text goes out as it is, less its "\r".
void traceToStandardError(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (char c : text)
        if (c != '\r')
            line += c;
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace

void prepareServiceMode() {
    // Set over whatever the session passed on: a service must not need a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const char* trace = std::getenv("QUORVALINK_TRACE");
    if (trace && std::string(trace) == "0")
        return;
    // The platform's own sink would print every line a second time, with its stamp.
    unsetenv("QUORVALINK_TRACE");
    platform::setTraceCapture(traceToStandardError);
}

void enterServiceMode() {
    overrideTrayAvailability(false);
    platform::answerBoxesSilently(true);
}

void serviceNotice(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "travenor: %s\n", line);
}
