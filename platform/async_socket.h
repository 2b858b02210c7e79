#pragma once
// AsyncSocket: a non-blocking IPv4 TCP client in the manner of CAsyncSocket.
// Notifications (OnConnect, OnReceive, OnSend, OnClose) arrive on the UI thread,
// between other events, through Qt socket notifiers; a subclass (DeviceSocket)
// overrides them. Whoever creates the object owns it and destroys it on the UI
// thread, never from inside one of its own notifications. The owner also makes
// sure no other thread is still inside Send when the object is destroyed.
//
// Threads: Create, Connect, Receive, AsyncSelect, Close and destruction belong to
// the UI thread (the thread that runs Qt's event loop). Send, ShutDown and
// GetLastError may be called from any thread at the same time: the descriptor is
// closed only under a small lock that Send and ShutDown also hold, so a Send racing
// with Close either goes out on the old connection or returns SOCKET_ERROR, and
// never touches a descriptor number the kernel has handed out again.
//
// Like the original, a read notification is not repeated until Receive has been
// called (consuming or peeking); a handler that leaves bytes pending gets no
// further OnReceive until someone reads. Under traffic a notification goes straight to
// OnReceive; only after a read that found the end of the stream or an error (and at
// first) does a look (MSG_PEEK) come first, to tell OnReceive from OnClose.
// OnSend comes once after the connect and
// again only after a Send failed with WSAEWOULDBLOCK and the kernel has room again.
// FD_OOB and FD_ACCEPT are accepted in masks and never delivered (client only).
//
// Error codes are Windows Sockets numbers (GetLastError). errno is mapped:
//   EINTR 10004, EBADF/closed socket 10038 (WSAENOTSOCK), EACCES 10013,
//   EINVAL 10022, EMFILE 10024, EAGAIN/EWOULDBLOCK/EINPROGRESS 10035,
//   EALREADY 10037, EMSGSIZE 10040, EAFNOSUPPORT 10047, EADDRINUSE 10048,
//   EADDRNOTAVAIL 10049, ENETDOWN 10050, ENETUNREACH 10051, ECONNABORTED 10053,
//   ECONNRESET 10054, ENOBUFS/ENOMEM 10055, EISCONN 10056, ENOTCONN 10057,
//   EPIPE/ESHUTDOWN 10058, ETIMEDOUT 10060, ECONNREFUSED 10061,
//   EHOSTUNREACH 10065; a host name that does not resolve 11001
//   (WSAHOST_NOT_FOUND); anything else 10107 (WSASYSCALLFAILURE).
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include <netinet/in.h>

class QSocketNotifier;

namespace platform {

class NameLookup;

class AsyncSocket {
  public:
    enum : long {
        FD_READ = 1,
        FD_WRITE = 2,
        FD_OOB = 4,
        FD_ACCEPT = 8,
        FD_CONNECT = 16,
        FD_CLOSE = 32,
        FD_ALL_EVENTS = 63,
    };
    enum : int { SOCKET_ERROR = -1, MSG_PEEK = 2, SD_SEND = 1, SD_BOTH = 2 };
    enum : int {
        WSAEWOULDBLOCK = 10035,
        WSAENOTSOCK = 10038,
        WSAECONNRESET = 10054,
        WSAECONNREFUSED = 10061,
        WSAHOST_NOT_FOUND = 11001,
    };

    AsyncSocket();
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;
    // Closes the descriptor if it is still open.
    virtual ~AsyncSocket();

    // A new stream socket with the given notification mask, sending without delay
    // (TCP_NODELAY); false if one is open already or the system refused.
    bool Create(long eventMask = FD_ALL_EVENTS);
    // Dotted text (as inet_addr reads it) is used directly. Anything else is a name,
    // resolved on a resolver thread (platform/name_lookup.h) while this one goes on;
    // the first IPv4 address is dialled once the answer is back, and a name that does
    // not resolve comes as OnConnect(WSAHOST_NOT_FOUND). True when connected at once;
    // false with WSAEWOULDBLOCK while the lookup or the connect is in progress
    // (OnConnect follows), false with another code on immediate failure (no
    // OnConnect). Close and destruction take a running lookup back: its answer is
    // dropped.
    bool Connect(const char* hostText, unsigned port);
    // Byte count, 0 when the peer has closed, or SOCKET_ERROR (nothing pending:
    // WSAEWOULDBLOCK). flags: 0 consumes, MSG_PEEK looks without consuming.
    int Receive(void* buffer, int size, int flags = 0);
    // Receive with MSG_PEEK, except that it asks for no further read notification: a
    // loop that looks again and again until bytes are complete does not wake itself
    // with the bytes it has already seen. The next consuming Receive asks again.
    int Peek(void* buffer, int size);
    // Bytes the kernel accepted, or SOCKET_ERROR. Never raises SIGPIPE. A sender on
    // another thread passes errorCode: GetLastError() may meanwhile be overwritten by
    // the UI thread's own calls on the socket.
    int Send(const void* buffer, int size, int flags = 0, int* errorCode = nullptr);
    bool ShutDown(int how = SD_BOTH);
    // Bytes the kernel took that the peer has not acknowledged yet (0 on a closed
    // socket). Any thread.
    int UnsentBytes();
    // TCP's own keep-alive: after idleSeconds without traffic, a probe every
    // intervalSeconds; count unanswered probes fail the connection (OnClose). For a peer
    // that may rightly say nothing for long; one that takes nothing sent to it for as long
    // fails it too (TCP_USER_TIMEOUT). Any thread.
    bool enableKeepAlive(int idleSeconds, int intervalSeconds, int count);
    void Close();
    bool AsyncSelect(long eventMask);

    int GetLastError() const { return lastError.load(std::memory_order_relaxed); }
    bool isOpen() const;
    // How long ago the peer's system last acknowledged anything on the connection
    // (TCP's own record), -1 when not known. A peer that receives nothing from us
    // acknowledges nothing either. Any thread.
    int millisecondsSincePeerAck() const;
    // Whether the peer has closed its side: what is sent now is lost. Any thread.
    bool peerHasClosed() const;

  protected:
    virtual void OnConnect(int errorCode);
    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);
    virtual void OnClose(int errorCode);

  private:
    enum class Phase { None, Created, Connecting, Connected, Finished };

    void setLastError(int code) { lastError.store(code, std::memory_order_relaxed); }
    void makeNotifiers();
    void armRead();
    void armWrite();
    void readReady();
    void writeReady();
    int startConnect(const sockaddr_storage& address);
    bool useFamily(int family);
    void lookupFinished();
    void finishConnect();
    void reportConnect(int errorCode);
    void postToUiThread(void (AsyncSocket::*step)());
    void runPostedSteps();
    void deliverPendingConnectError();

    class StepWakeup;

    mutable std::mutex fdMutex; // guards fd against Close while another thread sends
    int fd = -1;
    std::atomic<int> lastError{0};
    std::atomic<long> mask{0};
    Phase phase = Phase::None;  // UI thread only
    bool closeReported = false; // UI thread only
    // The last read found the end of the stream or an error: the next notification
    // looks (MSG_PEEK) before it says FD_READ, so that the close is reported. Otherwise
    // FD_READ goes out at once and the handler's own read finds out. UI thread only.
    bool lookBeforeRead = true;
    bool readSinceNotified = false;     // UI thread only
    int pendingConnectError = 0;        // UI thread only
    std::shared_ptr<NameLookup> lookup; // a name being resolved; UI thread only
    in_port_t lookupPort = 0;           // network order; UI thread only
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
    // Steps asked for the UI thread by any thread, and what wakes it for them.
    std::mutex stepsMutex;
    std::vector<void (AsyncSocket::*)()> postedSteps; // guarded by stepsMutex
    std::unique_ptr<StepWakeup> stepWakeup;
};

} // namespace platform
