// Every application open is one session, exactly, however fast opens and closes follow
// each other: pyserial (tests/clients/sessions_client.py) opens and closes the link in
// quick succession, with the preload library in front of it and without, against the
// whole manager in the test process and the simulator. The client checks what each
// session reads; here the device's side is checked: each of its connections carries one
// session, the session's own bytes between its OPEN and its CLOSE.
//
// Without the library an application's bytes wait in its write() until the driver has
// taken its open and moved the link on (docs/port_driver.md), so sessions that write hold
// either way; sessions that only set the line and close at once may share a pty without
// it, and run with the library only.
#include "tests/support/client_process.h"
#include "tests/support/started_port_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint8_t CMD_SREQ = 0x21;
constexpr uint8_t CMD_DATA = 0x31;
constexpr uint8_t CMD_OPEN = 0x71;
constexpr uint8_t CMD_CLOSE = 0x72;
constexpr uint8_t CMD_IDENT = 0x11;
constexpr uint8_t CMD_ALIVE = 0x61;

// What the device got on one connection.
struct DeviceSession {
    bool framed = true; // OPEN first, CLOSE last, nothing of the application outside
    std::string data;
    std::vector<uint8_t> rates; // the baud codes of its SREQs
};

std::string repeat(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

std::string allBytes(int times) {
    std::string block;
    for (int i = 0; i < 256; ++i)
        block += char(i);
    return repeat(block, times);
}

struct Scenario {
    const char* name;
    int count;
    bool withLibrary;
    std::vector<std::string> data; // each session's bytes, in order; empty: not checked
    int sessions;                  // how many connections the device sees
};

class Sessions : public StartedPortTest, public ::testing::WithParamInterface<Scenario> {
  protected:
    std::unique_ptr<ClientProcess> client(const std::string& scenario, int count, bool library,
                                          std::vector<std::string> extra = {}) {
        std::vector<std::string> command{"/usr/bin/python3", SESSIONS_CLIENT, link, scenario,
                                         std::to_string(count)};
        command.insert(command.end(), extra.begin(), extra.end());
        std::string out = outputs.path().toStdString() + "/client" + std::to_string(++clients_);
        return std::make_unique<ClientProcess>(command, out, library ? PRELOAD_LIBRARY : "");
    }

    // The device's sessions, one per connection in the order they were accepted.
    std::vector<DeviceSession> deviceSessions() {
        std::map<int, DeviceSession> byConnection;
        std::map<int, bool> open;
        for (const vorlixsim::Frame& frame : sim().framesReceived(DEVICE_PORT)) {
            if (frame.command == CMD_IDENT || frame.command == CMD_ALIVE)
                continue;
            DeviceSession& session = byConnection[frame.connection];
            if (frame.command == CMD_OPEN) {
                session.framed = session.framed && !open[frame.connection];
                open[frame.connection] = true;
                continue;
            }
            if (!open[frame.connection])
                session.framed = false;
            if (frame.command == CMD_CLOSE)
                open[frame.connection] = false;
            else if (frame.command == CMD_DATA)
                session.data.append(frame.bytes.begin() + 4, frame.bytes.end() - 1);
            else if (frame.command == CMD_SREQ)
                session.rates.push_back(frame.bytes[2]);
        }
        std::vector<DeviceSession> sessions;
        for (auto& [connection, session] : byConnection) {
            session.framed = session.framed && !open[connection];
            sessions.push_back(session);
        }
        return sessions;
    }

    bool allClosed(size_t count) {
        return pumpUntil([&] {
            std::vector<DeviceSession> sessions = deviceSessions();
            return sessions.size() >= count &&
                   std::all_of(sessions.begin(), sessions.end(),
                               [](const DeviceSession& s) { return s.framed; });
        });
    }

  private:
    int clients_ = 0;
};

} // namespace

TEST_P(Sessions, EachOpenIsOneSessionWithItsOwnBytes) {
    const Scenario& scenario = GetParam();
    auto application = client(scenario.name, scenario.count, scenario.withLibrary);
    EXPECT_EQ(application->finish(60000), 0) << application->output();
    ASSERT_TRUE(allClosed(size_t(scenario.sessions)));
    std::vector<DeviceSession> sessions = deviceSessions();
    ASSERT_EQ(sessions.size(), size_t(scenario.sessions));
    for (size_t i = 0; i < sessions.size(); ++i) {
        EXPECT_TRUE(sessions[i].framed) << "session " << i;
        if (!scenario.data.empty()) {
            EXPECT_EQ(sessions[i].data, scenario.data[i % scenario.data.size()]) << "session " << i;
        }
    }
    // pyserial opens at 9600 and the rate is set right after: 115200 (code 16) is what the
    // device has last in the session, and no SREQ repeats the one before it. (With the
    // library pyserial's DTR comes between the two, and the 9600 goes out before it.)
    if (std::string(scenario.name) == "settings") {
        for (const DeviceSession& session : sessions) {
            ASSERT_FALSE(session.rates.empty());
            EXPECT_EQ(session.rates.back(), 16);
            EXPECT_EQ(std::adjacent_find(session.rates.begin(), session.rates.end()),
                      session.rates.end());
        }
    }
    if (std::string(scenario.name) == "busy") {
        EXPECT_NE(application->output().find(scenario.withLibrary ? "second opener: EBUSY"
                                                                  : "second opener: hung up"),
                  std::string::npos)
            << application->output();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pyserial, Sessions,
    ::testing::Values(Scenario{"script", 3, true, {"", "1234", "1234", "1\n2\n3\n"}, 12},
                      Scenario{"script", 10, false, {"", "1234", "1234", "1\n2\n3\n"}, 40},
                      Scenario{"before_close", 3, true, {allBytes(8), "x"}, 6},
                      Scenario{"before_close", 10, false, {allBytes(8), "x"}, 20},
                      Scenario{"settings", 3, true, {""}, 3}, Scenario{"cycles", 50, true, {}, 50},
                      Scenario{"cycles", 50, false, {}, 50},
                      Scenario{"busy", 1, true, {"still here"}, 1},
                      Scenario{"busy", 1, false, {"still here"}, 1}),
    [](const auto& info) {
        return std::string(info.param.name) + (info.param.withLibrary ? "WithTheLibrary" : "Plain");
    });

// Two applications taking turns on the port: every turn is a session of its own.
TEST_F(Sessions, TwoApplicationsTakingTurnsEachGetTheirOwnSessions) {
    std::string lock = outputs.path().toStdString() + "/turns.lock";
    auto first = client("turns", 10, false, {lock});
    auto second = client("turns", 10, false, {lock});
    EXPECT_EQ(first->finish(60000), 0) << first->output();
    EXPECT_EQ(second->finish(60000), 0) << second->output();
    ASSERT_TRUE(allClosed(20));
    for (const DeviceSession& session : deviceSessions()) {
        EXPECT_TRUE(session.framed);
        EXPECT_EQ(session.data.size(), 16u) << session.data;
    }
}
