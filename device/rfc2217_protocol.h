#pragma once
// A Telnet COM-PORT-OPTION (RFC 2217) serial server (`rfc2217://HOST:PORT`) behind
// DeviceProtocol, on the client codec of device/rfc2217_codec.h. The greeting is the
// Telnet negotiation: complete when the server agrees to COM-PORT-OPTION, failed when
// it refuses. Settings and modem lines become COM-PORT-OPTION commands (sent only where
// they changed; kept until the server agreed; a new connection is told the last ones
// again by the port's bookkeeping), data goes with each 0xFF doubled, the keep-alive is a
// question the server should answer (one that does not lives while its system
// acknowledges it). What the server sends becomes the driver's DATA and modem-status
// packets; a server that withdraws COM-PORT-OPTION loses the connection.
//
// The server may negotiate at any time; the codec's answers come out of takeAnswers
// for the receive path to send on the same connection.
//
// The codec is shared by the request side (relay or UI thread, under the port's
// relayLock) and the receive side (UI thread), so it has a lock of its own.
#include "device/device_protocol.h"
#include "device/rfc2217_codec.h"
#include "platform/thread_annotations.h"

#include <algorithm>
#include <atomic>
#include <vector>

// A server says nothing of its highest rate before one is set: "MaximumBaud" is rate
// code 29 (4000000 bit/s), the highest the driver knows.
constexpr uint8_t RFC2217_MAX_SPEED = 29;

class Rfc2217Protocol final : public DeviceProtocol {
  public:
    ProtocolKind kind() const override { return ProtocolKind::Rfc2217; }
    DialTarget dialTarget(const char* address, int portNo) const override;

    bool sendGreeting(DeviceSocket& socket) override;
    bool greetingReadsFromTheStart() const override { return true; }
    bool acknowledgementIsLife() const override { return true; }
    bool connectionUnusable() const override { return withdrawn_.load(); }
    bool holdsData() const override;
    GreetingCheck checkGreeting(DeviceSocket& socket, DeviceIdentity& identity) override;

    size_t putOpen(std::span<uint8_t> out) const override;
    size_t putSettings(std::span<uint8_t> out, const uint8_t settings[3]) const override;
    size_t putModemControl(std::span<uint8_t> out, uint8_t value) const override;
    size_t putClose(std::span<uint8_t> out) const override;
    size_t putKeepAlive(std::span<uint8_t> out) const override;
    size_t putPurge(std::span<uint8_t> out, uint8_t which) const override;
    size_t putBreak(std::span<uint8_t> out, bool on) const override;
    size_t putData(std::span<uint8_t> out, std::span<const uint8_t> data) const override;
    size_t largestUnitSize() const override;
    // A data byte, a doubled 0xFF, a Telnet command or a whole subnegotiation.
    size_t sentUnitSize(std::span<const uint8_t> pending) const override;
    size_t readHeldUnit(std::span<const uint8_t> pending,
                        std::vector<uint8_t>& data) const override;
    // A data byte or a doubled 0xFF.
    bool isDataUnit(std::span<const uint8_t> unit) const override;

    int receiveWanted(int room) const override;
    int toDriverPackets(const uint8_t* in, int count, uint8_t* out) override;
    std::vector<uint8_t> takeAnswers() override;
    std::vector<uint8_t> takeGreetingPackets() override;

  private:
    // A request: write(codec, wire) under the codec's lock, the wire bytes copied into
    // out (they fit: every request is far smaller).
    template <typename Write> size_t put(std::span<uint8_t> out, Write write) const {
        std::vector<uint8_t> wire;
        {
            platform::MutexLock lock(lock_);
            write(codec_, wire);
        }
        size_t length = std::min(out.size(), wire.size());
        std::copy_n(wire.begin(), length, out.begin());
        return length;
    }
    void traceReplies(const rfc2217::Received& received) const;
    size_t keepLineStates(const std::vector<uint8_t>& packets);

    mutable platform::Mutex lock_;
    mutable rfc2217::ClientCodec codec_ GUARDED_BY(lock_);
    std::vector<uint8_t> answers_ GUARDED_BY(lock_);
    std::vector<uint8_t> greetingLineStates_ GUARDED_BY(lock_); // the last 'F0 43 msr'
    std::atomic<bool> withdrawn_{false};
};
