#include "portdriver/line_settings.h"

namespace portdriver {

namespace {
// Code = index; ascending, so that codes compare as rates do.
constexpr speed_t baudTable[] = {
    B50,      B75,      B110,     B134,     B150,     B200,     B300,     B600,
    B1200,    B1800,    B2400,    B4800,    B9600,    B19200,   B38400,   B57600,
    B115200,  B230400,  B460800,  B500000,  B576000,  B921600,  B1000000, B1152000,
    B1500000, B2000000, B2500000, B3000000, B3500000, B4000000,
};
constexpr int BAUD_COUNT = sizeof baudTable / sizeof baudTable[0];
// The same rates in bits per second.
constexpr uint32_t rateTable[] = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};
static_assert(sizeof rateTable / sizeof rateTable[0] == BAUD_COUNT);

uint8_t dataBitsCode(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5:
        return 0;
    case CS6:
        return 1;
    case CS7:
        return 2;
    default:
        return 3;
    }
}

uint8_t lcrOf(tcflag_t cflag) {
    uint8_t lcr = dataBitsCode(cflag);
    if (cflag & CSTOPB)
        lcr |= LCR_STOP_BITS_2;
    if (cflag & PARENB) {
        lcr |= LCR_PARITY_ENABLE;
        if (!(cflag & PARODD))
            lcr |= LCR_EVEN_PARITY;
        if (cflag & CMSPAR)
            lcr |= LCR_STICK_PARITY;
    }
    return lcr;
}

uint8_t flowOf(const termios& settings) {
    uint8_t flow = 0;
    if (settings.c_cflag & CRTSCTS)
        flow |= FLOW_RTS_CTS;
    if (settings.c_iflag & IXON)
        flow |= FLOW_XON_XOFF_OUTPUT;
    if (settings.c_iflag & IXOFF)
        flow |= FLOW_XON_XOFF_INPUT;
    return flow;
}
} // namespace

uint8_t baudCodeOf(speed_t speed) {
    for (int code = 0; code < BAUD_COUNT; ++code) {
        if (baudTable[code] == speed)
            return uint8_t(code);
    }
    return BAUD_CODE_UNKNOWN;
}

speed_t speedOfRate(uint32_t bitsPerSecond) {
    if (bitsPerSecond == 0)
        return B0;
    for (int code = 0; code < BAUD_COUNT; ++code) {
        if (rateTable[code] == bitsPerSecond)
            return baudTable[code];
    }
    return SPEED_OTHER;
}

speed_t speedOfBaudCode(uint8_t code) {
    return code < BAUD_COUNT ? baudTable[code] : B0;
}

LineSettings lineSettingsOf(const termios& settings) {
    return {baudCodeOf(cfgetospeed(&settings)), lcrOf(settings.c_cflag), flowOf(settings)};
}

} // namespace portdriver
