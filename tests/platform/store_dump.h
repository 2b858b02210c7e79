#pragma once
// The whole configuration store as text (every key, value name, type and byte in a
// stable order), for tests that must show that something changed nothing.
#include <string>

std::string storeSnapshot();
