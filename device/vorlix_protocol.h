#pragma once
// The Vorlix device server's protocol behind DeviceProtocol: the frames of
// device/wire_frames.h on TCP port 4000 + the entry's device port number, IDENT and
// IDENT_REPLY as the greeting, and received frames passed to the driver as they are
// (the device already speaks the driver's packet format), whole frames at a time.
#include "device/device_protocol.h"
#include "rings/ring_queue.h"

class VorlixProtocol final : public DeviceProtocol {
  public:
    ProtocolKind kind() const override { return ProtocolKind::Vorlix; }
    DialTarget dialTarget(const char* address, int portNo) const override;

    bool sendGreeting(DeviceSocket& socket) override;
    GreetingCheck checkGreeting(DeviceSocket& socket, DeviceIdentity& identity) override;

    size_t putOpen(std::span<uint8_t> out) const override;
    size_t putSettings(std::span<uint8_t> out, const uint8_t settings[3]) const override;
    size_t putModemControl(std::span<uint8_t> out, uint8_t value) const override;
    size_t putClose(std::span<uint8_t> out) const override;
    size_t putKeepAlive(std::span<uint8_t> out) const override;
    size_t putData(std::span<uint8_t> out, std::span<const uint8_t> data) const override;
    size_t largestUnitSize() const override;
    size_t sentUnitSize(std::span<const uint8_t> pending) const override;
    size_t readHeldUnit(std::span<const uint8_t> pending,
                        std::vector<uint8_t>& data) const override;
    bool isDataUnit(std::span<const uint8_t> unit) const override;

    int receiveWanted(int room) const override;
    int toDriverPackets(const uint8_t* in, int count, uint8_t* out) override;

  private:
    // The beginning of a frame whose rest has not arrived (UI thread only); at most a
    // longest frame less one byte.
    uint8_t heldFrame_[PACKET_BUFFER_SIZE];
    int heldLength_ = 0;
};
