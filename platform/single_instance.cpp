#include "platform/single_instance.h"

#include "platform/paths.h"
#include "platform/tick.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr qint64 MAX_REQUEST_LINE = 256;
// How long the listener rests when it cannot take a client.
constexpr int ACCEPT_REST_MS = 250;

bool unixAddress(const std::string& path, sockaddr_un* address) {
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A listening socket at path that only this user may connect to: it is bound in a
// private folder and moved into place, so it is never reachable with wider rights.
// Whatever was at path before is replaced. -1 when it cannot be made.
int listenUserOnly(const std::string& path) {
    std::string folder = path + ".XXXXXX";
    if (!::mkdtemp(folder.data()))
        return -1;
    std::string bound = folder + "/s";
    sockaddr_un address;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool made = fd >= 0 && unixAddress(bound, &address) &&
                ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::chmod(bound.c_str(), S_IRWXU) == 0 && ::listen(fd, SOMAXCONN) == 0 &&
                ::rename(bound.c_str(), path.c_str()) == 0;
    ::unlink(bound.c_str());
    ::rmdir(folder.c_str());
    if (!made && fd >= 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Only a socket of this user is talked to: the request must not reach whoever planted
// one in its place.
bool ownSocket(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) != 0 ||
           (S_ISSOCK(status.st_mode) && status.st_uid == ::geteuid());
}

} // namespace

SingleInstance::SingleInstance(std::string name) : name_(std::move(name)) {}

SingleInstance::~SingleInstance() {
    stopListening();
    // The lock goes with the descriptor; the file stays so that no second start
    // can lock a fresh file while another still holds the old one.
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

std::string SingleInstance::lockPath() const {
    return runtimeFolder() + "/" + name_ + ".lock";
}

std::string SingleInstance::socketPath() const {
    return runtimeFolder() + "/" + name_ + ".socket";
}

bool SingleInstance::acquire() {
    if (lockFd_ >= 0)
        return true;
    problem_.clear();
    PrivateFolder folder = checkedRuntimeFolder();
    if (!folder.usable()) {
        problem_ = folder.problem;
        return false;
    }
    std::string path = lockPath();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        problem_ =
            errno == ELOOP
                ? "The lock file " + path + " is a symbolic link; it is not followed."
                : "The lock file " + path + " cannot be opened: " + std::strerror(errno) + ".";
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid() || !S_ISREG(status.st_mode)) {
        problem_ = foreignEntryProblem(path, "the lock file");
        if (problem_.empty())
            problem_ = "The lock file " + path + " is not a plain file.";
        ::close(fd);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lockFd_ = fd;
    return true;
}

// A socket left by a manager that crashed is replaced: holding the lock proves that
// no live instance listens on it.
bool SingleInstance::listen(RequestHandler handler) {
    if (lockFd_ < 0)
        return false;
    stopListening();
    handler_ = std::move(handler);
    listenFd_ = listenUserOnly(socketPath());
    if (listenFd_ < 0)
        return false;
    clients_ = std::make_unique<QObject>();
    listener_ = std::make_unique<QSocketNotifier>(QSocketNotifier::Read);
    QObject::connect(listener_.get(), &QSocketNotifier::activated, listener_.get(),
                     [this] { acceptClient(); });
    restTimer_ = std::make_unique<QTimer>();
    restTimer_->setSingleShot(true);
    restTimer_->setInterval(ACCEPT_REST_MS);
    QObject::connect(restTimer_.get(), &QTimer::timeout, listener_.get(),
                     [this] { listener_->setEnabled(true); });
    listener_->setSocket(listenFd_);
    listener_->setEnabled(true);
    return true;
}

// The socket file goes with the listener, before the lock does.
void SingleInstance::stopListening() {
    restTimer_.reset();
    listener_.reset();
    clients_.reset();
    if (listenFd_ < 0)
        return;
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(socketPath().c_str());
}

// Takes one waiting client; the listener fires again while more wait. Out of
// descriptors (or memory) accept fails for as long as that lasts, and the listener
// would fire again at once: it rests instead.
void SingleInstance::acceptClient() {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
        serve(fd);
        return;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
        rest();
}

// The waiting clients stay in the backlog; the listener looks again when it wakes.
void SingleInstance::rest() {
    listener_->setEnabled(false);
    restTimer_->start();
}

void SingleInstance::serve(int fd) {
    auto* client = new QLocalSocket(clients_.get());
    if (!client->setSocketDescriptor(fd)) {
        delete client;
        ::close(fd);
        return;
    }
    QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] { answer(client); });
    deleteWhenGone(client);
    answer(client);
}

// Waits for a whole line; a client that sends an endless line is cut off. One
// request per connection: once its line is taken, the connection belongs to this
// answer alone. The handler may pump events (the 16-bit open waits with the UI
// alive), and the client may leave meanwhile; it is then kept until the handler
// returns, and gets no answer.
void SingleInstance::answer(QLocalSocket* client) {
    if (!client->canReadLine()) {
        if (client->bytesAvailable() > MAX_REQUEST_LINE)
            client->abort();
        return;
    }
    QObject::disconnect(client, &QLocalSocket::readyRead, nullptr, nullptr);
    QObject::disconnect(client, &QLocalSocket::disconnected, nullptr, nullptr);
    std::string line = client->readLine(MAX_REQUEST_LINE).trimmed().toStdString();
    std::string reply = handler_ ? handler_(line) : "error";
    if (client->state() != QLocalSocket::ConnectedState) {
        client->deleteLater();
        return;
    }
    deleteWhenGone(client);
    client->write(QByteArray::fromStdString(reply + "\n"));
    client->disconnectFromServer();
}

void SingleInstance::deleteWhenGone(QLocalSocket* client) {
    QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
}

bool SingleInstance::request(const std::string& line, std::string* reply, int timeoutMs) const {
    QElapsedTimer elapsed;
    elapsed.start();
    QLocalSocket socket;
    QString path = QString::fromStdString(socketPath());
    for (;;) {
        if (!ownSocket(socketPath()))
            return false;
        socket.connectToServer(path);
        if (socket.waitForConnected(200))
            break;
        if (elapsed.elapsed() >= timeoutMs)
            return false;
        sleepMs(100);
    }
    socket.write(QByteArray::fromStdString(line + "\n"));
    socket.waitForBytesWritten(timeoutMs);
    while (!socket.canReadLine() && elapsed.elapsed() < timeoutMs)
        if (!socket.waitForReadyRead(int(std::max<qint64>(1, timeoutMs - elapsed.elapsed()))))
            break;
    if (!socket.canReadLine())
        return false;
    if (reply)
        *reply = socket.readLine().trimmed().toStdString();
    return true;
}

} // namespace platform
