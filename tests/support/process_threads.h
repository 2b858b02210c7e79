#pragma once
// What a process that should have ended is doing: every thread's stack through gdb
// where it is installed, else each thread's name, state and kernel stack from /proc.
// For the message of a test whose program did not end in time.
#include <string>

std::string processThreads(long pid);
