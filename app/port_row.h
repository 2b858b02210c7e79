#pragma once
// What a row of the main window's port list stands for, as the commands take it: the
// slot, the port's name when the row was built, and the host exactly as stored. No
// widget here: the commands (port_commands.h) work on rows without the window.
#include <string>

struct PortRow {
    // A blank separator row has kind Blank and nothing else.
    enum Kind { Blank, Host, Hidden } kind = Blank;
    int slot = -1;
    std::string comName; // the port's name when the row was built
    std::string address; // the stored bytes
    int portNo = 0;
    std::string description; // "(Hidden Port)" on the hidden-port row
};
