#pragma once
// Editing one port's host list: appending an entry and taking one out. The nodes
// belong to the PortRecord (config/port_table.h), which frees them; these helpers are
// the only code besides the store's load that links or unlinks them.
//
// UI thread only, like every configuration change.
#include "config/port_table.h"

#include <string>

// Appends a zero-filled entry after the last one (or starts the list with it) and
// makes it the record's hostCursor.
HostEntry* appendHostEntry(PortRecord& record);

// Fills an entry; address and description are cut to their fields.
void setHostEntry(HostEntry& entry, const std::string& address, int portNo,
                  const std::string& description);

enum class HostRemoval {
    NotFound,    // no such entry among the first 100
    Removed,     // unlinked and freed; other entries remain
    LastRemoved, // it was the only entry: freed, the list is empty now
};

// Takes the entry with exactly this address and port number out of the list and frees
// it, looking at no more than 100 entries; hostCursor walks with the search.
HostRemoval removeHostEntry(PortRecord& record, const std::string& address, int portNo);
