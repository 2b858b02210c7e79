// Any bytes as a remote-control request, sent by a client over loopback TCP to the
// real server (its own thread) of a whole manager whose COM1, COM7 and COM99 are
// Stopped or Ready. Checks:
// - the answer is one digit, the one the request's bytes call for: '3' for a device
//   port outside 1..32 or an address that is empty, longer than 19 characters or not
//   printable ASCII; '4' for a COM number no port has; '1' otherwise (the port is
//   started); never '5' (nothing else runs) or '6';
// - a refused request changes no port; an accepted one makes the request's address
//   and device port the named port's current host, leaves it Ready, and changes no
//   other port;
// - no message box is shown.
//
// Input: the request's bytes as the client sends them (at most 256 are one request).
#include "fuzz/manager_fuzz_harness.h"
#include "platform/ui_thread.h"
#include "remote/remote_control_server.h"
#include "remote/remote_request.h"
#include "tests/remote/remote_client.h"
#include "tests/support/loopback_address.h"

#include "config/port_table.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace fuzz;

namespace {

std::string serverAddress;
int serverPort = 0;
std::unique_ptr<RemoteControlServer> server;

void stopServer() {
    platform::releaseWaitingSenders();
    server.reset();
}

void setUp() {
    setUpManager(false);
    // An address and a port of its own: a manager the user runs may hold 5001 everywhere.
    serverAddress = allocateLoopbackAddress();
    serverPort = unusedTcpPort();
    server = std::make_unique<RemoteControlServer>(RemoteControlSetting{true, serverAddress, true},
                                                   serverPort);
    beforeManagerEnds(stopServer);
    server->start();
    // The server's thread may be slow to start on a busy machine: up to 10 s.
    for (int turn = 0; turn < 10000 && !server->listening(); ++turn) {
        if (!platform::pumpOneMessage())
            usleep(1000);
    }
    check(server->listening(), "the remote-control server does not listen");
}

struct Expected {
    char reply;
    int portIndex = -1; // in FUZZ_PORTS, for '1'
    std::string address;
    int devicePort = 0;
};

// The request's meaning, read from the bytes as the protocol describes them.
Expected expectedFor(const Bytes& bytes) {
    size_t size = std::min(bytes.size(), REMOTE_REQUEST_BYTES);
    int comNumber = int8_t(bytes[0]);
    int devicePort = size > 1 ? int8_t(bytes[1]) : 0;
    std::string address;
    for (size_t i = 2; i < size && bytes[i] != 0; ++i)
        address.push_back(char(bytes[i]));
    bool printable = !address.empty() && address.size() <= 19;
    for (unsigned char c : address)
        printable = printable && c > ' ' && c < 0x7F;
    if (devicePort < 1 || devicePort > 32 || !printable)
        return {'3', -1, {}, 0};
    std::string name = "COM" + std::to_string(comNumber);
    for (size_t i = 0; i < FUZZ_PORTS.size(); ++i)
        if (name == FUZZ_PORTS[i].name)
            return {'1', int(i), address, devicePort};
    return {'4', -1, {}, 0};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0; // a client that sends nothing is given up after 10 s, unanswered
    Bytes request(data, data + size);
    Expected expected = expectedFor(request);
    std::vector<PortPicture> before = portPictures();
    std::string reply;
    {
        RemoteClient client(serverAddress, serverPort);
        check(client.connected(), "the client could not connect");
        client.send(request);
        reply = client.nextByte(20000);
    }
    if (reply != std::string(1, expected.reply))
        fail("answer '" + reply + "', expected '" + expected.reply + "' for " + hex(request));
    std::vector<PortPicture> after = portPictures();
    std::vector<PortPicture> wanted = before;
    if (expected.reply == '1') {
        PortPicture& named = wanted[size_t(expected.portIndex)];
        named.state = PORT_READY;
        named.curAddress = expected.address;
        named.curTcpPort = expected.devicePort;
        named.reason = after[size_t(expected.portIndex)].reason;
    }
    for (size_t i = 0; i < after.size(); ++i)
        if (!(after[i] == wanted[i]))
            fail(std::string(FUZZ_PORTS[i].name) + " is " + describe(after[i]) + ", expected " +
                 describe(wanted[i]) + " after " + hex(request));
    return 0;
}
