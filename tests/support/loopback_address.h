#pragma once
// Loopback addresses for tests, handed out from this one place so that no two tests
// running at the same time listen on the same address: not within one process, not
// between the test processes ctest runs side by side (every test case is a process
// of its own), and not between checkouts tested on the same machine.
//
// Scheme: a process owns one block 127.A.B.0/24 (A and B in 1..254) and hands out
// 127.A.B.1 to 127.A.B.254 in turn, never .0 or .255. The first block it tries comes
// from its process id. It claims a block by binding a socket, without SO_REUSEADDR,
// to 127.A.B.1 port RESERVATION_PORT and keeping it open until the process ends; a
// live process whose id maps to the same block finds the claim taken and moves on to
// the next block. A used-up block is followed by a fresh claim.
//
// 127.0.x.x is never handed out; it stays for addresses a test fixes on purpose
// (127.0.0.1, which "localhost" resolves to). Any thread may call.
#include <string>

// Nothing listens there: the simulator uses 4001 and up, the listeners of the tests too.
constexpr int RESERVATION_PORT = 3999;

// A loopback address no other test in any running test process uses.
std::string allocateLoopbackAddress();

// A TCP port on which, at the time of the call, nothing is bound on any address: for a
// server a test runs on an address of its own. A fixed port (the remote control's 5001)
// may be held on every address by a manager the user runs on the same machine, and
// then no loopback address can have it. Taken from the system's ephemeral range, where
// nobody listens on purpose.
int unusedTcpPort();
