#pragma once
// One manager per user. The first start holds a lock file in runtimeFolder() and
// listens on a local socket beside it; a later start finds the lock taken and sends
// its request there instead of starting a second manager. The runtime folder is the
// user's own (platform/paths.h); a lock file or socket in it that is another user's
// or a symbolic link is never opened, connected to or replaced.
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

    // True when this process is the first: it now holds the lock. False also when the
    // runtime folder or the lock file in it cannot be trusted (another user's, a planted
    // symbolic link): problem() then says why, and nobody is to be asked either.
    bool acquire();
    const std::string& problem() const { return problem_; }
    // Starts answering requests (after acquire succeeded); false when the socket
    // cannot be made.
    bool listen(RequestHandler handler);

    // Sends one request to the running instance and waits up to timeoutMs for the
    // reply; retries the connection meanwhile, as the first instance may hold the
    // lock but not listen yet. False when nobody answered, or when the socket found is
    // not this user's (then nothing is sent to it).
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
    std::string problem_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    std::unique_ptr<QSocketNotifier> listener_;
    std::unique_ptr<QTimer> restTimer_;
    std::unique_ptr<QObject> clients_; // parent of the connections being served
    RequestHandler handler_;
};

} // namespace platform
