// Every way out of the real manager ends it the same way: status 0, each port's current
// host saved, the driver unloaded and with it the port's link. Watched from outside,
// as the next start, the driver and the applications see it.
#include "config/port_key.h"
#include "platform/registry.h"
#include "tests/app/gui_support.h"
#include "tests/support/process_threads.h"
#include "tests/support/pump.h"
#include "tests/support/temp_store.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

using namespace platform;

namespace {

constexpr const char* TITLE = "Quorvalink Redirector Manager v1.2";

// A bare X server of the test's own, which the test can take away.
class VirtualDisplay {
  public:
    bool start() {
        server.setProcessChannelMode(QProcess::SeparateChannels);
        server.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"});
        if (!server.waitForStarted(5000))
            return false;
        while (!server.canReadLine())
            if (!server.waitForReadyRead(10000))
                return false;
        name = ":" + server.readLine().trimmed().toStdString();
        return true;
    }
    void kill() {
        server.kill();
        server.waitForFinished(5000);
    }
    ~VirtualDisplay() { kill(); }

    std::string name;

  private:
    QProcess server;
};

// What a window manager does when the user presses the close box: WM_DELETE_WINDOW to
// the shown window with the title.
bool pressCloseBox(const std::string& display, const char* title) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    auto atom = [&](const char* name) {
        auto* reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        xcb_atom_t found = reply ? reply->atom : 0;
        free(reply);
        return found;
    };
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    auto* tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr);
    bool sent = false;
    for (int i = 0; tree && i < xcb_query_tree_children_length(tree); ++i) {
        xcb_window_t window = xcb_query_tree_children(tree)[i];
        auto* name = xcb_get_property_reply(
            connection,
            xcb_get_property(connection, 0, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 256),
            nullptr);
        bool match = name && std::string(static_cast<char*>(xcb_get_property_value(name)),
                                         size_t(xcb_get_property_value_length(name))) == title;
        free(name);
        // Only a window the user can see has a close box to press.
        auto* attributes = xcb_get_window_attributes_reply(
            connection, xcb_get_window_attributes(connection, window), nullptr);
        match = match && attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        free(attributes);
        if (!match)
            continue;
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&event));
        sent = true;
    }
    free(tree);
    // A round trip, so the server has handled the message before the connection goes
    // (a message still in flight at the disconnect was seen to be lost).
    free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    xcb_disconnect(connection);
    return sent;
}

enum class Way { Exit, QuitRequest, TerminationSignal, DisplayLost };

class WayOut : public ::testing::TestWithParam<Way> {
  protected:
    void SetUp() override {
        ensureQtApp();
        ASSERT_TRUE(runtime.isValid());
        deviceFolder = store.folder() + "/dev";
        // Nobody opens the port, so nothing is ever dialled there.
        writeStoredPort(0, "COM6", {{"127.0.0.1", 1, "bench"}}, "127.0.0.1", 1);
    }
    void TearDown() override {
        if (manager.state() != QProcess::NotRunning) {
            manager.kill();
            manager.waitForFinished(5000);
        }
    }

    QProcessEnvironment environment(const std::string& platform) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QUORVALINK_HOME", QString::fromStdString(store.folder()));
        env.insert("QUORVALINK_DEVDIR", QString::fromStdString(deviceFolder));
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("QT_QPA_PLATFORM", QString::fromStdString(platform));
        if (platform == "xcb")
            env.insert("DISPLAY", QString::fromStdString(display.name));
        env.insert("TSAN_OPTIONS", env.value("TSAN_OPTIONS") + ":suppressions=" +
                                       QString::fromStdString(writeQtSuppressions()));
        return env;
    }

    void startManager(const std::string& platform) {
        manager.setProcessEnvironment(environment(platform));
        manager.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        manager.start(TRAVENOR_BINARY, {});
        ASSERT_TRUE(manager.waitForStarted(5000));
        ASSERT_TRUE(pumpUntil([&] { return std::filesystem::is_symlink(link()); }, 15000))
            << "the manager did not start COM6";
    }

    // A later start of the program shows the running manager's window.
    void showWindow(const std::string& platform) {
        QProcess second;
        second.setProcessEnvironment(environment(platform));
        second.start(TRAVENOR_BINARY, {});
        ASSERT_TRUE(second.waitForFinished(10000));
    }

    std::string writeQtSuppressions() {
        std::string path = store.folder() + "/qt-tsan.supp";
        std::ofstream file(path);
        for (const char* lib :
             {"libQt6Core.so", "libQt6Gui.so", "libQt6Widgets.so", "libQt6XcbQpa.so", "libxcb.so"})
            file << "called_from_lib:" << lib << "\n";
        // Xlib takes and drops its display lock across libraries (and destroys it
        // locked when the display closes): not ours to check.
        file << "mutex:libX11.so\n";
        file << "race:libglib-2.0.so\n";
        return path;
    }

    std::string link() const { return deviceFolder + "/COM6"; }

    TempStore store;
    QTemporaryDir runtime;
    std::string deviceFolder;
    VirtualDisplay display;
    QProcess manager;
};

TEST_P(WayOut, EndsWithStatusZeroHostsSavedAndLinksGone) {
    bool needsDisplay = GetParam() == Way::Exit || GetParam() == Way::DisplayLost;
    std::string platform = needsDisplay ? "xcb" : "offscreen";
    if (needsDisplay) {
        ASSERT_TRUE(display.start()) << "no virtual display (Xvfb)";
    }
    startManager(platform);
    // The hosts are saved at the end: take the saved one away under the running manager.
    writeStoredPort(0, "COM6", {{"127.0.0.1", 1, "bench"}}, "", 0);

    switch (GetParam()) {
    case Way::Exit:
        showWindow(platform);
        ASSERT_TRUE(pumpUntil([&] { return pressCloseBox(display.name, TITLE); }, 15000))
            << "no shown main window to close";
        break;
    case Way::QuitRequest:
        ::kill(pid_t(manager.processId()), SIGHUP);
        break;
    case Way::TerminationSignal:
        manager.terminate();
        break;
    case Way::DisplayLost:
        display.kill();
        break;
    }

    ASSERT_TRUE(manager.waitForFinished(15000)) << "the manager did not end:\n"
                                                << processThreads(long(manager.processId()));
    EXPECT_EQ(manager.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(manager.exitCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(link()) || std::filesystem::is_symlink(link()));
    EXPECT_EQ(savedAddress(0), "127.0.0.1");
}

std::string wayName(const ::testing::TestParamInfo<Way>& info) {
    const char* names[] = {"Exit", "QuitRequest", "TerminationSignal", "DisplayLost"};
    return names[int(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Ways, WayOut,
                         ::testing::Values(Way::Exit, Way::QuitRequest, Way::TerminationSignal,
                                           Way::DisplayLost),
                         wayName);

} // namespace
