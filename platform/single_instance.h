#pragma once
// One manager per user. The first start holds a lock file in runtimeFolder() and
// listens on a local socket beside it; a later start finds the lock taken and sends
// its request there instead of starting a second manager.
//
// The socket speaks one request line and one reply line per connection, both ending
// in "\n":
//   show                      -> ok      (show the window normally, bring it forward)
//   message <n> <wParam> <lParam> -> <result>
// anything the handler does not know -> error
//
// While the process is out of descriptors no client can be taken: the listener then
// rests for a moment at a time, and the clients wait in the socket's backlog.
//
// Owned by main(); UI thread only (the server answers from the event loop). It must
// outlive the event loop that runs its handler.
#include <functional>
#include <memory>
#include <string>

class QLocalSocket;
class QObject;
class QSocketNotifier;
class QTimer;

namespace platform {

class SingleInstance {
  public:
    using RequestHandler = std::function<std::string(const std::string& request)>;

    explicit SingleInstance(std::string name = "quorvalink-travenor");
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process is the first: it now holds the lock.
    bool acquire();
    // Starts answering requests (after acquire succeeded); false when the socket
    // cannot be made.
    bool listen(RequestHandler handler);

    // Sends one request to the running instance and waits up to timeoutMs for the
    // reply; retries the connection meanwhile, as the first instance may hold the
    // lock but not listen yet. False when nobody answered.
    bool request(const std::string& line, std::string* reply, int timeoutMs = 3000) const;

    std::string socketPath() const;
    std::string lockPath() const;

  private:
    void stopListening();
    void acceptClient();
    void rest();
    void serve(int fd);
    void answer(QLocalSocket* client);
    static void deleteWhenGone(QLocalSocket* client);

    std::string name_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    std::unique_ptr<QSocketNotifier> listener_;
    std::unique_ptr<QTimer> restTimer_;
    std::unique_ptr<QObject> clients_; // parent of the connections being served
    RequestHandler handler_;
};

} // namespace platform
