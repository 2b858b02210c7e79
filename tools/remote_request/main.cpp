// travenor-remote: sends one remote-control request to a running manager (use this
// device server for this COM port) and prints the manager's answer digit with its
// meaning. Exit 0 when the port was started or switched ('1'), 1 for any other answer,
// 2 when no answer came or the arguments are bad.
#include "platform/tcp_connection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int DEFAULT_PORT = 5001;
// The server reads many clients side by side and answers them one after another.
constexpr int CONNECT_MS = 10000;
// A switch may take a 3 s connect and a 10 s identification.
constexpr int ANSWER_MS = 30000;
constexpr size_t MAX_HOST_CHARS = 19;

const char* const USAGE =
    "usage: travenor-remote [--server ADDRESS[:PORT]] COMNUMBER DEVICEPORT HOST\n"
    "  COMNUMBER 1..99, DEVICEPORT 1..32, HOST a device server's address (at most 19\n"
    "  characters). The manager is at 127.0.0.1 unless --server names it; its port is\n"
    "  $QUORVALINK_REMOTE_PORT, else 5001.";

struct Answer {
    char digit;
    const char* meaning;
};
constexpr Answer ANSWERS[] = {
    {'1', "the port was started or switched to the device server"},
    {'2', "the device server was not reachable"},
    {'3', "the device port or address is not usable, or the device refused"},
    {'4', "no port with that COM number is configured"},
    {'5', "the manager is busy with another operation; nothing was changed"},
    {'6', "internal error in the manager"},
};

int fail(const std::string& text) {
    std::fprintf(stderr, "travenor-remote: %s\n", text.c_str());
    return 2;
}

bool parseNumber(const char* text, long low, long high, long* value) {
    char* end = nullptr;
    *value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && *value >= low && *value <= high;
}

bool hostUsable(const std::string& host) {
    if (host.empty() || host.size() > MAX_HOST_CHARS)
        return false;
    for (unsigned char c : host)
        if (c < 0x21 || c > 0x7E)
            return false;
    return true;
}

int defaultPort() {
    long port = 0;
    const char* text = std::getenv("QUORVALINK_REMOTE_PORT");
    return text && parseNumber(text, 1, 65535, &port) ? int(port) : DEFAULT_PORT;
}

struct Server {
    std::string address = "127.0.0.1";
    int port = defaultPort();
};

bool parseServer(const std::string& text, Server* server) {
    size_t colon = text.rfind(':');
    server->address = text.substr(0, colon);
    long port = 0;
    if (colon != std::string::npos && !parseNumber(text.substr(colon + 1).c_str(), 1, 65535, &port))
        return false;
    if (colon != std::string::npos)
        server->port = int(port);
    return !server->address.empty();
}

// The answer byte, or 0 when the manager closed or kept silent.
char ask(const Server& server, const std::vector<uint8_t>& request, std::string* error) {
    platform::TcpConnection connection =
        platform::connectTcp(server.address, server.port, CONNECT_MS, error);
    if (!connection.valid())
        return 0;
    if (!connection.sendAll(request.data(), int(request.size()))) {
        *error = "the request could not be sent";
        return 0;
    }
    char digit = 0;
    if (connection.waitReadable(ANSWER_MS) != platform::WaitResult::Ready ||
        connection.receive(&digit, 1) != 1) {
        *error = "the manager gave no answer";
        return 0;
    }
    return digit;
}

int report(char digit) {
    for (const Answer& answer : ANSWERS)
        if (answer.digit == digit) {
            std::printf("%c %s\n", digit, answer.meaning);
            return digit == '1' ? 0 : 1;
        }
    char text[48];
    std::snprintf(text, sizeof text, "unexpected answer byte 0x%02X", unsigned(uint8_t(digit)));
    return fail(text);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    Server server;
    if (args.size() >= 2 && args[0] == "--server") {
        if (!parseServer(args[1], &server))
            return fail("--server needs ADDRESS or ADDRESS:PORT (PORT 1..65535)");
        args.erase(args.begin(), args.begin() + 2);
    }
    long comNumber = 0;
    long devicePort = 0;
    if (args.size() != 3)
        return fail(USAGE);
    if (!parseNumber(args[0].c_str(), 1, 99, &comNumber))
        return fail("COMNUMBER must be 1..99");
    if (!parseNumber(args[1].c_str(), 1, 32, &devicePort))
        return fail("DEVICEPORT must be 1..32");
    if (!hostUsable(args[2]))
        return fail("HOST must be 1..19 printable characters without spaces");

    std::vector<uint8_t> request{uint8_t(comNumber), uint8_t(devicePort)};
    request.insert(request.end(), args[2].begin(), args[2].end());
    request.push_back(0);
    std::string error;
    char digit = ask(server, request, &error);
    if (digit == 0)
        return fail("no answer from " + server.address + ":" + std::to_string(server.port) + ": " +
                    error);
    return report(digit);
}
