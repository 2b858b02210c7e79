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

// Controllers that connect at once wait in the system's queue until they are taken;
// the system caps this at net.core.somaxconn (4096 by default).
constexpr int LISTEN_BACKLOG = 1024;
// Connections read side by side, waiting for their requests. Beyond these, clients stay
// in the queue until one is answered or given up; the cap keeps a flood of silent
// clients from taking every descriptor of the manager.
constexpr size_t MAX_CLIENTS = 128;
// While no client waits the thread looks at threadRunning this often at least.
constexpr int IDLE_WAKE_MS = 10000;
// A client must send its request within this time of being taken (tick source); one
// that sends nothing is given up without an answer.
constexpr uint32_t REQUEST_WAIT_MS = 10000;
// How often the thread looks at the tick source while clients wait.
constexpr int REQUEST_POLL_MS = 50;
// After a failed accept (out of descriptors) the listener rests this long, instead of
// finding the same client pending again at once.
constexpr uint32_t ACCEPT_REST_MS = 100;
// What an answered client still sent is read and dropped, up to this much, so that
// the close is an orderly one (unread bytes would make it a reset).
constexpr int DISCARD_BYTES = 4096;

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

// One loop serves every client: it waits for any of them and for the listener at once,
// gives up those whose 10 s have passed, serves those whose request has come (one after
// another, so the ports are changed one request at a time, as from the window) and
// takes new ones. A client that says nothing holds nobody but itself.
void RemoteControlServer::serveClients(TcpListener& listener) {
    std::vector<Client> clients;
    while (context.threadRunning.load() && !wake_.raised()) {
        std::vector<const TcpConnection*> connections;
        for (const Client& client : clients)
            connections.push_back(&client.connection);
        bool watchListener = clients.size() < MAX_CLIENTS;
        std::vector<bool> ready;
        bool clientPending = false;
        WaitResult waited = waitForAny(watchListener ? &listener : nullptr, connections,
                                       clients.empty() ? IDLE_WAKE_MS : REQUEST_POLL_MS, &wake_,
                                       &ready, &clientPending);
        if (waited == WaitResult::Failed) {
            reportFailure(REMOTE_BIND_FAILED_TEXT);
            break;
        }
        if (waited == WaitResult::Woken)
            break;
        for (size_t i = 0; i < clients.size(); ++i)
            clients[i].ready = ready[i];
        dropSilentClients(clients);
        serveReadyClients(clients);
        if (clientPending)
            takeClients(listener, clients);
    }
}

void RemoteControlServer::dropSilentClients(std::vector<Client>& clients) {
    uint32_t now = getTickCount();
    std::erase_if(clients, [now](const Client& client) {
        if (client.ready || now - client.takenTick < REQUEST_WAIT_MS)
            return false;
        debugTrace("Remote control: no request within 10 s.\r\n");
        return true;
    });
}

void RemoteControlServer::serveReadyClients(std::vector<Client>& clients) {
    std::vector<Client> waiting;
    for (Client& client : clients) {
        if (!client.ready) {
            waiting.push_back(std::move(client));
            continue;
        }
        // Every request waits for the UI thread; the end of the manager does not.
        if (!wake_.raised())
            serve(client.connection);
    }
    clients = std::move(waiting);
}

void RemoteControlServer::takeClients(TcpListener& listener, std::vector<Client>& clients) {
    while (clients.size() < MAX_CLIENTS) {
        bool failed = false;
        TcpConnection connection = listener.accept(&failed);
        if (!connection.valid()) {
            if (failed)
                wake_.wait(ACCEPT_REST_MS);
            return;
        }
        clients.push_back({std::move(connection), getTickCount(), false});
    }
}

// The connection is closed after the answer (or without one): one request per
// connection.
void RemoteControlServer::serve(TcpConnection& client) {
    uint8_t bytes[REMOTE_REQUEST_BYTES] = {};
    int size = client.receive(bytes, sizeof bytes);
    if (size <= 0)
        return;
    RemoteReply reply = answerRemoteRequest(parseRemoteRequest(bytes, size_t(size)));
    if (reply == NO_REPLY)
        return;
    char digit = reply;
    client.sendAll(&digit, 1);
    client.shutdownSending();
    for (int dropped = 0; dropped < DISCARD_BYTES && client.waitReadable(0) == WaitResult::Ready;) {
        int count = client.receive(bytes, sizeof bytes);
        if (count <= 0)
            break;
        dropped += count;
    }
    // The list shows what the request did; its rebuild also puts the cursor back.
    postMessage(WM_REFRESH_LIST, 0, 0);
}

// The box is shown by the UI thread; the thread does not wait for its answer, so it
// ends at once and nothing holds the end of the manager up.
void RemoteControlServer::reportFailure(const char* text) {
    debugTrace("%s\r\n", text);
    std::string shown = text;
    postToUiThread([shown] { messageBox(BoxOwner::Window, shown, "Error", MB_ICONERROR); });
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
