#pragma once
// Service mode (travenor --service): the whole manager without a window or a tray
// icon, for a box without a desktop or a systemd user unit. The window exists but is
// never shown (Qt's offscreen platform), every message box is answered at once (No
// or OK) and traced, and the traces go to standard error, where the journal collects
// them. Start-up, the ports, remote control and the end on SIGTERM are the manager's
// own.
//
// Main thread: prepareServiceMode before the application object exists,
// enterServiceMode after it, before the main window's initialisation.

// The platform and the trace sink. Traces are on unless QUORVALINK_TRACE=0.
void prepareServiceMode();
// No tray icon, no box shown.
void enterServiceMode();

// A line for whoever reads the service's standard error, whatever the trace setting.
void serviceNotice(const char* format, ...) __attribute__((format(printf, 1, 2)));
