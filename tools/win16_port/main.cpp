// travenor-win16: asks the running manager to open or close a port for a 16-bit
// application (WM_WIN16_PORT), through its single-instance socket, and prints the
// manager's answer. Exit 0 when it answered 1, 1 when it answered 0, 2 when no
// manager answered or the arguments are bad.
#include "platform/single_instance.h"
#include "platform/ui_thread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A manager that runs listens at once; nobody there after this long means none runs.
constexpr int CONNECT_MS = 1500;
// The open request runs the whole open procedure: up to 3 s connect, 10 s reply.
constexpr int ANSWER_MS = 20000;

int fail(const char* text) {
    std::fprintf(stderr, "travenor-win16: %s\n", text);
    return 2;
}

bool parseComNumber(const char* text, int* number) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 99)
        return false;
    *number = int(value);
    return true;
}

bool connectToManager(QLocalSocket& socket) {
    QString path = QString::fromStdString(platform::SingleInstance().socketPath());
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        socket.connectToServer(path);
        if (socket.waitForConnected(200))
            return true;
        if (elapsed.elapsed() >= CONNECT_MS)
            return false;
        QThread::msleep(100);
    }
}

// The manager's one-line reply, or "" when it gave none.
std::string ask(const std::string& request) {
    QLocalSocket socket;
    if (!connectToManager(socket))
        return "";
    socket.write(QByteArray::fromStdString(request + "\n"));
    socket.waitForBytesWritten(ANSWER_MS);
    QElapsedTimer elapsed;
    elapsed.start();
    while (!socket.canReadLine() && elapsed.elapsed() < ANSWER_MS)
        if (!socket.waitForReadyRead(int(ANSWER_MS - elapsed.elapsed())))
            break;
    if (!socket.canReadLine())
        return "";
    return socket.readLine().trimmed().toStdString();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int comNumber = 0;
    if (argc != 3 || !parseComNumber(argv[1], &comNumber))
        return fail("usage: travenor-win16 COMNUMBER open|close (COMNUMBER 1..99)");
    int open = 0;
    if (std::strcmp(argv[2], "open") == 0)
        open = 1;
    else if (std::strcmp(argv[2], "close") != 0)
        return fail("the second argument must be open or close");

    std::string request = "message " + std::to_string(platform::WM_WIN16_PORT) + " " +
                          std::to_string(comNumber) + " " + std::to_string(open);
    std::string reply = ask(request);
    if (reply.empty())
        return fail("no manager answered");
    if (reply != "0" && reply != "1")
        return fail(("the manager refused the request: " + reply).c_str());
    std::printf("%s\n", reply.c_str());
    return reply == "1" ? 0 : 1;
}
