#include "platform/async_socket.h"

#include "platform/name_lookup.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace platform {

namespace {

struct ErrorPair {
    int posix;
    int winsock;
};

constexpr ErrorPair errorTable[] = {
    {EINTR, 10004},        {EBADF, 10038},         {EACCES, 10013},       {EINVAL, 10022},
    {EMFILE, 10024},       {EAGAIN, 10035},        {EWOULDBLOCK, 10035},  {EINPROGRESS, 10035},
    {EALREADY, 10037},     {ENOTSOCK, 10038},      {EMSGSIZE, 10040},     {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},
    {ECONNABORTED, 10053}, {ECONNRESET, 10054},    {ENOBUFS, 10055},      {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},      {EPIPE, 10058},        {ESHUTDOWN, 10058},
    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},  {EHOSTUNREACH, 10065},
};

// A refusal is reported through FD_CONNECT, never from connect() itself, as on
// Windows: the open procedure tells it from other failures only on that path. A
// network or host the system already knows to be unreachable fails at once, so the
// open reports "IP Not Found" without waiting out its connect time.
bool failsAsynchronously(int posixError) {
    return posixError == ECONNREFUSED || posixError == ETIMEDOUT;
}

// An IPv4 address in dotted form, or an IPv6 one (without brackets): true, and address
// filled with port (network order).
bool literalAddress(const char* text, in_port_t port, sockaddr_storage* address) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(address);
    if (inet_aton(text, &v4->sin_addr) != 0) {
        v4->sin_family = AF_INET;
        v4->sin_port = port;
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = port;
        return true;
    }
    return false;
}

// errno as a Windows Sockets code (table in the header).
int winsockError(int posixError) {
    for (const ErrorPair& pair : errorTable)
        if (pair.posix == posixError)
            return pair.winsock;
    return 10107;
}

} // namespace

// Lives on the UI thread and runs the socket's posted steps there. Its wake-up event
// carries nothing of the caller's: Qt's cross-thread event queue is invisible to the
// thread checker, so the steps themselves travel in postedSteps under stepsMutex.
class AsyncSocket::StepWakeup : public QObject {
  public:
    explicit StepWakeup(AsyncSocket& socket) : socket_(socket) {}

  protected:
    void customEvent(QEvent*) override { socket_.runPostedSteps(); }

  private:
    AsyncSocket& socket_;
};

AsyncSocket::AsyncSocket() = default;

AsyncSocket::~AsyncSocket() {
    Close();
}

bool AsyncSocket::isOpen() const {
    std::lock_guard lock(fdMutex);
    return fd >= 0;
}

int AsyncSocket::millisecondsSincePeerAck() const {
    std::lock_guard lock(fdMutex);
    tcp_info info{};
    socklen_t length = sizeof info;
    if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return -1;
    return int(info.tcpi_last_ack_recv);
}

bool AsyncSocket::enableKeepAlive(int idleSeconds, int intervalSeconds, int count) {
    std::lock_guard lock(fdMutex);
    int on = 1;
    unsigned userTimeoutMs = unsigned(idleSeconds + intervalSeconds * count) * 1000;
    return fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) ==
               0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 &&
           // Probes stop while sent bytes wait for their acknowledgement: a peer that
           // died under traffic fails the connection in the same time.
           ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) ==
               0;
}

bool AsyncSocket::peerHasClosed() const {
    std::lock_guard lock(fdMutex);
    pollfd probe{fd, POLLRDHUP, 0};
    return fd >= 0 && ::poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP));
}

bool AsyncSocket::Create(long eventMask) {
    std::lock_guard lock(fdMutex);
    if (fd >= 0) {
        setLastError(10022);
        return false;
    }
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setLastError(winsockError(errno));
        return false;
    }
    // Every send is a whole frame (or several), so nothing is gained by holding a small
    // one back until the peer acknowledges the last: with the peer's delayed
    // acknowledgement that cost about 40 ms after every OPEN and every echo.
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    mask.store(eventMask);
    phase = Phase::Created;
    closeReported = false;
    lookBeforeRead = true;
    pendingConnectError = 0;
    makeNotifiers();
    return true;
}

// The notifiers live as long as the object and follow the descriptor with
// setSocket, so that a Close inside a notification never deletes the notifier
// that is emitting.
void AsyncSocket::makeNotifiers() {
    if (!readNotifier) {
        readNotifier = std::make_unique<QSocketNotifier>(QSocketNotifier::Read);
        writeNotifier = std::make_unique<QSocketNotifier>(QSocketNotifier::Write);
        QObject::connect(readNotifier.get(), &QSocketNotifier::activated, [this] { readReady(); });
        QObject::connect(writeNotifier.get(), &QSocketNotifier::activated,
                         [this] { writeReady(); });
    }
    readNotifier->setSocket(fd);
    writeNotifier->setSocket(fd);
    if (!stepWakeup)
        stepWakeup = std::make_unique<StepWakeup>(*this);
}

bool AsyncSocket::Connect(const char* hostText, unsigned port) {
    if (phase != Phase::Created) {
        setLastError(phase == Phase::None ? WSAENOTSOCK : 10056);
        return false;
    }
    if (!hostText) {
        setLastError(WSAHOST_NOT_FOUND);
        return false;
    }
    sockaddr_storage address{};
    in_port_t networkPort = htons(static_cast<uint16_t>(port));
    if (!literalAddress(hostText, networkPort, &address)) {
        // A name: resolved on a resolver thread, and connected to when the answer is
        // back on this thread. The caller's connect wait covers both.
        phase = Phase::Connecting;
        lookupPort = networkPort;
        lookup =
            NameLookup::start(hostText, [this] { postToUiThread(&AsyncSocket::lookupFinished); });
        setLastError(WSAEWOULDBLOCK);
        return false;
    }
    int error = startConnect(address);
    if (error != 0 && error != WSAEWOULDBLOCK) {
        setLastError(error);
        return false;
    }
    if (error == 0)
        return true;
    setLastError(WSAEWOULDBLOCK);
    return false;
}

// 0 when connected at once, WSAEWOULDBLOCK while in progress, or the code of an
// immediate failure. OnConnect follows the first two; a refusal or time-out known at
// once is posted to come through it as well.
int AsyncSocket::startConnect(const sockaddr_storage& address) {
    if (!useFamily(address.ss_family))
        return winsockError(errno);
    socklen_t length = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    int error = result == 0 ? 0 : errno;
    if (result != 0 && error != EINPROGRESS && !failsAsynchronously(error))
        return winsockError(error);
    phase = Phase::Connecting;
    if (failsAsynchronously(error)) {
        pendingConnectError = winsockError(error);
        postToUiThread(&AsyncSocket::deliverPendingConnectError);
    } else {
        // Also when connected at once: OnConnect still comes, as on Windows.
        armWrite();
    }
    return result == 0 ? 0 : WSAEWOULDBLOCK;
}

// A socket is made for IPv4, the kind of nearly every device server's address; an IPv6
// one gets a socket of its family under the same descriptor number (the notifiers
// watch that number), with the same options.
bool AsyncSocket::useFamily(int family) {
    std::lock_guard lock(fdMutex);
    int domain = AF_INET;
    socklen_t size = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0)
        return false;
    if (domain == family)
        return true;
    int other = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (other < 0)
        return false;
    int on = 1;
    ::setsockopt(other, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    bool moved = ::dup3(other, fd, O_CLOEXEC) == fd;
    int error = errno;
    ::close(other);
    errno = error;
    return moved;
}

// UI thread, posted by the lookup once it has its answer; a step left from a lookup
// that Close took back finds none finished.
void AsyncSocket::lookupFinished() {
    if (!lookup || !lookup->finished() || phase != Phase::Connecting)
        return;
    sockaddr_storage address{};
    bool found = lookup->found(&address, lookupPort);
    lookup.reset();
    if (!found) {
        reportConnect(WSAHOST_NOT_FOUND);
        return;
    }
    int error = startConnect(address);
    if (error != 0 && error != WSAEWOULDBLOCK)
        reportConnect(error);
}

int AsyncSocket::Receive(void* buffer, int size, int flags) {
    if (phase == Phase::None || fd < 0) {
        setLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    int systemFlags = MSG_DONTWAIT | ((flags & MSG_PEEK) ? ::MSG_PEEK : 0);
    ssize_t count = ::recv(fd, buffer, size > 0 ? size : 0, systemFlags);
    int error = count < 0 ? errno : 0;
    lookBeforeRead = count == 0 || (count < 0 && error != EAGAIN && error != EWOULDBLOCK);
    readSinceNotified = true;
    armRead();
    if (count < 0) {
        setLastError(winsockError(error));
        return SOCKET_ERROR;
    }
    return static_cast<int>(count);
}

int AsyncSocket::Peek(void* buffer, int size) {
    if (phase == Phase::None || fd < 0) {
        setLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    ssize_t count = ::recv(fd, buffer, size > 0 ? size : 0, ::MSG_PEEK | MSG_DONTWAIT);
    if (count < 0) {
        setLastError(winsockError(errno));
        return SOCKET_ERROR;
    }
    return static_cast<int>(count);
}

int AsyncSocket::Send(const void* buffer, int size, int /*flags*/, int* errorCode) {
    std::lock_guard lock(fdMutex);
    if (fd < 0) {
        setLastError(WSAENOTSOCK);
        if (errorCode)
            *errorCode = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    ssize_t count = ::send(fd, buffer, size > 0 ? size : 0, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count >= 0)
        return static_cast<int>(count);
    int error = errno;
    setLastError(winsockError(error));
    if (errorCode)
        *errorCode = winsockError(error);
    if (error == EAGAIN || error == EWOULDBLOCK)
        postToUiThread(&AsyncSocket::armWrite);
    return SOCKET_ERROR;
}

bool AsyncSocket::ShutDown(int how) {
    std::lock_guard lock(fdMutex);
    if (fd < 0) {
        setLastError(WSAENOTSOCK);
        return false;
    }
    int systemHow = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(fd, systemHow) != 0) {
        setLastError(winsockError(errno));
        return false;
    }
    return true;
}

int AsyncSocket::UnsentBytes() {
    std::lock_guard lock(fdMutex);
    int unsent = 0;
    return fd >= 0 && ::ioctl(fd, SIOCOUTQ, &unsent) == 0 ? unsent : 0;
}

// Qt wants a notifier off before its descriptor goes away, or the dispatcher
// would poll a number the kernel may already have given to someone else.
void AsyncSocket::Close() {
    // The lookup's answer must not reach this object any more, nor a later connect.
    if (lookup) {
        lookup->cancel();
        lookup.reset();
    }
    if (readNotifier) {
        readNotifier->setEnabled(false);
        writeNotifier->setEnabled(false);
    }
    std::lock_guard lock(fdMutex);
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    phase = Phase::None;
}

bool AsyncSocket::AsyncSelect(long eventMask) {
    if (phase == Phase::None) {
        setLastError(WSAENOTSOCK);
        return false;
    }
    mask.store(eventMask);
    return true;
}

// Called from any thread; a wake-up dies with the object it is aimed at, and fdMutex
// keeps that alive while a sender posts.
void AsyncSocket::postToUiThread(void (AsyncSocket::*step)()) {
    if (!stepWakeup)
        return;
    {
        std::lock_guard lock(stepsMutex);
        postedSteps.push_back(step);
    }
    QCoreApplication::postEvent(stepWakeup.get(), new QEvent(QEvent::User));
}

void AsyncSocket::runPostedSteps() {
    std::vector<void (AsyncSocket::*)()> steps;
    {
        std::lock_guard lock(stepsMutex);
        steps.swap(postedSteps);
    }
    for (auto step : steps)
        (this->*step)();
}

void AsyncSocket::armRead() {
    if (readNotifier && !closeReported && phase == Phase::Connected)
        readNotifier->setEnabled(true);
}

void AsyncSocket::armWrite() {
    if (writeNotifier && (phase == Phase::Connecting || phase == Phase::Connected))
        writeNotifier->setEnabled(true);
}

void AsyncSocket::readReady() {
    // Under traffic the look would be a second system call for every read. The notifier
    // stays on while the handler reads (each switch wakes the event loop once more); a
    // handler that does not read silences it until it does, as FD_READ is on Windows.
    if (!lookBeforeRead && (mask.load() & FD_READ)) {
        readSinceNotified = false;
        OnReceive(0); // never destroys the socket (see the header)
        if (!readSinceNotified && readNotifier)
            readNotifier->setEnabled(false);
        return;
    }
    readNotifier->setEnabled(false);
    char probe;
    ssize_t count = ::recv(fd, &probe, 1, ::MSG_PEEK | MSG_DONTWAIT);
    int error = count < 0 ? errno : 0;
    if (count > 0) {
        if (mask.load() & FD_READ)
            OnReceive(0);
        return;
    }
    if (count < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
        readNotifier->setEnabled(true);
        return;
    }
    closeReported = true;
    if (mask.load() & FD_CLOSE)
        OnClose(count == 0 ? 0 : winsockError(error));
}

void AsyncSocket::writeReady() {
    writeNotifier->setEnabled(false);
    if (phase == Phase::Connecting) {
        finishConnect();
        return;
    }
    if (phase == Phase::Connected && (mask.load() & FD_WRITE))
        OnSend(0);
}

void AsyncSocket::finishConnect() {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0) {
        reportConnect(winsockError(error));
        return;
    }
    phase = Phase::Connected;
    armRead();
    reportConnect(0);
    // The handler may have closed the socket already.
    if (phase == Phase::Connected && (mask.load() & FD_WRITE))
        OnSend(0);
}

void AsyncSocket::deliverPendingConnectError() {
    if (phase == Phase::Connecting && pendingConnectError != 0)
        reportConnect(std::exchange(pendingConnectError, 0));
}

void AsyncSocket::reportConnect(int errorCode) {
    if (errorCode != 0)
        phase = Phase::Finished;
    if (mask.load() & FD_CONNECT)
        OnConnect(errorCode);
}

void AsyncSocket::OnConnect(int) {}
void AsyncSocket::OnReceive(int) {}
void AsyncSocket::OnSend(int) {}
void AsyncSocket::OnClose(int) {}

} // namespace platform
