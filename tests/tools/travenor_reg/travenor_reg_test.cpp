// travenor-reg run as a real process against a store in a temporary folder.
#include "platform/registry.h"
#include "tests/platform/store_dump.h"
#include "tests/support/temp_store.h"
#include "tests/tools/tool_runner.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace platform;

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

const Tool travenorReg(TRAVENOR_REG_PATH);

const char* portKey = "Enum\\Root\\Redirector\\0042";

void seedPort() {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, portKey, &key), ERROR_SUCCESS);
    regSetString(key, "PORTNAME", "COM5");
    regSetString(key, "IpAddr01", "10.0.0.1");
    regSetDword(key, "TCPPortNo01", 1);
    RegCloseKey(key);
}

std::vector<uint8_t> valueBytes(const char* name, uint32_t* type = nullptr) {
    HKEY key = nullptr;
    std::vector<uint8_t> data(256);
    uint32_t size = uint32_t(data.size());
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKey, &key) != ERROR_SUCCESS)
        return {};
    long rc = RegQueryValueEx(key, name, type, data.data(), &size);
    RegCloseKey(key);
    data.resize(rc == ERROR_SUCCESS ? size : 0);
    return data;
}

std::vector<uint8_t> textBytes(const std::string& text) {
    return {text.begin(), text.end()};
}

bool isOneLine(const std::string& text) {
    return !text.empty() && text.find('\n') == text.size() - 1;
}

// Hand-written, with CRLF endings, a comment and hex split into short lines.
const char* portFile = "REGEDIT4\r\n"
                       "\r\n"
                       "; one redirected port\r\n"
                       "[HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0042]\r\n"
                       "\"PORTNAME\"=\"COM5\"\r\n"
                       "\"IpAddr01\"=\"192.168.10.20\"\r\n"
                       "\"TCPPortNo01\"=dword:0000000a\r\n"
                       "\"Description01\"=\"Lab \\\"B\\\" rack\\\\2\"\r\n"
                       "\"ConfigFlags\"=hex:04,00,00,00\r\n"
                       "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,\\\r\n"
                       "  0a,0b,0c,0d,0e,0f,10,11,12,13,\\\r\n"
                       "  14,15,16,17,18,19,1a,1b,1c,1d\r\n";

// The same content as travenor-reg writes it.
const char* portExport = "REGEDIT4\n"
                         "\n"
                         "[HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0042]\n"
                         "\"PORTNAME\"=\"COM5\"\n"
                         "\"IpAddr01\"=\"192.168.10.20\"\n"
                         "\"TCPPortNo01\"=dword:0000000a\n"
                         "\"Description01\"=\"Lab \\\"B\\\" rack\\\\2\"\n"
                         "\"ConfigFlags\"=hex:04,00,00,00\n"
                         "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,"
                         "14,\\\n"
                         "  15,16,17,18,19,1a,1b,1c,1d\n"
                         "\n";

} // namespace

TEST(TravenorRegImport, PortKeyImportsAndExportsBackWithTheSameValues) {
    TempStore temp;
    writeText(temp.folder() + "/port.reg", portFile);
    ToolRun run = travenorReg.run({"import", temp.folder() + "/port.reg"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");

    uint32_t type = 0;
    EXPECT_EQ(valueBytes("PORTNAME", &type), textBytes("COM5"));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(valueBytes("IPAddr01"), textBytes("192.168.10.20"));
    EXPECT_EQ(valueBytes("TCPPortNo01", &type), (std::vector<uint8_t>{10, 0, 0, 0}));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(valueBytes("Description01"), textBytes("Lab \"B\" rack\\2"));
    EXPECT_EQ(valueBytes("ConfigFlags", &type), (std::vector<uint8_t>{4, 0, 0, 0}));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(valueBytes("Long").size(), 30u);

    run = travenorReg.run(
        {"export", "hklm\\ENUM\\root\\Redirector\\0042", temp.folder() + "/out.reg"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(readText(temp.folder() + "/out.reg"), portExport);
}

TEST(TravenorRegImport, ExportOfATreeImportsIntoAnEmptyStoreUnchanged) {
    std::string exported, before;
    const std::string file = "/tmp/quorvalink-travenor-reg-tree.reg";
    {
        TempStore temp;
        seedPort();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0007\\Inner", &key),
                  ERROR_SUCCESS);
        regSetString(key, "", "default value");
        const uint8_t odd[] = {'a', '\n', 'b', 0, 'c'};
        RegSetValueEx(key, "Lines", REG_SZ, odd, sizeof odd);
        RegCloseKey(key);
        before = storeSnapshot();
        ASSERT_EQ(travenorReg.run({"export", "HKEY_LOCAL_MACHINE", file}).exitCode, 0);
    }
    TempStore fresh;
    ToolRun run = travenorReg.run({"import", file});
    std::remove(file.c_str());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(storeSnapshot(), before);
}

TEST(TravenorRegImport, MinusEntriesDeleteKeysAndValues) {
    TempStore temp;
    seedPort();
    writeText(temp.folder() + "/del.reg", "REGEDIT4\n\n"
                                          "[HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0042]\n"
                                          "\"IPADDR01\"=-\n"
                                          "\"NeverThere\"=-\n\n"
                                          "[-HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0099]\n");
    ToolRun run = travenorReg.run({"import", temp.folder() + "/del.reg"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(valueBytes("IpAddr01").empty());
    EXPECT_EQ(valueBytes("PORTNAME"), textBytes("COM5"));

    writeText(temp.folder() + "/del.reg", "REGEDIT4\n\n[-HKLM\\Enum\\Root]\n");
    ASSERT_EQ(travenorReg.run({"import", temp.folder() + "/del.reg"}).exitCode, 0);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKey, &key), ERROR_FILE_NOT_FOUND);
}

TEST(TravenorRegAdd, ValueAddedAsIpAddr01IsFoundWhenQueriedAsIPADDR01) {
    TempStore temp;
    ToolRun run = travenorReg.run({"add", "HKLM\\Enum\\Root\\Redirector\\0042", "/v", "IpAddr01",
                                   "/t", "REG_SZ", "/d", "10.1.2.3"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    run = travenorReg.run({"query", "HKLM\\ENUM\\ROOT\\REDIRECTOR\\0042", "/v", "IPADDR01"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0042\n"
                       "    IpAddr01    REG_SZ    10.1.2.3\n");
}

TEST(TravenorRegQuery, ListsValuesThenSubkeys) {
    TempStore temp;
    seedPort();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0042\\Sub", &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ToolRun run = travenorReg.run({"query", "HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0042"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0042\n"
                       "    PORTNAME    REG_SZ    COM5\n"
                       "    IpAddr01    REG_SZ    10.0.0.1\n"
                       "    TCPPortNo01    REG_DWORD    0x1\n"
                       "\n"
                       "HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0042\\Sub\n");
}

struct AddCase {
    const char* label;
    const char* type;
    const char* data;
    uint32_t storedType;
    std::vector<uint8_t> bytes;
    const char* shown;
};

class TravenorRegAddData : public testing::TestWithParam<AddCase> {};

TEST_P(TravenorRegAddData, StoresTheBytesAndQueryShowsThem) {
    TempStore temp;
    const AddCase& c = GetParam();
    ToolRun run = travenorReg.run(
        {"add", std::string("HKLM\\") + portKey, "/v", "Value", "/t", c.type, "/d", c.data});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    uint32_t type = 0;
    EXPECT_EQ(valueBytes("Value", &type), c.bytes);
    EXPECT_EQ(type, c.storedType);
    run = travenorReg.run({"query", std::string("HKLM\\") + portKey, "/v", "value"});
    EXPECT_NE(run.out.find(std::string("    Value    ") + c.shown + "\n"), std::string::npos)
        << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Types, TravenorRegAddData,
    testing::Values(
        AddCase{"DwordDecimal", "REG_DWORD", "10", REG_DWORD, {10, 0, 0, 0}, "REG_DWORD    0xa"},
        AddCase{"DwordHex", "reg_dword", "0x1F", REG_DWORD, {0x1F, 0, 0, 0}, "REG_DWORD    0x1f"},
        AddCase{"DwordLargest",
                "REG_DWORD",
                "4294967295",
                REG_DWORD,
                {255, 255, 255, 255},
                "REG_DWORD    0xffffffff"},
        AddCase{"BinaryPlain",
                "REG_BINARY",
                "04000000",
                REG_BINARY,
                {4, 0, 0, 0},
                "REG_BINARY    04000000"},
        AddCase{"BinaryCommas",
                "REG_BINARY",
                "04,00,ab,00",
                REG_BINARY,
                {4, 0, 0xAB, 0},
                "REG_BINARY    0400AB00"},
        AddCase{"Text", "REG_SZ", "COM5", REG_SZ, {'C', 'O', 'M', '5'}, "REG_SZ    COM5"}),
    [](const testing::TestParamInfo<AddCase>& info) { return info.param.label; });

TEST(TravenorRegDelete, RemovesAValueOrAKeyWithItsSubtree) {
    TempStore temp;
    seedPort();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0042\\Sub", &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(
        travenorReg.run({"delete", std::string("HKLM\\") + portKey, "/v", "ipaddr01"}).exitCode, 0);
    EXPECT_TRUE(valueBytes("IpAddr01").empty());
    EXPECT_EQ(valueBytes("PORTNAME"), textBytes("COM5"));

    ASSERT_EQ(travenorReg.run({"delete", "HKLM\\Enum\\Root\\Redirector"}).exitCode, 0);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector", &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root", &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

struct BadImport {
    const char* label;
    const char* body; // after the valid opening lines
    const char* problem;
};

class TravenorRegMalformedImport : public testing::TestWithParam<BadImport> {};

TEST_P(TravenorRegMalformedImport, ExitsNonZeroNamingTheLineAndChangesNothing) {
    TempStore temp;
    seedPort();
    const std::string before = storeSnapshot();
    const BadImport& c = GetParam();
    // Lines 1-5 are valid and would change the store if anything were applied early.
    std::string text = std::string("REGEDIT4\n\n[HKLM\\Enum\\Root\\Redirector\\0042]\n") +
                       "\"PORTNAME\"=\"COM9\"\n\"New\"=dword:00000001\n" + c.body;
    if (std::string(c.label) == "NoHeader")
        text = c.body;
    writeText(temp.folder() + "/bad.reg", text);
    ToolRun run = travenorReg.run({"import", temp.folder() + "/bad.reg"});
    EXPECT_NE(run.exitCode, 0);
    EXPECT_TRUE(isOneLine(run.err)) << run.err;
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
    EXPECT_EQ(storeSnapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Files, TravenorRegMalformedImport,
    testing::Values(BadImport{"NoHeader", "[HKLM\\Enum]\n", "line 1:"},
                    BadImport{"BadDword", "\"TCPPortNo01\"=dword:12345678Z\n", "line 6:"},
                    BadImport{"LongDword", "\"TCPPortNo01\"=dword:123456789\n", "line 6:"},
                    BadImport{"UnterminatedText", "\"PORTNAME\"=\"COM5\n", "line 6:"},
                    BadImport{"BadEscape", "\"PORTNAME\"=\"C\\OM5\"\n", "line 6:"},
                    BadImport{"OddHex", "\"ConfigFlags\"=hex:0,00\n", "line 6:"},
                    BadImport{"HexDwordSize", "\"ConfigFlags\"=hex(4):00,00\n", "line 6:"},
                    BadImport{"UnknownHexType", "\"ConfigFlags\"=hex(7):00,00\n", "line 6:"},
                    BadImport{"DanglingContinuation", "\"Long\"=hex:00,01,\\\n", "line 6:"},
                    BadImport{"ContinuedBadByte", "\"Long\"=hex:00,01,\\\n  zz\n", "line 6:"},
                    BadImport{"OtherRoot", "\n[HKEY_CURRENT_USER\\Software]\n", "line 7:"},
                    BadImport{"MalformedKey", "\n[HKLM\\Enum\\\\Root]\n", "line 7:"},
                    BadImport{"UnclosedHeader", "\n[HKLM\\Enum\n", "line 7:"},
                    BadImport{"DeleteRoot", "\n[-HKLM]\n", "line 7:"},
                    BadImport{"ValueAfterDeletedKey", "[-HKLM\\Enum\\X]\n\"A\"=\"b\"\n", "line 7:"},
                    BadImport{"NoEquals", "\"PORTNAME\" \"COM5\"\n", "line 6:"},
                    BadImport{"Garbage", "PORTNAME=COM5\n", "line 6:"}),
    [](const testing::TestParamInfo<BadImport>& info) { return info.param.label; });

// What a hostile file holds reaches the terminal harmless: the bad line is quoted with its
// number, control characters and bytes that are not UTF-8 as \xNN, a long line cut short.
struct HostileLine {
    const char* label;
    std::string line; // line 4, after a valid key header
    std::string shown;
};

class TravenorRegHostileImport : public testing::TestWithParam<HostileLine> {};

TEST_P(TravenorRegHostileImport, QuotesTheBadLineEscapedAndShort) {
    TempStore temp;
    const HostileLine& c = GetParam();
    writeText(temp.folder() + "/hostile.reg", "REGEDIT4\n\n[HKLM\\Enum]\n" + c.line + "\n");
    ToolRun run = travenorReg.run({"import", temp.folder() + "/hostile.reg"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(isOneLine(run.err)) << run.err;
    EXPECT_LT(run.err.size(), 300u);
    auto control = [](char byte) { return uint8_t(byte) < 0x20 || byte == 0x7f; };
    EXPECT_EQ(std::count_if(run.err.begin(), run.err.end(), control), 1) << run.err;
    EXPECT_NE(run.err.find("line 4: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.shown), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Files, TravenorRegHostileImport,
    testing::Values(
        HostileLine{"TerminalEscapes", "\x1b]0;owned\x07\x1b[2J\r\"A\"=\"b\"",
                    R"('\x1b]0;owned\x07\x1b[2J\x0d"A"="b"')"},
        HostileLine{"C1ControlAndBrokenUtf8BesideText",
                    "\"Gerät\"=\xc2\x9b"
                    "31m\xff",
                    R"('"Gerät"=\xc2\x9b31m\xff')"},
        HostileLine{"EscapeInKeyName", "[HKCU\x1b[2J]", R"(unsupported root key 'HKCU\x1b[2J')"},
        HostileLine{"MegabyteLine", "\"A\"=" + std::string(1 << 20, 'x'), "... (1048580 bytes)"}),
    [](const testing::TestParamInfo<HostileLine>& info) { return info.param.label; });

struct BadCommand {
    const char* label;
    std::vector<std::string> args;
    const char* problem;
};

class TravenorRegBadInput : public testing::TestWithParam<BadCommand> {};

TEST_P(TravenorRegBadInput, GivesOneLineErrorAndNonZeroExitAndChangesNothing) {
    TempStore temp;
    seedPort();
    const std::string before = storeSnapshot();
    const BadCommand& c = GetParam();
    std::vector<std::string> args = c.args;
    for (std::string& arg : args)
        if (arg == "FOLDER")
            arg = temp.folder();
    ToolRun run = travenorReg.run(args);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(isOneLine(run.err)) << run.err;
    EXPECT_EQ(run.err.rfind("travenor-reg: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
    EXPECT_EQ(storeSnapshot(), before);
}

const std::string port = "HKLM\\Enum\\Root\\Redirector\\0042";

INSTANTIATE_TEST_SUITE_P(
    Commands, TravenorRegBadInput,
    testing::Values(
        BadCommand{"UnknownVerb", {"copy", port}, "unknown verb 'copy'"},
        BadCommand{"QueryWithoutKey", {"query"}, "missing KEY"},
        BadCommand{"MalformedKey", {"add", "HKLM\\Enum\\\\Root"}, "malformed key"},
        BadCommand{"TrailingBackslash", {"add", "HKLM\\Enum\\"}, "malformed key"},
        BadCommand{"OtherRoot", {"add", "HKCU\\Software"}, "unsupported root key 'HKCU'"},
        BadCommand{"UnknownType",
                   {"add", port, "/v", "X", "/t", "REG_QWORD", "/d", "1"},
                   "unknown type 'REG_QWORD'"},
        BadCommand{"DwordNotANumber",
                   {"add", port, "/v", "X", "/t", "REG_DWORD", "/d", "12x"},
                   "bad REG_DWORD data '12x'"},
        BadCommand{"DwordTooLarge",
                   {"add", port, "/v", "X", "/t", "REG_DWORD", "/d", "4294967296"},
                   "bad REG_DWORD data"},
        BadCommand{"DwordNegative",
                   {"add", port, "/v", "X", "/t", "REG_DWORD", "/d", "-1"},
                   "bad REG_DWORD data"},
        BadCommand{"DwordEmpty", {"add", port, "/v", "X", "/t", "REG_DWORD"}, "bad REG_DWORD data"},
        BadCommand{"BinaryBadDigit",
                   {"add", port, "/v", "X", "/t", "REG_BINARY", "/d", "0g"},
                   "bad REG_BINARY data"},
        BadCommand{"BinaryOddDigits",
                   {"add", port, "/v", "X", "/t", "REG_BINARY", "/d", "123"},
                   "bad REG_BINARY data"},
        BadCommand{"TypeWithoutName", {"add", port, "/t", "REG_SZ", "/d", "x"}, "need /v"},
        BadCommand{"OptionWithoutValue", {"add", port, "/v"}, "needs a value"},
        BadCommand{"OptionTwice", {"add", port, "/v", "A", "/v", "B"}, "given twice"},
        BadCommand{"UnknownOption", {"query", port, "/s"}, "unexpected argument '/s'"},
        BadCommand{"QueryMissingKey", {"query", "HKLM\\Nowhere"}, "not found"},
        BadCommand{"QueryMissingValue", {"query", port, "/v", "Nothing"}, "'Nothing' not found"},
        BadCommand{"DeleteMissingKey", {"delete", "HKLM\\Nowhere"}, "not found"},
        BadCommand{"DeleteMissingValue", {"delete", port, "/v", "Nothing"}, "'Nothing' not found"},
        BadCommand{"DeleteRoot", {"delete", "HKEY_LOCAL_MACHINE"}, "root key"},
        BadCommand{"ExportMissingKey", {"export", "HKLM\\Nowhere", "FOLDER/x.reg"}, "not found"},
        BadCommand{"ExportWithoutFile", {"export", port}, "missing FILE"},
        BadCommand{"ExportUnwritable", {"export", port, "FOLDER/no/such/x.reg"}, "cannot write"},
        BadCommand{"ImportMissingFile", {"import", "FOLDER/none.reg"}, "cannot read"},
        BadCommand{"ImportExtraArgument", {"import", "a.reg", "b.reg"}, "unexpected argument"}),
    [](const testing::TestParamInfo<BadCommand>& info) { return info.param.label; });

TEST(TravenorRegUsage, NoArgumentsPrintTheUsageAndFail) {
    TempStore temp;
    ToolRun run = travenorReg.run({});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("travenor-reg: missing verb\nusage:\n", 0), 0u) << run.err;
    for (const char* verb : {"query", "add", "delete", "export", "import"})
        EXPECT_NE(run.err.find(std::string("travenor-reg ") + verb + " "), std::string::npos);
}

// Names the store would cut short at a NUL, or that an export could not give back.
struct RefusedName {
    const char* label;
    std::string importLines; // after a valid first write on lines 3-4; empty: run addArgs
    std::vector<std::string> addArgs;
    const char* problem;
};

class TravenorRegRefusedName : public testing::TestWithParam<RefusedName> {};

TEST_P(TravenorRegRefusedName, IsRefusedNamingTheLineAndChangesNothing) {
    TempStore temp;
    seedPort();
    const std::string before = storeSnapshot();
    const RefusedName& c = GetParam();
    std::vector<std::string> args = c.addArgs;
    if (!c.importLines.empty()) {
        writeText(temp.folder() + "/names.reg",
                  "REGEDIT4\n\n[HKLM\\Enum\\Root\\Redirector\\0042]\n\"New\"=\"1\"\n" +
                      c.importLines);
        args = {"import", temp.folder() + "/names.reg"};
    }
    ToolRun run = travenorReg.run(args);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(isOneLine(run.err)) << run.err;
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
    EXPECT_EQ(storeSnapshot(), before);
}

const std::string nul(1, '\0');

INSTANTIATE_TEST_SUITE_P(
    Names, TravenorRegRefusedName,
    testing::Values(
        RefusedName{"NulKeyBelowRoot",
                    "[HKEY_LOCAL_MACHINE\\" + nul + "]\n\"Root\"=\"r\"\n",
                    {},
                    "line 5: key name holds a NUL byte"},
        RefusedName{"NulInRootName",
                    "[HKEY_LOCAL_MACHINE" + nul + "x\\Enum]\n",
                    {},
                    "line 5: key name holds a NUL byte"},
        RefusedName{"NulAfterPortKey",
                    "[HKLM\\Enum\\Root\\Redirector\\0042" + nul + "1]\n\"PORTNAME\"=\"COM9\"\n",
                    {},
                    "line 5: key name holds a NUL byte"},
        RefusedName{"NulAfterValueName",
                    "\"PORTNAME" + nul + "2\"=\"COM9\"\n",
                    {},
                    "line 5: value name holds a NUL byte"},
        RefusedName{"NulInDeletedValue",
                    "\"PORTNAME" + nul + "2\"=-\n",
                    {},
                    "line 5: value name holds a NUL byte"},
        RefusedName{
            "CrInKeyName", "[HKLM\\Enum\\A\rB]\n", {}, "line 5: key name holds a line break"},
        RefusedName{
            "CrInValueName", "\"A\rB\"=\"x\"\n", {}, "line 5: value name holds a line break"},
        RefusedName{"AddLfInValueName",
                    "",
                    {"add", "HKLM\\Enum\\Root\\Redirector\\0042", "/v", "A\nB", "/d", "x"},
                    "travenor-reg: value name holds a line break"},
        RefusedName{"AddCrInValueName",
                    "",
                    {"add", "HKLM\\Enum\\Root\\Redirector\\0042", "/v", "PORTNAME\r"},
                    "travenor-reg: value name holds a line break"},
        RefusedName{"AddLfInKeyName",
                    "",
                    {"add", "HKLM\\Enum\\A\nB", "/v", "x"},
                    "travenor-reg: key name holds a line break"}),
    [](const testing::TestParamInfo<RefusedName>& info) { return info.param.label; });

TEST(TravenorRegImport, LinesOfBlanksBeforeACrAreEmptyLines) {
    TempStore temp;
    writeText(temp.folder() + "/blank.reg", "REGEDIT4\r\n"
                                            " \t\r\n"
                                            "[HKLM\\Enum\\Root\\Redirector\\0042]\r\n"
                                            "\"PORTNAME\"=\"COM7\"\r\n"
                                            "\t \r\n"
                                            "\"ConfigFlags\"=hex:01,\\\r\n"
                                            "  02\r\n"
                                            "  \r\n");
    ToolRun run = travenorReg.run({"import", temp.folder() + "/blank.reg"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(valueBytes("PORTNAME"), textBytes("COM7"));
    EXPECT_EQ(valueBytes("ConfigFlags"), (std::vector<uint8_t>{1, 2}));
}

namespace {

// "HKLM\Name\k2\k3...": a key `levels` deep.
std::string deepKey(const std::string& name, size_t levels) {
    std::string key = "HKLM\\" + name;
    for (size_t level = 2; level <= levels; level++)
        key += "\\k" + std::to_string(level);
    return key;
}

// A chain of keys under HKLM\Name as a tool without a depth limit wrote it, with a value
// in the deepest key.
void writeOldDeepChain(const TempStore& temp, const std::string& name, size_t levels) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((temp.folder() + "/registry.db").c_str(), &db), SQLITE_OK);
    std::string sql = "BEGIN; INSERT INTO keys(parent, name) VALUES(1, '" + name + "');";
    for (size_t level = 2; level <= levels; level++)
        sql += "INSERT INTO keys(parent, name) VALUES(last_insert_rowid(), 'k" +
               std::to_string(level) + "');";
    sql += "INSERT INTO vals(key, name, type, data) VALUES(last_insert_rowid(), 'V', 1, 'deep');"
           "COMMIT;";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

} // namespace

TEST(TravenorRegDepth, DeeperKeysAreRefusedAndOldDeepKeysExportAndDelete) {
    TempStore temp;
    seedPort();
    const std::string before = storeSnapshot();
    ToolRun run = travenorReg.run({"add", deepKey("Deep", 513), "/v", "V"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "travenor-reg: key is 513 levels deep; at most 512 are allowed\n");
    EXPECT_EQ(storeSnapshot(), before);
    run = travenorReg.run({"add", deepKey("Deep", 512), "/v", "V"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(travenorReg.run({"delete", "HKLM\\Deep"}).exitCode, 0);

    writeOldDeepChain(temp, "Old", 2000);
    const std::string file = temp.folder() + "/old.reg";
    run = travenorReg.run({"export", "HKLM\\Old", file});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string exported = readText(file);
    const std::string deepest = deepKey("Old", 2000).replace(0, 4, "[HKEY_LOCAL_MACHINE");
    EXPECT_NE(exported.find(deepest + "]\n\"V\"=\"deep\"\n"), std::string::npos);

    // Each key is a header and a blank line; the 513th level's header is on line 1027.
    const std::string withOld = storeSnapshot();
    run = travenorReg.run({"import", file});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("line 1027: key is 513 levels deep"), std::string::npos) << run.err;
    EXPECT_EQ(storeSnapshot(), withOld);

    run = travenorReg.run({"delete", "HKLM\\Old"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(storeSnapshot(), before);
}
