#pragma once
// Puts the global port table back to its start-up state around a test: every slot
// cleared (host lists freed) and highestPortIndex back to 0.
#include "config/manager_context.h"

#include <gtest/gtest.h>

inline void resetPortTable() {
    resetContext();
}

class PortTableReset : public ::testing::Test {
  protected:
    void SetUp() override { resetPortTable(); }
    void TearDown() override { resetPortTable(); }
};

// Appends a host the way the Port Properties dialog does: at the end of the list.
inline HostEntry* appendHost(PortRecord& record, const char* address, int portNo,
                             const char* description = "") {
    auto* entry = new HostEntry{};
    copyField(entry->address, address);
    entry->portNo = portNo;
    copyField(entry->description, description);
    HostEntry** link = &record.hostList;
    while (*link)
        link = &(*link)->next;
    *link = entry;
    return entry;
}
