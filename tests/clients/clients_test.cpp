// Real serial clients on a started port's link, against the whole manager in the test
// process and the simulator: pyserial under Debian's own python (/usr/bin/python3; the
// python3 first on PATH may be another without the module), and picocom, a terminal
// program, in a tmux pane driven by keys. What the device server receives is checked
// as well as what the client sees.
#include "driverlink/driver_link.h"
#include "portdriver/line_settings.h"
#include "tests/support/manager_fixture.h"

#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <termios.h>

#include <string>
#include <vector>

namespace {

constexpr int SLOT = 0;
constexpr int DEVICE_PORT = 1;

struct Finished {
    bool inTime = false;
    int status = -1;
    std::string output;
};

class RealClients : public ManagerTest {
  protected:
    void SetUp() override {
        addPort(SLOT, "COM5", DEVICE_PORT);
        ASSERT_TRUE(startSim());
        ASSERT_TRUE(startPort(SLOT));
        link = manager.linkPath("COM5");
    }

    // Runs a program to its end while the manager keeps serving the port.
    Finished run(const QString& program, const QStringList& arguments, int timeoutMs = 15000) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, arguments);
        Finished result;
        if (!process.waitForStarted(5000)) {
            result.output = program.toStdString() + " did not start";
            return result;
        }
        result.inTime =
            pumpUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
        if (!result.inTime) {
            process.kill();
            process.waitForFinished(2000);
        }
        result.status = process.exitCode();
        result.output = process.readAll().toStdString();
        return result;
    }

    // The device's view: the session's commands in order (OPEN, SREQ, DATA, CLOSE;
    // no identification, modem lines or keep-alive), and the DATA payload.
    std::vector<uint8_t> commands() {
        std::vector<uint8_t> list;
        for (const vorlixsim::Frame& frame : sim().framesReceived(DEVICE_PORT))
            if (frame.command == 0x71 || frame.command == 0x21 || frame.command == 0x31 ||
                frame.command == 0x72)
                list.push_back(frame.command);
        return list;
    }
    std::string dataReceived() {
        std::string data;
        for (const vorlixsim::Frame& frame : sim().framesReceived(DEVICE_PORT))
            if (frame.command == 0x31)
                data.append(frame.bytes.begin() + 4, frame.bytes.end() - 1);
        return data;
    }
    bool sawSettingsWithBaud(speed_t speed) {
        for (const vorlixsim::Frame& frame : sim().framesReceived(DEVICE_PORT))
            if (frame.command == 0x21 && frame.bytes[2] == portdriver::baudCodeOf(speed))
                return true;
        return false;
    }
    bool sessionClosed() {
        std::vector<uint8_t> list = commands();
        return !list.empty() && list.back() == 0x72;
    }

    std::string link;
};

TEST_F(RealClients, PyserialOpensChangesTheRateAndReadsTheEcho) {
    Finished python = run("/usr/bin/python3", {PYSERIAL_CLIENT, QString::fromStdString(link)});
    ASSERT_TRUE(python.inTime) << python.output;
    EXPECT_EQ(python.status, 0) << python.output;
    EXPECT_NE(python.output.find("OK echo at 19200"), std::string::npos) << python.output;

    EXPECT_TRUE(pumpUntil([&] { return sessionClosed(); }, 5000)) << "no CLOSE after the close";
    EXPECT_EQ(commands().front(), 0x71); // OPEN
    EXPECT_TRUE(sawSettingsWithBaud(B19200)) << "the rate change did not reach the device";
    EXPECT_EQ(dataReceived(), "pyserial at 9600\r\npyserial at 19200\r\n");
}

// picocom in a tmux pane of a server of the test's own: typed keys go to the device,
// the device's echo is what the pane shows (picocom does not echo locally).
class Picocom : public RealClients {
  protected:
    void SetUp() override {
        RealClients::SetUp();
        ASSERT_TRUE(folder.isValid());
        socket = folder.path() + "/tmux";
    }
    void TearDown() override { run("tmux", {"-S", socket, "kill-server"}); }

    Finished tmux(const QStringList& arguments) {
        return run("tmux", QStringList{"-S", socket} + arguments);
    }
    std::string screen() { return tmux({"capture-pane", "-p", "-t", "term"}).output; }
    bool screenShows(const std::string& text, int timeoutMs = 5000) {
        return pumpUntil([&] { return screen().find(text) != std::string::npos; }, timeoutMs);
    }
    bool paneGone() { return tmux({"has-session", "-t", "term"}).status != 0; }

    QTemporaryDir folder;
    QString socket;
};

TEST_F(Picocom, TypedKeysComeBackAsTheDevicesEcho) {
    Finished started = tmux({"new-session", "-d", "-s", "term", "-x", "100", "-y", "30",
                             "picocom -b 9600 " + QString::fromStdString(link) + "; sleep 30"});
    ASSERT_EQ(started.status, 0) << started.output;
    ASSERT_TRUE(screenShows("Terminal ready")) << screen();

    tmux({"send-keys", "-t", "term", "-l", "typed-by-hand"});
    EXPECT_TRUE(screenShows("typed-by-hand")) << screen();
    EXPECT_TRUE(pumpUntil([&] { return dataReceived() == "typed-by-hand"; }, 5000))
        << dataReceived();

    // Ctrl-A Ctrl-U raises the rate one step: 9600 -> 19200.
    tmux({"send-keys", "-t", "term", "C-a", "C-u"});
    EXPECT_TRUE(screenShows("*** baud: 19200")) << screen();
    EXPECT_TRUE(pumpUntil([&] { return sawSettingsWithBaud(B19200); }, 5000));

    // Ctrl-A Ctrl-X leaves picocom, which closes the port.
    tmux({"send-keys", "-t", "term", "C-a", "C-x"});
    EXPECT_TRUE(screenShows("Thanks for using picocom")) << screen();
    EXPECT_TRUE(pumpUntil([&] { return sessionClosed(); }, 5000)) << "no CLOSE after picocom left";
}

} // namespace
