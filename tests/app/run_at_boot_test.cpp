#include "app/run_at_boot.h"

#include "platform/autostart.h"
#include "platform/faults.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "tests/app/gui_support.h"
#include "tests/app/temp_config_home.h"
#include "tests/platform/store_dump.h"
#include "tests/support/scripted_boxes.h"
#include "tests/support/temp_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <unistd.h>

using namespace platform;

namespace {

const std::string TOO_LONG_TEXT = "The manager's path is too long for the run-at-boot entry (at "
                                  "most 255 bytes).\nNothing was written.";

// The run-at-boot value's text, when it is there.
std::optional<std::string> storedValue() {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, RUN_KEY, &key) != ERROR_SUCCESS)
        return std::nullopt;
    uint8_t data[RUN_VALUE_BLOCK + 1] = {};
    uint32_t size = RUN_VALUE_BLOCK, type = REG_NONE;
    long status = RegQueryValueEx(key, RUN_VALUE, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return std::nullopt;
    EXPECT_EQ(type, REG_SZ);
    return std::string(reinterpret_cast<char*>(data), size);
}

std::string entryPath() {
    return autostartEntryPath(AUTOSTART_ENTRY);
}

std::optional<std::string> entryText() {
    std::ifstream in(entryPath());
    if (!in)
        return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string expectedEntry(const std::string& exec) {
    return "[Desktop Entry]\nType=Application\nName=Quorvalink Redirector\nExec=" + exec +
           "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

// Reads an Exec value back as a desktop does: string escapes first, then the quoting.
std::string execProgram(const std::string& text) {
    std::string line = text.substr(text.find("\nExec=") + 6);
    line = line.substr(0, line.find('\n'));
    std::string unescaped, program;
    for (size_t i = 0; i < line.size(); ++i)
        unescaped += line[i] == '\\' ? line[++i] : line[i];
    EXPECT_TRUE(unescaped.size() >= 2 && unescaped.front() == '"' && unescaped.back() == '"');
    for (size_t i = 1; i + 1 < unescaped.size(); ++i) {
        if (unescaped[i] == '\\' || (unescaped[i] == '%' && unescaped[i + 1] == '%'))
            ++i;
        program += unescaped[i];
    }
    return program;
}

class RunAtBoot : public ::testing::Test {
  protected:
    void SetUp() override { ensureQtApp(); }
    void TearDown() override { clearPlatformFaults(); }

    TempStore store;
    TempConfigHome config;
    ScriptedBoxes boxes;
};

struct PathCase {
    const char* name;
    std::string program;
    std::string exec;
};

class RunAtBootPaths : public RunAtBoot, public ::testing::WithParamInterface<PathCase> {};

// Once writes the value and the entry, twice leaves neither; the check mark follows.
TEST_P(RunAtBootPaths, OnceWritesBothTwiceNeither) {
    const PathCase& c = GetParam();
    toggleRunAtBootEntry(c.program);
    EXPECT_EQ(storedValue(), c.program);
    EXPECT_TRUE(runAtBootPresent());
    EXPECT_EQ(entryText(), expectedEntry(c.exec));
    EXPECT_EQ(execProgram(*entryText()), c.program);

    toggleRunAtBootEntry(c.program);
    EXPECT_EQ(storedValue(), std::nullopt);
    EXPECT_FALSE(runAtBootPresent());
    EXPECT_FALSE(std::filesystem::exists(entryPath()));
}

const std::string LONGEST = "/opt/" + std::string(241, 'x') + "/travenor"; // 255 bytes

INSTANTIATE_TEST_SUITE_P(
    Programs, RunAtBootPaths,
    ::testing::Values(
        PathCase{"Plain", "/opt/quorvalink/travenor", R"("/opt/quorvalink/travenor")"},
        PathCase{"Space", "/home/ann/serial tools/travenor",
                 R"("/home/ann/serial tools/travenor")"},
        PathCase{"ShellCharacters", "/opt/a\"b$c`d/travenor", R"("/opt/a\\"b\\$c\\`d/travenor")"},
        PathCase{"Backslash", R"(/opt/a\b/travenor)", R"("/opt/a\\\\b/travenor")"},
        PathCase{"Percent", "/opt/50%/travenor", R"("/opt/50%%/travenor")"},
        PathCase{"Utf8", "/opt/Z\xC3\xA4hler/travenor", "\"/opt/Z\xC3\xA4hler/travenor\""},
        PathCase{"Longest", LONGEST, "\"" + LONGEST + "\""}),
    [](const auto& info) { return info.param.name; });

TEST_F(RunAtBoot, EntryStartsThisVeryProgram) {
    std::string program = runningProgramPath();
    ASSERT_FALSE(program.empty());
    toggleRunAtBootEntry(program);
    ASSERT_TRUE(entryText());
    std::string started = execProgram(*entryText());
    EXPECT_EQ(started.front(), '/');
    EXPECT_TRUE(std::filesystem::equivalent(started, "/proc/self/exe"));
    EXPECT_EQ(access(started.c_str(), X_OK), 0);
}

// The text and its zero must fit the 256-byte block; a longer path is refused with a
// message. Paths a desktop entry cannot hold are refused silently, as failed writes are.
TEST_F(RunAtBoot, PathsThatCannotBeWrittenChangeNothing) {
    struct Case {
        std::string program;
        bool tooLong;
    };
    const Case cases[] = {
        {LONGEST + "x", true},         {"/opt/" + std::string(400, 'y') + "/travenor", true},
        {"relative/travenor", false},  {"/opt/line\nbreak/travenor", false},
        {"/opt/\xFF/travenor", false}, {"", false}};
    std::string before = storeSnapshot();
    for (const Case& c : cases) {
        if (c.tooLong)
            boxes.expect(TOO_LONG_TEXT, "Error", MB_OK | MB_ICONERROR);
        toggleRunAtBootEntry(c.program);
        EXPECT_EQ(storeSnapshot(), before) << c.program;
        EXPECT_FALSE(std::filesystem::exists(entryPath())) << c.program;
        EXPECT_FALSE(runAtBootPresent());
    }
}

// One of the two removed by hand: the value decides, and the next switch leaves both
// or neither.
TEST_F(RunAtBoot, HalfAnEntryIsRepairedByTheNextSwitch) {
    const std::string program = "/opt/quorvalink/travenor";
    toggleRunAtBootEntry(program);
    std::filesystem::remove(entryPath());
    EXPECT_TRUE(runAtBootPresent());
    toggleRunAtBootEntry(program);
    EXPECT_EQ(storedValue(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(entryPath()));

    toggleRunAtBootEntry(program);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, RUN_KEY, &key), ERROR_SUCCESS);
    RegDeleteValue(key, RUN_VALUE);
    RegCloseKey(key);
    EXPECT_FALSE(runAtBootPresent());
    toggleRunAtBootEntry(program);
    EXPECT_EQ(storedValue(), program);
    EXPECT_EQ(entryText(), expectedEntry(R"("/opt/quorvalink/travenor")"));
}

TEST_F(RunAtBoot, FailedWritesLeaveBothAsTheyWere) {
    const std::string program = "/opt/quorvalink/travenor";
    // The value cannot be written: the entry written before it goes again.
    failPlatformCall(PlatformCall::RegistryWrite);
    toggleRunAtBootEntry(program);
    EXPECT_EQ(storedValue(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(entryPath()));

    // The entry cannot be written (its folder cannot be made): no value either.
    std::string blocked = config.folder() + "/not-a-folder";
    std::ofstream(blocked) << "x";
    setenv("XDG_CONFIG_HOME", blocked.c_str(), 1);
    toggleRunAtBootEntry(program);
    EXPECT_EQ(storedValue(), std::nullopt);
    setenv("XDG_CONFIG_HOME", config.folder().c_str(), 1);

    // The entry cannot be removed (a folder stands in its place): the value comes back.
    toggleRunAtBootEntry(program);
    std::filesystem::remove(entryPath());
    std::filesystem::create_directories(entryPath() + "/inside");
    toggleRunAtBootEntry(program);
    EXPECT_EQ(storedValue(), program);
}

TEST(AutostartFolder, FollowsXdgConfigHome) {
    struct Case {
        const char* configHome; // null: unset
        std::string folder;
    };
    const char* oldHome = std::getenv("HOME");
    std::string home = oldHome ? oldHome : "";
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    std::optional<std::string> config =
        oldConfig ? std::optional<std::string>(oldConfig) : std::nullopt;
    setenv("HOME", "/home/ann", 1);
    const Case cases[] = {{"/srv/config", "/srv/config/autostart"},
                          {nullptr, "/home/ann/.config/autostart"},
                          {"", "/home/ann/.config/autostart"},
                          {"relative/config", "/home/ann/.config/autostart"}};
    for (const Case& c : cases) {
        if (c.configHome)
            setenv("XDG_CONFIG_HOME", c.configHome, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(autostartFolder(), c.folder) << (c.configHome ? c.configHome : "(unset)");
    }
    setenv("HOME", home.c_str(), 1);
    if (config)
        setenv("XDG_CONFIG_HOME", config->c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

} // namespace
