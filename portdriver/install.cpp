#include "portdriver/install.h"

#include "platform/driver_device.h"
#include "portdriver/port_driver.h"

namespace portdriver {

namespace {
std::unique_ptr<platform::DriverBackend> loadDriver() {
    return std::make_unique<PortDriver>();
}
} // namespace

void install() {
    platform::setDriverFactory(&loadDriver);
}

int lastModemStatus(const std::string& portName) {
    return PortDriver::withLoaded([&](PortDriver& driver) { return driver.modemStatus(portName); },
                                  -1);
}

} // namespace portdriver
