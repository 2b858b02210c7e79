#include "platform/single_instance.h"

#include "platform/paths.h"
#include "platform/tick.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr qint64 MAX_REQUEST_LINE = 256;
}

SingleInstance::SingleInstance(std::string name) : name_(std::move(name)) {}

SingleInstance::~SingleInstance() {
    if (server_)
        server_->close();
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
    int fd = ::open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lockFd_ = fd;
    return true;
}

// A socket left by a manager that crashed is removed: holding the lock proves that
// no live instance listens on it.
bool SingleInstance::listen(RequestHandler handler) {
    if (lockFd_ < 0)
        return false;
    handler_ = std::move(handler);
    QString path = QString::fromStdString(socketPath());
    QLocalServer::removeServer(path);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path))
        return false;
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* client = server_->nextPendingConnection()) {
            QObject::connect(client, &QLocalSocket::readyRead, client,
                             [this, client] { answer(client); });
            deleteWhenGone(client);
            answer(client);
        }
    });
    return true;
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
