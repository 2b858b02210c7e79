#include "remote/remote_control_server.h"

#include "config/manager_context.h"
#include "platform/message_box.h"
#include "platform/tick.h"
#include "platform/trace.h"
#include "platform/ui_thread.h"
#include "remote/remote_request.h"

#include <memory>
#include <string>

using namespace platform;

namespace {

constexpr int LISTEN_BACKLOG = 1;
// Between clients the thread looks at threadRunning this often at least.
constexpr int IDLE_WAKE_MS = 10000;
// A client must send its request within this time (tick source); one that sends
// nothing would otherwise hold the server, and remote control with it, for good.
constexpr uint32_t REQUEST_WAIT_MS = 10000;
// How often the wait for a request looks at the tick source.
constexpr int REQUEST_POLL_MS = 50;
// After a failed accept (out of descriptors) the listener rests this long, instead of
// finding the same client pending again at once.
constexpr uint32_t ACCEPT_REST_MS = 100;

std::unique_ptr<RemoteControlServer> managerServer;

} // namespace

RemoteControlServer::RemoteControlServer(RemoteControlSetting setting, int tcpPort)
    : setting_(std::move(setting)), tcpPort_(tcpPort) {}

RemoteControlServer::~RemoteControlServer() {
    stop();
}

void RemoteControlServer::start() {
    if (!thread_.joinable() && !ended_.load())
        thread_ = std::thread([this] { run(); });
}

void RemoteControlServer::stop() {
    wake_.raise();
    if (thread_.joinable())
        thread_.join();
}

void RemoteControlServer::run() {
    // Nothing to initialise for sockets here; the flag says they are usable.
    context.socketsReady.store(1);
    TcpListener listener;
    if (openListener(listener)) {
        listening_.store(true);
        serveClients(listener);
        listener.close();
        listening_.store(false);
    }
    ended_.store(true);
}

bool RemoteControlServer::openListener(TcpListener& listener) {
    if (!setting_.readable) {
        reportFailure(REMOTE_BIND_FAILED_TEXT);
        return false;
    }
    switch (listener.open(setting_.address, tcpPort_, LISTEN_BACKLOG)) {
    case TcpListener::OpenResult::Listening:
        debugTrace("Remote control listens on %s:%d.\r\n",
                   setting_.address.empty() ? "*" : setting_.address.c_str(), tcpPort_);
        return true;
    case TcpListener::OpenResult::SocketFailed:
        reportFailure(REMOTE_SOCKET_FAILED_TEXT);
        return false;
    case TcpListener::OpenResult::BindFailed:
        reportFailure(REMOTE_BIND_FAILED_TEXT);
        return false;
    }
    return false;
}

// The last client taken stays connected until the next one is taken or the loop ends.
void RemoteControlServer::serveClients(TcpListener& listener) {
    TcpConnection client;
    while (context.threadRunning.load() && !wake_.raised()) {
        WaitResult pending = listener.waitForClient(IDLE_WAKE_MS, &wake_);
        if (pending == WaitResult::Failed) {
            reportFailure(REMOTE_BIND_FAILED_TEXT);
            break;
        }
        if (pending != WaitResult::Ready)
            continue;
        client.close();
        client = listener.accept();
        if (client.valid())
            serve(client);
        else
            wake_.wait(ACCEPT_REST_MS);
    }
    client.close();
}

void RemoteControlServer::serve(TcpConnection& client) {
    if (!waitForRequest(client))
        return;
    uint8_t bytes[REMOTE_REQUEST_BYTES] = {};
    int size = client.receive(bytes, sizeof bytes);
    if (size <= 0)
        return;
    RemoteReply reply = answerRemoteRequest(parseRemoteRequest(bytes, size_t(size)));
    if (reply == NO_REPLY)
        return;
    char digit = reply;
    client.sendAll(&digit, 1);
    // The list shows what the request did; its rebuild also puts the cursor back.
    postMessage(WM_REFRESH_LIST, 0, 0);
}

bool RemoteControlServer::waitForRequest(TcpConnection& client) {
    uint32_t start = getTickCount();
    for (;;) {
        switch (client.waitReadable(REQUEST_POLL_MS, &wake_)) {
        case WaitResult::Ready:
            return true;
        case WaitResult::TimedOut:
            if (getTickCount() - start < REQUEST_WAIT_MS)
                break;
            debugTrace("Remote control: no request within 10 s.\r\n");
            return false;
        case WaitResult::Woken:
        case WaitResult::Failed:
            return false;
        }
    }
}

// The box is shown by the UI thread; the thread does not wait for its answer, so it
// ends at once and nothing holds the end of the manager up.
void RemoteControlServer::reportFailure(const char* text) {
    debugTrace("%s\r\n", text);
    std::string shown = text;
    postToUiThread([shown] { messageBox(mainWindow(), shown, "Error", MB_ICONERROR); });
}

void startRemoteControlServer() {
    if (managerServer)
        return;
    RemoteControlSetting setting = readRemoteControlSetting();
    int tcpPort = remoteControlPort();
    if (!setting.enabled || tcpPort == 0) {
        debugTrace("Remote control is off.\r\n");
        return;
    }
    managerServer = std::make_unique<RemoteControlServer>(std::move(setting), tcpPort);
    managerServer->start();
}

void stopRemoteControlServer() {
    if (!managerServer)
        return;
    managerServer->stop();
    managerServer.reset();
}

const RemoteControlServer* managerRemoteControlServer() {
    return managerServer.get();
}
