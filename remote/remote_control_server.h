#pragma once
// RemoteControlServer: lets another program on the network point a configured port at
// a device server and bring it into service. A thread of its own listens on TCP port
// 5001 (on every local address unless the operator's setting names one), with a queue a
// burst of controllers fits in. It reads from many clients side by side, at most 128 at
// a time, each of which must send its one request within 10 s of being taken (tick
// source); it answers each request with one digit (remote/remote_request.h) and closes
// the connection. The requests are served one after another: each waits for the UI
// thread, so the ports change one request at a time. While no client waits the thread
// wakes every 10 s to see whether the manager is ending (threadRunning); stop() wakes
// it at once.
//
// When the socket cannot be made or bound, the server has the UI thread show a message
// box owned by the main window and ends at once; the manager goes on without remote
// control.
//
// The manager's one server is started by the main window's initialisation and stopped
// by the end of the manager (startRemoteControlServer, stopRemoteControlServer); tests
// make their own. start() and stop() belong to one thread, the UI thread. stop() waits
// for the server's thread, which may itself be waiting for the UI thread: call it after
// platform::releaseWaitingSenders(), or while no request is being served.
#include "remote/remote_setting.h"

#include "platform/tcp_listener.h"
#include "platform/wake_signal.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

constexpr const char* REMOTE_SOCKET_FAILED_TEXT =
    "Can't initialize a TCP/IP socket for remote controlling.\nRemote controlling will be "
    "disabled.";
constexpr const char* REMOTE_BIND_FAILED_TEXT =
    "TCP/IP Initializing failed for remote controlling.\nRemote controlling will be disabled.";

class RemoteControlServer {
  public:
    RemoteControlServer(RemoteControlSetting setting, int tcpPort);
    // Stops the server if it still runs.
    ~RemoteControlServer();
    RemoteControlServer(const RemoteControlServer&) = delete;
    RemoteControlServer& operator=(const RemoteControlServer&) = delete;

    // Starts the thread; once.
    void start();
    // Wakes the thread and waits until it has closed its last connection and its
    // listener and ended.
    void stop();

    bool listening() const { return listening_.load(); }
    // The thread has ended: after a socket failure, or stop().
    bool ended() const { return ended_.load(); }

  private:
    // A client taken from the listener, waiting for its request.
    struct Client {
        platform::TcpConnection connection;
        uint32_t takenTick;
        bool ready; // its request (or its close) has come
    };

    void run();
    bool openListener(platform::TcpListener& listener);
    void serveClients(platform::TcpListener& listener);
    void dropSilentClients(std::vector<Client>& clients);
    void serveReadyClients(std::vector<Client>& clients);
    void takeClients(platform::TcpListener& listener, std::vector<Client>& clients);
    void serve(platform::TcpConnection& client);
    void reportFailure(const char* text);

    RemoteControlSetting setting_;
    int tcpPort_;
    platform::WakeSignal wake_;
    std::thread thread_;
    std::atomic<bool> listening_{false};
    std::atomic<bool> ended_{false};
};

// The manager's server: reads the setting and the port, and starts it unless the
// setting is "off" (or QUORVALINK_REMOTE_PORT is 0). Once; UI thread.
void startRemoteControlServer();
// Stops the manager's server (after releaseWaitingSenders); nothing is left listening.
void stopRemoteControlServer();
// The manager's server while it exists (tests), else null.
const RemoteControlServer* managerRemoteControlServer();
