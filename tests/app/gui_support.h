#pragma once
// What the app tests share: one QApplication for the test binary, a pump with a
// deadline, and ports written into the configuration store as the Add command would.
#include <functional>
#include <string>
#include <vector>

void ensureQtApp();
// Pumps the UI thread until done() holds; false when timeoutMs passed first.
bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

struct StoredHost {
    std::string address;
    int portNo;
    std::string description;
};

// Writes slot's key: PORTNAME, the numbered host values and the saved current host.
void writeStoredPort(int slot, const std::string& name, const std::vector<StoredHost>& hosts,
                     const std::string& curAddress = "", int curPortNo = 0);
// Empties every slot of the port table.
void clearPortTable();
