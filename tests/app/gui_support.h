#pragma once
// What the app tests share: one QApplication for the test binary and ports written
// into the configuration store as the Add command would.
#include <string>
#include <vector>

void ensureQtApp();

struct StoredHost {
    std::string address;
    int portNo;
    std::string description;
};

// Writes slot's key: PORTNAME, the numbered host values and the saved current host.
void writeStoredPort(int slot, const std::string& name, const std::vector<StoredHost>& hosts,
                     const std::string& curAddress = "", int curPortNo = 0);

// The saved current host address of slot ("CurIPAddr"): "(none)" when the value is
// missing, "(no key)" when the port's key is.
std::string savedAddress(int slot);
