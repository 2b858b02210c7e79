// A port as the manager saves it, carried by travenor-reg's REGEDIT4 export and import
// into another store, and loaded from there.
#include "config/config_store.h"
#include "config/port_registration.h"
#include "tests/platform/store_dump.h"
#include "tests/support/clean_context.h"
#include "tests/support/port_hosts.h"
#include "tests/support/temp_store.h"
#include "tests/tools/tool_runner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

const Tool travenorReg(TRAVENOR_REG_PATH);

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool hasLine(const std::string& text, const std::string& line) {
    return text.find("\n" + line + "\n") != std::string::npos;
}

} // namespace

// An entry of each kind of server, the current host on an RFC 2217 server: exported as
// typed, and the import gives an empty store the same values and the manager the same
// port.
TEST(PortExport, EveryKindOfHostRoundTripsAndLoadsUnchanged) {
    const std::vector<HostValues> hosts = {{"10.0.0.1", 1, "vorlix"},
                                           {"rfc2217://[fe80::1]:2217", 2, "ser2net"},
                                           {"socket://serial-box.lab:4001", 3, "raw"}};
    const std::string file = "/tmp/quorvalink-port-export-" + std::to_string(::getpid()) + ".reg";
    CleanContext clean;
    std::string before;
    {
        TempStore temp;
        setPortHosts(7, "COM8", hosts);
        ASSERT_NE(registerPort(7), 0);
        setCurrentHost(port(7), hosts[1].address.c_str(), 2);
        ASSERT_NE(saveCurrentHost(7), 0);
        before = storeSnapshot();
        ASSERT_EQ(travenorReg.run({"export", "HKEY_LOCAL_MACHINE", file}).exitCode, 0);
    }
    std::string exported = readText(file);
    EXPECT_TRUE(hasLine(exported, "\"IpAddr02\"=\"rfc2217://[fe80::1]:2217\"")) << exported;
    EXPECT_TRUE(hasLine(exported, "\"IpAddr03\"=\"socket://serial-box.lab:4001\"")) << exported;
    EXPECT_TRUE(hasLine(exported, "\"CurIPAddr\"=\"rfc2217://[fe80::1]:2217\"")) << exported;
    resetContext();
    TempStore fresh;
    ToolRun run = travenorReg.run({"import", file});
    std::remove(file.c_str());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(storeSnapshot(), before);
    loadPortTable();
    EXPECT_EQ(hostsOf(7), hosts);
    EXPECT_EQ(currentHostOf(7), (CurrentHostValues{hosts[1].address, 2}));
}
