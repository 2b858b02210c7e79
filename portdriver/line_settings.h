#pragma once
// The three SREQ bytes the driver sends when an application changes the line
// settings of its virtual port: a baud-rate code, a line-control byte in 16550 LCR
// layout and flow-control flags, all taken from the port's termios. The codes are
// listed in docs/port_driver.md. Pure functions; any thread.
#include <cstdint>
#include <termios.h>

namespace portdriver {

// LCR bits (16550 layout).
enum : uint8_t {
    LCR_STOP_BITS_2 = 0x04,
    LCR_PARITY_ENABLE = 0x08,
    LCR_EVEN_PARITY = 0x10,
    LCR_STICK_PARITY = 0x20,
};

// Flow-control flag bits.
enum : uint8_t {
    FLOW_RTS_CTS = 0x01,
    FLOW_XON_XOFF_OUTPUT = 0x02,
    FLOW_XON_XOFF_INPUT = 0x04,
};

constexpr uint8_t BAUD_CODE_UNKNOWN = 0xFF;
// The kernel's BOTHER (not in glibc's termios.h): the rate is given in bits per second
// beside the flags (termios2).
constexpr speed_t SPEED_OTHER = 0010000;

struct LineSettings {
    uint8_t baudCode;
    uint8_t lcr;
    uint8_t flow;
    bool operator==(const LineSettings&) const = default;
};

// BAUD_CODE_UNKNOWN for B0 and any rate outside the table.
uint8_t baudCodeOf(speed_t speed);
// The speed constant of a rate in bits per second: B0 for 0, SPEED_OTHER for a rate
// outside the table.
speed_t speedOfRate(uint32_t bitsPerSecond);
// The speed a code stands for, B0 for an unknown code.
speed_t speedOfBaudCode(uint8_t code);
LineSettings lineSettingsOf(const termios& settings);

} // namespace portdriver
