#pragma once
// The 16-bit port request from outside the process (WM_WIN16_PORT): open a Ready port
// for a 16-bit application, or take a port back to Ready and close its connection.
// UI thread only.

// comNumber names "COM<n>"; open 1 runs the open procedure for a Ready port, open 0
// takes the port back to Ready and closes its connection. 1 or 0.
int win16PortRequest(int comNumber, bool open);
