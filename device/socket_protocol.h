#pragma once
// A raw TCP serial server (`socket://HOST:PORT`) behind DeviceProtocol: the connection
// is the serial line's byte stream and nothing else. No greeting; open, close, line
// settings, modem lines and the keep-alive put nothing on the wire (the settings and
// modem lines are traced and succeed here); the application's data goes as it is, and
// what the server sends becomes the driver's DATA packets.
//
// A raw server says nothing about itself: "MaximumBaud" is RAW_TCP_MAX_SPEED, the
// highest rate code the driver knows (4000000 bit/s), since no rate is ever set.
//
// The keep-alive puts nothing on the wire and a quiet line sends nothing: the silence
// rule leaves the connection alone, and TCP's own keep-alive finds a dead server.
#include "device/device_protocol.h"

// Rate code 29: 4000000 bit/s (docs/port_driver.md, "SREQ bytes").
constexpr uint8_t RAW_TCP_MAX_SPEED = 29;

// The most data bytes read at once when room bytes of driver packets fit: each DATA
// packet of at most 512 bytes costs 4 bytes of its own.
int dataBytesFitting(int room);

class SocketProtocol final : public DeviceProtocol {
  public:
    ProtocolKind kind() const override { return ProtocolKind::RawTcp; }
    DialTarget dialTarget(const char* address, int portNo) const override;

    bool sendGreeting(DeviceSocket& socket) override;
    GreetingCheck checkGreeting(DeviceSocket& socket, DeviceIdentity& identity) override;

    size_t putOpen(std::span<uint8_t> out) const override;
    size_t putSettings(std::span<uint8_t> out, const uint8_t settings[3]) const override;
    size_t putModemControl(std::span<uint8_t> out, uint8_t value) const override;
    size_t putClose(std::span<uint8_t> out) const override;
    size_t putKeepAlive(std::span<uint8_t> out) const override;
    size_t putData(std::span<uint8_t> out, std::span<const uint8_t> data) const override;
    bool silentWhileAlive() const override { return true; }
    size_t largestUnitSize() const override;
    // A byte stream has no units: each byte stands alone, so a connection lost in the
    // middle of a send hands exactly the bytes not taken to the next one.
    size_t sentUnitSize(std::span<const uint8_t> pending) const override;
    size_t readHeldUnit(std::span<const uint8_t> pending,
                        std::vector<uint8_t>& data) const override;
    bool isDataUnit(std::span<const uint8_t> unit) const override;

    int receiveWanted(int room) const override;
    int toDriverPackets(const uint8_t* in, int count, uint8_t* out) override;
};
