#pragma once
// The UI thread's private window messages. The installed handler (the ports' message
// dispatcher) runs on the UI thread, the thread that runs Qt's event loop. Any thread
// may post a message (queued, the sender goes on) or send it (the sender waits for the
// handler's result; sent from the UI thread it is a direct call). Posted and sent
// messages from one thread are handled in the order they were made.
#include <cstdint>
#include <functional>

namespace platform {

enum : uint32_t {
    WM_USER = 0x400,
    WM_TRAY_NOTIFY = WM_USER + 1,       // 1025
    WM_RECONNECT_PORT = WM_USER + 2,    // 1026, lParam slot
    WM_PORT_DISCONNECTED = WM_USER + 3, // 1027, lParam slot
    WM_START_PORT = WM_USER + 4,        // 1028, wParam 1, lParam slot
    WM_OPEN_PORT = WM_USER + 5,         // 1029, wParam quiet, lParam slot
    WM_WIN16_PORT = WM_USER + 6,        // 1030, wParam COM number, lParam 1 open / 0 close
    WM_REFRESH_LIST = WM_USER + 7,      // 1031
    WM_SWITCH_PORT = WM_USER + 8,       // 1032, lParam slot
};

using MessageHandler = std::function<intptr_t(uint32_t message, uintptr_t wParam, intptr_t lParam)>;

// Installed on the UI thread by whoever runs the ports (the window, the service mode);
// an empty handler drops messages.
void setMessageHandler(MessageHandler handler);

void postMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
intptr_t sendMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
// Runs work on the UI thread, in turn with the messages, and returns its result; the
// caller waits (from the UI thread itself it is a direct call). For a worker thread
// that must read or change what only the UI thread may touch.
intptr_t callOnUiThread(std::function<intptr_t()> work);
// Runs work on the UI thread, in turn with the messages, and returns at once, like a
// posted message (a worker that reports something and need not wait for the answer).
void postToUiThread(std::function<void()> work);
// The manager is ending: every sender still waiting gets 0 at once, and every later
// send or call from another thread returns 0 without being run. A worker blocked in a
// send can then end even when the handler it waits for never returns.
void releaseWaitingSenders();
// Undoes releaseWaitingSenders (tests, between cases).
void acceptSendersAgain();

// UI thread only: processes what is pending once, never blocks; true when it
// handled something. A quit request that arrives meanwhile is kept for the main loop.
bool pumpOneMessage();

bool isUiThread();

} // namespace platform
