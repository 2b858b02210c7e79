#pragma once
// Entry points of the stand-in port driver for the rest of the program.
// install() registers the driver with the platform's driver device, so that opening
// "\\.\TUNLVXD.VXD" loads it; call it once at start-up (tests call it before they
// open the device). Any thread.
#include <string>

namespace portdriver {

void install();

// The last modem-status byte (16550 MSR layout) a device sent on the named port
// during its current session; -1 when none arrived or the driver is not loaded.
// The pty cannot hand modem lines to the application, so they are kept here.
int lastModemStatus(const std::string& portName);

} // namespace portdriver
