// travenor-win16 against the real manager, started offscreen in temporary folders.
#include "config/port_key.h"
#include "platform/registry.h"
#include "tests/tools/manager_process.h"
#include "tests/tools/tool_runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace platform;

namespace {

const Tool win16Tool(WIN16_TOOL_PATH);

bool hasValue(int slot, const char* name) {
    HKEY key = nullptr;
    bool found =
        RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKeyName(slot).c_str(), &key) == ERROR_SUCCESS &&
        RegQueryValueEx(key, name, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    return found;
}

} // namespace

TEST(Win16Tool, RunningManagerAnswersRequestsForItsPorts) {
    ManagerProcess manager(TRAVENOR_PATH);
    manager.registerStoppedPort(4, "COM5");
    HKEY key = nullptr;
    RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKeyName(4).c_str(), &key);
    regSetDword(key, "IsWin16Port", 1);
    RegCloseKey(key);
    ASSERT_TRUE(manager.start([&] { return std::filesystem::exists(manager.instanceSocket()); }));

    // Closing a Stopped port is done already, and leaves it as it is.
    ToolRun close = win16Tool.run({"5", "close"});
    EXPECT_EQ(close.exitCode, 0) << close.err;
    EXPECT_EQ(close.out, "1\n");
    EXPECT_TRUE(hasValue(4, "IsWin16Port"));

    // A Stopped port cannot be opened.
    ToolRun open = win16Tool.run({"5", "open"});
    EXPECT_EQ(open.exitCode, 1);
    EXPECT_EQ(open.out, "0\n");

    ToolRun unknown = win16Tool.run({"42", "close"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.out, "0\n");
}

TEST(Win16Tool, NoManagerRunningGivesExitTwo) {
    ManagerProcess folders(TRAVENOR_PATH); // its folders, no manager
    ToolRun run = win16Tool.run({"5", "close"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
}

TEST(Win16Tool, BadArgumentsGiveExitTwo) {
    ManagerProcess folders(TRAVENOR_PATH); // its folders, no manager
    EXPECT_EQ(win16Tool.run({}).exitCode, 2);
    EXPECT_EQ(win16Tool.run({"5"}).exitCode, 2);
    EXPECT_EQ(win16Tool.run({"5", "toggle"}).exitCode, 2);
    EXPECT_EQ(win16Tool.run({"COMX", "open"}).exitCode, 2);
    EXPECT_EQ(win16Tool.run({"0", "open"}).exitCode, 2);
    EXPECT_EQ(win16Tool.run({"5", "open", "extra"}).exitCode, 2);
}
