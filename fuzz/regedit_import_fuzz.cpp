// travenor-reg import over a real store (SQLite in a temporary folder) from any text,
// with the store made to refuse one of its writes at any point, or not at all. Checks:
// - an import that is refused (bad text, or a write the store refused) leaves the
//   store exactly as it was, byte for byte;
// - an import that succeeds can be exported and read back: importing that export
//   into an empty store gives the same store again (names, types and bytes);
// - the store opens and reads after every input.
//
// Input: the refusal (0: none; 1..3: RegSetValueEx, RegCreateKeyEx, RegDeleteKey or
// RegDeleteValue) and after how many successful calls of that kind (0..63), then the
// file's text. The tool's messages go to /dev/null unless QUORVALINK_FUZZ_VERBOSE is set.
#include "fuzz/fuzz_support.h"
#include "platform/faults.h"
#include "platform/registry.h"
#include "tests/platform/store_dump.h"
#include "tools/travenor_reg/commands.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdlib.h>
#include <unistd.h>

using namespace fuzz;
using namespace platform;

namespace {

std::string folder;
// The baseline's snapshot while the store still holds it (a refused import leaves it).
std::string baseline;
int quietErrors = -1; // /dev/null, or -1 to let the tool's messages through

const PlatformCall REFUSALS[] = {PlatformCall::RegistryWrite, PlatformCall::RegistryCreate,
                                 PlatformCall::RegistryDelete};

void setUp() {
    // On tmpfs when there is one: the store syncs its log at checkpoints.
    char name[] = "/dev/shm/fuzz-regedit-XXXXXX";
    check(mkdtemp(name) != nullptr, "no temporary folder");
    folder = name;
    setenv("QUORVALINK_HOME", folder.c_str(), 1);
    resetRegistryStore();
    std::atexit([] { std::filesystem::remove_all(folder); });
    if (!std::getenv("QUORVALINK_FUZZ_VERBOSE"))
        quietErrors = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
}

void removeEverything() {
    std::vector<std::string> names;
    check(regEnumSubkeys(HKEY_LOCAL_MACHINE, &names) == ERROR_SUCCESS, "the store cannot be read");
    for (const std::string& name : names)
        check(RegDeleteKey(HKEY_LOCAL_MACHINE, name.c_str()) == ERROR_SUCCESS,
              "the store cannot be emptied");
}

void setKey(const char* path, const std::vector<std::pair<const char*, std::string>>& texts) {
    HKEY key = nullptr;
    check(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, &key) == ERROR_SUCCESS, "no baseline key");
    for (const auto& [name, text] : texts)
        regSetString(key, name, text);
    RegCloseKey(key);
}

// The store every input starts from: a port as the sample file has it, the
// operator's setting and values of every type.
void writeBaseline() {
    RegTransaction group;
    removeEverything();
    setKey("Enum\\Root\\Redirector\\0000", {{"PORTNAME", "COM5"},
                                            {"IpAddr01", "127.0.0.1"},
                                            {"Description01", "Embedded \"simulator\"\\1"},
                                            {"CurIPAddr", "127.0.0.1"}});
    setKey("Software\\Quorvalink\\Redirector", {{"RemoteControl", "127.0.0.1"}, {"", "default"}});
    HKEY key = nullptr;
    RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector\\0000", &key);
    regSetDword(key, "TCPPortNo01", 1);
    const uint8_t flags[] = {0, 0, 0, 0, 0xF0, 0xE0};
    RegSetValueEx(key, "ConfigFlags", REG_BINARY, flags, sizeof flags);
    const uint8_t text[] = {'a', 0, 'b', '\n', 'c'};
    RegSetValueEx(key, "Odd", REG_SZ, text, sizeof text);
    RegCloseKey(key);
    check(group.commit() == ERROR_SUCCESS, "the baseline was not written");
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Runs a travenor-reg verb with its messages kept out of the fuzzer's output.
int runTool(int (*verb)(const travenor::Arguments&), const travenor::Arguments& args) {
    int saved = -1;
    if (quietErrors >= 0) {
        std::fflush(stderr);
        saved = ::dup(2);
        ::dup2(quietErrors, 2);
    }
    int code = verb(args);
    if (saved >= 0) {
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
    }
    return code;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    int refusal = int(input.number(0, 3));
    int afterSuccesses = int(input.number(0, 63));
    if (baseline.empty()) {
        writeBaseline();
        baseline = storeSnapshot();
    }
    const std::string before = baseline;
    std::string file = folder + "/import.reg";
    writeFile(file, input.rest());
    if (refusal > 0)
        failPlatformCall(REFUSALS[refusal - 1], afterSuccesses, 1);
    int code = runTool(travenor::importCommand, {file});
    clearPlatformFaults();
    std::string after = storeSnapshot();
    baseline.clear();
    if (code != 0) {
        check(code == 1, "import ended with neither 0 nor 1");
        if (after != before)
            fail("a refused import changed the store:\n" + before + "---\n" + after);
        baseline = after;
        return 0;
    }
    std::string exported = folder + "/export.reg";
    check(runTool(travenor::exportCommand, {"HKLM", exported}) == 0,
          "the store cannot be exported");
    {
        RegTransaction group;
        removeEverything();
        check(group.commit() == ERROR_SUCCESS, "the store cannot be emptied");
    }
    check(runTool(travenor::importCommand, {exported}) == 0, "an export was refused by import");
    if (storeSnapshot() != after)
        fail("export and import changed the store:\n" + after + "---\n" + storeSnapshot());
    return 0;
}
