#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/NAME/) from the cases the
tests use. Each target's input layout is described at the top of its source; numbers
are big-endian in as few bytes as their range needs (see InputReader)."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(value):
    return bytes([value])


def u16(value):
    return value.to_bytes(2, "big")


def data_frame(payload):
    return b"\xf0\x31" + u16(len(payload)) + payload + b"\xe0"


def ident_reply(maxspd=7, info=(1, 0, 2, 1)):
    return b"\xf0\x12" + b"VORLIX-SIM" + bytes([maxspd]) + bytes(info) + b"\xe0"


def write(target, name, content):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(content)


def packet_reader():
    # start index (0..5119), then pieces: length (0..1200), read after, reader protocol.
    def piece(data, read=1, protocol=0):
        return u16(len(data)) + u8(read) + u8(protocol) + data

    edge_cases = {
        "skip-before-open": b"\x10\x20\xf0\x71",
        "incomplete-data": b"\xf0\x31\x00",
        "data-513": b"\xf0\x31\x02\x01" + b"\x41\xf0\x72" + b"\x00" * 20,
        "double-start": b"\xf0\xf0\x72",
        "close-open": b"\xf0\x72\xe0\xf0\x71",
        "data-512": b"\xf0\x31\x02\x00" + bytes(range(256)) * 2,
        "data-0": b"\xf0\x31\x00\x00",
        "sreq-mcr-msr": b"\xf0\x21\x0c\x03\x00\xf0\x41\x03\xf0\x43\xb0\xf0\x61\xf0\x62",
    }
    for name, stream in edge_cases.items():
        write("packet_reader", name, u16(0) + piece(stream))
    # A DATA packet across the end of the ring, fed byte by byte with the reader protocol.
    frame = b"\xf0\x31\x00\x20" + bytes(range(0x20))
    write("packet_reader", "wrap-bytewise",
          u16(5110) + b"".join(piece(frame[i:i + 1], 1, 1) for i in range(len(frame))))
    # More than the ring holds before any read.
    burst = b"".join(b"\xf0\x31\x02\x00" + bytes([i]) * 512 for i in range(11))
    write("packet_reader", "fill-ring",
          u16(100) + b"".join(piece(burst[i:i + 1200], 0) for i in range(0, len(burst), 1200)))


def device_receive():
    # greeting length (0..255) and bytes, then pieces: length (0..2047), driver reads.
    def piece(data, reads=1):
        return u16(len(data)) + u8(reads) + data

    def seed(greeting, pieces):
        return u8(len(greeting)) + greeting + b"".join(pieces)

    reply = ident_reply()
    traffic = data_frame(b"hello\r\n") + b"\xf0\x43\x30\xe0" + data_frame(b"")
    write("device_receive", "plain", seed(b"", [piece(reply), piece(traffic)]))
    write("device_receive", "greeting-garbage",
          seed(b"VORLIX-SIM READY\r\n", [piece(b"\x00\xf0\x99\xe0\x12\x41" + reply), piece(traffic)]))
    write("device_receive", "reply-in-pieces",
          seed(b"", [piece(reply[:2]), piece(reply[2:9]), piece(reply[9:]), piece(traffic)]))
    write("device_receive", "stray-reply-first",
          seed(b"", [piece(b"\xf0\x12\x00\x00" + reply), piece(traffic)]))
    write("device_receive", "bytes-with-reply", seed(b"", [piece(reply + traffic)]))
    frames = b"".join(data_frame(bytes([i]) * 512) for i in range(12))
    write("device_receive", "inqueue-full",
          seed(b"", [piece(reply)] + [piece(frames[i:i + 2000], 0) for i in range(0, len(frames), 2000)]))
    write("device_receive", "truncated-frame",
          seed(b"", [piece(reply), piece(b"\xf0\x31\x01\x00" + b"A" * 40), piece(traffic)]))


def main():
    wanted = sys.argv[1:] or ["packet_reader", "device_receive"]
    for name in wanted:
        globals()[name]()


main()
