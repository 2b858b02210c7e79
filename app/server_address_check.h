#pragma once
// What the Port Properties dialog says of a host address that asks for another kind of
// serial server than a Vorlix device: `rfc2217://HOST:PORT` or `socket://HOST:PORT`,
// read by the same rule the connection dials with (device/device_protocol.h). An
// address that asks for no kind (a name, a dotted address) is a Vorlix address and is
// left to the dialog's other checks, as it always was.
//
// Plain rule, no widget; any thread.
#include <string>

// The refusal's message, or nullptr when the address asks for no kind or is a usable
// server address.
const char* serverAddressRefusal(const std::string& address);
