// The manager's remote-control server from start-up to the end of the manager: the
// operator's setting, the set-up failures, and what is left when the manager ends.
#include "remote/remote_control_server.h"

#include "config/manager_context.h"
#include "platform/faults.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/ui_thread.h"
#include "tests/remote/remote_client.h"
#include "tests/support/loopback_address.h"
#include "tests/support/manager_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

using namespace platform;

namespace {

class RemoteServerLife : public ManagerTest {
  protected:
    RemoteServerLife() { setenv("QUORVALINK_REMOTE_PORT", std::to_string(tcpPort).c_str(), 1); }
    ~RemoteServerLife() override {
        releaseWaitingSenders();
        stopRemoteControlServer();
        unsetenv("QUORVALINK_REMOTE_PORT");
    }

    const int tcpPort = unusedTcpPort();

    void writeSetting(const std::string& text) {
        HKEY key = nullptr;
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, REMOTE_SETTING_KEY, &key);
        regSetString(key, REMOTE_SETTING_VALUE, text);
        RegCloseKey(key);
    }
    void writeSettingNumber(uint32_t value) {
        HKEY key = nullptr;
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, REMOTE_SETTING_KEY, &key);
        regSetDword(key, REMOTE_SETTING_VALUE, value);
        RegCloseKey(key);
    }
    // The main window's initialisation step; true once the server listens.
    bool startServer() {
        startRemoteControlServer();
        return manager.pumpUntil([] {
            const RemoteControlServer* server = managerRemoteControlServer();
            return server && (server->listening() || server->ended());
        }) && managerRemoteControlServer()->listening();
    }
};

// registry.db with its header overwritten while the object lives: the store cannot be
// opened ("file is not a database"). Put back whole at the end.
class DamagedStore {
  public:
    DamagedStore() : path_(std::string(std::getenv("QUORVALINK_HOME")) + "/registry.db") {
        resetRegistryStore(); // its log is folded into registry.db
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        file.read(saved_, sizeof saved_);
        file.seekp(0);
        file.write("not a store, damaged on purpose", sizeof saved_);
    }
    ~DamagedStore() {
        std::fstream(path_, std::ios::in | std::ios::out | std::ios::binary)
            .write(saved_, sizeof saved_);
        resetRegistryStore();
    }

  private:
    std::string path_;
    char saved_[32] = {};
};

bool listensAt(const std::string& address, int tcpPort) {
    std::string error;
    return connectTcp(address, tcpPort, 2000, &error).valid();
}

} // namespace

TEST_F(RemoteServerLife, SettingNamesTheOneAddressToListenOn) {
    writeSetting(" " + address() + " ");
    ASSERT_TRUE(startServer());
    EXPECT_TRUE(listensAt(address(), tcpPort));
    EXPECT_FALSE(listensAt(allocateLoopbackAddress(), tcpPort));
}

TEST_F(RemoteServerLife, SettingOffOrPortZeroMeansNoServer) {
    writeSetting("OFF");
    startRemoteControlServer();
    EXPECT_EQ(managerRemoteControlServer(), nullptr);

    writeSetting(address());
    setenv("QUORVALINK_REMOTE_PORT", "0", 1);
    startRemoteControlServer();
    EXPECT_EQ(managerRemoteControlServer(), nullptr);
}

// Each failure says so once, the server ends, and the manager goes on without it.
TEST_F(RemoteServerLife, SetUpFailuresSayRemoteControlIsDisabled) {
    TcpListener occupier;
    struct Case {
        const char* name;
        std::function<void()> arrange;
        const char* text;
    };
    const Case cases[] = {
        {"port taken",
         [&] {
             writeSetting(address());
             ASSERT_EQ(occupier.open(address(), tcpPort, 1), TcpListener::OpenResult::Listening);
         },
         REMOTE_BIND_FAILED_TEXT},
        {"no socket",
         [&] {
             occupier.close();
             failPlatformCall(PlatformCall::TcpSocket);
         },
         REMOTE_SOCKET_FAILED_TEXT},
        {"a host name", [&] { writeSetting("vorlix.lan"); }, REMOTE_BIND_FAILED_TEXT},
        {"not a local address", [&] { writeSetting("192.0.2.1"); }, REMOTE_BIND_FAILED_TEXT},
        {"not text", [&] { writeSettingNumber(1); }, REMOTE_BIND_FAILED_TEXT},
    };
    for (const Case& c : cases) {
        c.arrange();
        boxes.expect(c.text, "Error", MB_ICONERROR);
        EXPECT_FALSE(startServer()) << c.name;
        EXPECT_TRUE(managerRemoteControlServer()->ended()) << c.name;
        EXPECT_TRUE(manager.pumpUntil([&] { return boxes.pending() == 0; })) << c.name;
        stopRemoteControlServer();
    }
    EXPECT_FALSE(listensAt(address(), tcpPort));
}

// The server's thread ends when the manager does, also while it waits for the UI
// thread to serve a request: that client gets no answer, every connection is closed and
// nothing listens any more.
TEST_F(RemoteServerLife, EndOfManagerEndsTheServerAtOnce) {
    writeSetting(address());
    ASSERT_TRUE(startServer());
    addPort(2, "COM3", 1);
    RemoteClient answered(address(), tcpPort);
    answered.send(remoteRequest(42, 1, address()));
    EXPECT_EQ(answered.nextByte(), "4");
    RemoteClient waiting(address(), tcpPort);
    waiting.send(remoteRequest(3, 1, address()));
    // Not pumping: the request waits for this thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // What the end of the manager does to the server, first of all.
    auto before = std::chrono::steady_clock::now();
    platform::releaseWaitingSenders();
    stopRemoteControlServer();
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, std::chrono::seconds(5)) << "the server was not woken";
    EXPECT_EQ(managerRemoteControlServer(), nullptr);
    EXPECT_EQ(answered.restUntilClosed(), "");
    EXPECT_EQ(waiting.restUntilClosed(), "");
    EXPECT_FALSE(listensAt(address(), tcpPort));
}

// A store that cannot say what the setting is does not mean "no setting": the server
// stays off (it would listen on every address), and the trace says why.
TEST_F(RemoteServerLife, UnreadableStoreKeepsTheServerOff) {
    writeSetting("off");
    DamagedStore damaged;
    TraceLog traces;
    startRemoteControlServer();
    EXPECT_EQ(managerRemoteControlServer(), nullptr);
    EXPECT_EQ(traces.count("RemoteControl setting cannot be read (store error 1016): remote "
                           "control stays off.\r\n"),
              1);
    EXPECT_FALSE(listensAt(address(), tcpPort));
}
