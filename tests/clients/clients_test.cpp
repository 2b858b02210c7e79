// Real serial clients on a started port's link, against the whole manager in the test
// process and the simulator: pyserial under Debian's own python (/usr/bin/python3; the
// python3 first on PATH may be another without the module), and picocom, a terminal
// program, in a tmux pane driven by keys. What the device server receives is checked
// as well as what the client sees.
#include "driverlink/driver_link.h"
#include "portdriver/line_settings.h"
#include "tests/support/started_port_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Finished {
    bool inTime = false;
    int status = -1;
    std::string output;
};

class RealClients : public StartedPortTest {
  protected:
    // Runs a program (looked up in PATH) to its end while the manager keeps serving the
    // port; its standard output and error together. posix_spawn, not a fork: the test
    // process has the manager's and the simulator's threads.
    Finished run(const std::vector<std::string>& command, int timeoutMs = 15000) {
        Finished result;
        std::string outPath = outputs.path().toStdString() + "/output";
        std::vector<char*> argv;
        for (const std::string& word : command)
            argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t child = -1;
        int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            result.output = command[0] + " did not start";
            return result;
        }
        int status = 0;
        result.inTime =
            pumpUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, timeoutMs);
        if (!result.inTime) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ostringstream text;
        text << std::ifstream(outPath).rdbuf();
        result.output = text.str();
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
};

TEST_F(RealClients, PyserialOpensChangesTheRateAndReadsTheEcho) {
    Finished python = run({"/usr/bin/python3", PYSERIAL_CLIENT, link});
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
        socket = outputs.path().toStdString() + "/tmux";
    }
    void TearDown() override { tmux({"kill-server"}); }

    Finished tmux(const std::vector<std::string>& arguments) {
        std::vector<std::string> command{"tmux", "-S", socket};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return run(command);
    }
    std::string screen() { return tmux({"capture-pane", "-p", "-t", "term"}).output; }
    bool screenShows(const std::string& text, int timeoutMs = 5000) {
        return pumpUntil([&] { return screen().find(text) != std::string::npos; }, timeoutMs);
    }
    bool paneGone() { return tmux({"has-session", "-t", "term"}).status != 0; }

    std::string socket;
};

TEST_F(Picocom, TypedKeysComeBackAsTheDevicesEcho) {
    Finished started = tmux({"new-session", "-d", "-s", "term", "-x", "100", "-y", "30",
                             "picocom -b 9600 " + link + "; sleep 30"});
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
