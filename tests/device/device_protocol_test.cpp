#include "device/device_protocol.h"

#include "rings/ring_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Addresses as host entries hold them today, and malformed server addresses: each names
// a Vorlix device server (one that cannot be reached, for the malformed ones).
TEST(ProtocolFor, EveryAddressStoredTodayIsAVorlixDeviceServer) {
    const std::string longest(49, 'a');
    for (const char* address : {"192.168.0.10",
                                "127.0.0.1",
                                "device-7.plant.example",
                                "fe80::1",
                                "[fe80::1]",
                                "host:4001",
                                "ftp://host:21",
                                "",
                                longest.c_str(),
                                "socket://",
                                "socket://host",
                                "socket://host:",
                                "socket://:4001",
                                "socket://host:0",
                                "socket://host:65536",
                                "socket://host:04001",
                                "socket://host:40a1",
                                "socket://host:+401",
                                "rfc2217://host",
                                "rfc2217://fe80::1:4001",
                                "rfc2217://[]:4001",
                                "rfc2217://[fe80::1:4001",
                                "rfc2217://[host]:4001",
                                "rfc2217://ho st:4001",
                                "RFC2217://host:4001",
                                "rfc2217:/host:4001",
                                "socket://host:4001/"})
        EXPECT_EQ(protocolFor(address), ProtocolKind::Vorlix) << '"' << address << '"';
}

// Server addresses in the form pyserial users know: the kind from the scheme, where to
// dial from HOST and PORT (the entry's device port number plays no part).
TEST(ProtocolFor, ServerAddressesNameTheirKindAndWhereTheyListen) {
    struct Case {
        const char* address;
        ProtocolKind kind;
        const char* host;
        uint16_t port;
    };
    const Case cases[] = {
        {"socket://10.0.0.7:4001", ProtocolKind::RawTcp, "10.0.0.7", 4001},
        {"socket://serial-box.lab:1", ProtocolKind::RawTcp, "serial-box.lab", 1},
        {"rfc2217://127.0.0.1:65535", ProtocolKind::Rfc2217, "127.0.0.1", 65535},
        {"rfc2217://ser2net_host:2217", ProtocolKind::Rfc2217, "ser2net_host", 2217},
        {"rfc2217://[fe80::1]:7000", ProtocolKind::Rfc2217, "fe80::1", 7000},
        {"socket://[::ffff:10.0.0.1]:23", ProtocolKind::RawTcp, "::ffff:10.0.0.1", 23},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        ProtocolKind kind = protocolFor(c.address);
        EXPECT_EQ(kind, c.kind);
        for (int portNo : {1, 16}) {
            DialTarget target = makeProtocol(kind)->dialTarget(c.address, portNo);
            EXPECT_EQ(target.host, c.host);
            EXPECT_EQ(target.port, c.port);
        }
    }
}

// A Vorlix device server listens on 4000 + the entry's device port number.
TEST(ProtocolFor, AVorlixEntryIsDialledAtItsDevicePort) {
    DialTarget target = makeProtocol(ProtocolKind::Vorlix)->dialTarget("10.1.2.3", 7);
    EXPECT_EQ(target.host, "10.1.2.3");
    EXPECT_EQ(target.port, 4007);
}

// What every protocol owes the pending frames: where each unit it writes ends is a place
// its measure stops (a connection lost in the middle of one must know where it ends),
// DATA included; a byte stream may measure in smaller steps, never across a unit's end.
// Nothing it writes is larger than the room the relay keeps for it.
class ProtocolContract : public testing::TestWithParam<ProtocolKind> {
  protected:
    std::shared_ptr<DeviceProtocol> protocol_ = makeProtocol(GetParam());

    static Bytes sentData() {
        Bytes data(MAX_DATA_LENGTH);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(255 - i); // 0xF0, 0xE0 and 0xFF among them
        return data;
    }

    // Every request once, one after another, as the pending frames hold them.
    std::vector<Bytes> units() const {
        const uint8_t settings[3] = {0x0C, 0x03, 0x00};
        const Bytes data = sentData();
        std::vector<Bytes> written;
        auto put = [&](auto write) {
            Bytes out(protocol_->largestUnitSize() + MAX_CONTROL_UNIT_SIZE);
            out.resize(write(std::span<uint8_t>(out)));
            written.push_back(out);
        };
        put([&](std::span<uint8_t> out) { return protocol_->putOpen(out); });
        put([&](std::span<uint8_t> out) { return protocol_->putSettings(out, settings); });
        put([&](std::span<uint8_t> out) { return protocol_->putModemControl(out, 0x03); });
        put([&](std::span<uint8_t> out) { return protocol_->putData(out, data); });
        put([&](std::span<uint8_t> out) { return protocol_->putData(out, {}); });
        put([&](std::span<uint8_t> out) { return protocol_->putKeepAlive(out); });
        put([&](std::span<uint8_t> out) { return protocol_->putClose(out); });
        put([&](std::span<uint8_t> out) { return protocol_->putPurge(out, 3); });
        put([&](std::span<uint8_t> out) { return protocol_->putBreak(out, true); });
        return written;
    }
    static bool isData(size_t unitIndex) { return unitIndex == 3 || unitIndex == 4; }
};

// Measured as the relay keeps whole frames for the next connection, and read back as a
// switch to a server of another kind writes them again: the data, and only the data.
TEST_P(ProtocolContract, EveryUnitItWritesIsMeasuredAndReadBackWhole) {
    Bytes pending;
    std::vector<size_t> starts;
    for (const Bytes& unit : units()) {
        EXPECT_LE(unit.size(), protocol_->largestUnitSize());
        if (unit.empty())
            continue;
        starts.push_back(pending.size());
        pending.insert(pending.end(), unit.begin(), unit.end());
    }
    starts.push_back(pending.size());
    for (size_t i = 0; i + 1 < starts.size(); ++i) {
        size_t at = starts[i];
        while (at < starts[i + 1]) {
            size_t size = protocol_->sentUnitSize({pending.data() + at, pending.size() - at});
            ASSERT_NE(size, 0u) << "unit " << i << " at " << at;
            at += size;
        }
        EXPECT_EQ(at, starts[i + 1]) << "unit " << i;
    }
    Bytes data;
    for (size_t at = 0; at < pending.size();) {
        size_t size = protocol_->readHeldUnit({pending.data() + at, pending.size() - at}, data);
        ASSERT_NE(size, 0u) << "read back at " << at;
        at += size;
    }
    EXPECT_EQ(data, sentData());
}

// An output flush drops the data units not yet sent and keeps every other request.
TEST_P(ProtocolContract, OnlyTheApplicationsDataIsMeasuredAsData) {
    std::vector<Bytes> written = units();
    for (size_t i = 0; i < written.size(); ++i) {
        std::span<const uint8_t> unit(written[i]);
        for (size_t at = 0; at < unit.size();) {
            size_t size = protocol_->sentUnitSize(unit.subspan(at));
            ASSERT_NE(size, 0u) << "unit " << i;
            EXPECT_EQ(protocol_->isDataUnit(unit.subspan(at, size)), isData(i)) << "unit " << i;
            at += size;
        }
    }
}

TEST_P(ProtocolContract, DataThatDoesNotFitIsRefusedWhole) {
    Bytes data(MAX_DATA_LENGTH, 0x41);
    Bytes out(data.size() - 1, 0x5A);
    EXPECT_EQ(protocol_->putData(out, data), 0u);
    EXPECT_EQ(out, Bytes(data.size() - 1, 0x5A));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ProtocolContract,
                         testing::Values(ProtocolKind::Vorlix, ProtocolKind::RawTcp,
                                         ProtocolKind::Rfc2217),
                         [](const auto& info) {
                             switch (info.param) {
                             case ProtocolKind::Vorlix:
                                 return std::string("Vorlix");
                             case ProtocolKind::RawTcp:
                                 return std::string("RawTcp");
                             case ProtocolKind::Rfc2217:
                                 break;
                             }
                             return std::string("Rfc2217");
                         });

// A Vorlix device and a raw byte stream have no flush or break of the line: their wire
// stays as it was.
TEST(ProtocolFor, FlushAndBreakPutNothingWhereTheServerHasNoSuchRequest) {
    for (ProtocolKind kind : {ProtocolKind::Vorlix, ProtocolKind::RawTcp}) {
        std::shared_ptr<DeviceProtocol> protocol = makeProtocol(kind);
        Bytes out(MAX_CONTROL_UNIT_SIZE);
        EXPECT_EQ(protocol->putPurge(out, 3), 0u);
        EXPECT_EQ(protocol->putBreak(out, true), 0u);
        EXPECT_EQ(protocol->putBreak(out, false), 0u);
    }
}

// The servers that send the serial line's bytes as they are: what is read for the
// inQueue's room, made into DATA packets, fits that room, cut where the driver's reader
// cuts, and carries the bytes unchanged.
class ByteStreamReceive : public testing::TestWithParam<ProtocolKind> {};

TEST_P(ByteStreamReceive, WhatIsReadForTheRoomFitsItAsWholeDataPackets) {
    for (int room : {0, 4, 5, 516, 517, 1040, 1041, RING_SIZE}) {
        SCOPED_TRACE(room);
        std::shared_ptr<DeviceProtocol> protocol = makeProtocol(GetParam());
        int wanted = protocol->receiveWanted(room);
        ASSERT_GE(wanted, 0);
        Bytes in(static_cast<size_t>(wanted), 0);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = uint8_t(i % 255); // no 0xFF: a Telnet server would double it
        Bytes out(PACKET_BUFFER_SIZE + in.size());
        int length = protocol->toDriverPackets(in.data(), wanted, out.data());
        EXPECT_LE(length, room);
        EXPECT_EQ(decidedLength(out.data(), length), length);
        Bytes data;
        for (int at = 0; at + 4 <= length;) {
            int size = out[size_t(at) + 2] * 256 + out[size_t(at) + 3];
            data.insert(data.end(), out.begin() + at + 4, out.begin() + at + 4 + size);
            at += 4 + size;
        }
        EXPECT_EQ(data, in);
        if (room >= 517) {
            EXPECT_GT(wanted, room - 4 * (room / 512 + 2) - 8); // not needlessly small
        }
    }
}

// A modem-state notice cut by the read before completes in this one: its packet, and the
// DATA packet the data after it needs, still fit the room.
TEST(Rfc2217Receive, ANoticeCutByTheReadBeforeStillFitsTheRoom) {
    for (int room : {16, 300, 517, RING_SIZE}) {
        SCOPED_TRACE(room);
        std::shared_ptr<DeviceProtocol> protocol = makeProtocol(ProtocolKind::Rfc2217);
        Bytes out(PACKET_BUFFER_SIZE + RING_SIZE);
        Bytes agreedThenCut = {255, 253, 44, 255, 250, 44, 107, 0x30, 255}; // DO, notice to IAC
        protocol->toDriverPackets(agreedThenCut.data(), int(agreedThenCut.size()), out.data());
        int wanted = protocol->receiveWanted(room);
        ASSERT_GT(wanted, 0);
        Bytes in(size_t(wanted), 'x');
        in[0] = 240; // the notice's SE
        EXPECT_LE(protocol->toDriverPackets(in.data(), wanted, out.data()), room);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ByteStreamReceive,
                         testing::Values(ProtocolKind::RawTcp, ProtocolKind::Rfc2217),
                         [](const auto& info) {
                             return std::string(info.param == ProtocolKind::RawTcp ? "RawTcp"
                                                                                   : "Rfc2217");
                         });

} // namespace
