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


def regedit_import():
    # refusal (0..3), after how many successful calls (0..63), then the file.
    def seed(name, text, refusal=0, after=0):
        write("regedit_import", name, u8(refusal) + u8(after) + text.encode("latin-1"))

    port_file = ("REGEDIT4\r\n\r\n; one redirected port\r\n"
                 "[HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0042]\r\n"
                 "\"PORTNAME\"=\"COM5\"\r\n\"IpAddr01\"=\"192.168.10.20\"\r\n"
                 "\"TCPPortNo01\"=dword:0000000a\r\n"
                 "\"Description01\"=\"Lab \\\"B\\\" rack\\\\2\"\r\n"
                 "\"ConfigFlags\"=hex:04,00,00,00\r\n"
                 "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,\\\r\n"
                 "  0a,0b,0c,0d,0e,0f,10,11,12,13,\\\r\n  14,15,16,17,18,19,1a,1b,1c,1d\r\n")
    seed("port-file", port_file)
    seed("port-file-refused-write", port_file, 1, 3)
    seed("port-file-refused-create", port_file, 2, 0)
    with open(os.path.join(HERE, "..", "docs", "sample-port.reg"), encoding="latin-1") as sample:
        seed("sample-port", sample.read())
    deletions = ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0000]\n"
                 "\"IPADDR01\"=-\n\"NeverThere\"=-\n\n"
                 "[-HKEY_LOCAL_MACHINE\\Enum\\Root\\Redirector\\0099]\n[-HKLM\\Software]\n")
    seed("deletions", deletions)
    seed("deletions-refused", deletions, 3, 1)
    seed("types", "\xef\xbb\xbfREGEDIT4\n[HKLM\\A\\b]\n@=\"d\"\n\"t\"=hex(1):61,00,62\n"
         "\"bin\"=hex(3):ff\n\"dw\"=hex(4):01,02,03,04\n\"e\"=hex:\n\"x\"=dword:1\n", 0, 0)
    seed("blank-lines", "REGEDIT4\r\n \t\r\n[HKLM\\Enum\\Root\\Redirector\\0042]\r\n"
         "\"PORTNAME\"=\"COM7\"\r\n\t \r\n\"ConfigFlags\"=hex:01,\\\r\n  02\r\n  \r\n")
    valid_start = "REGEDIT4\n\n[HKLM\\Enum\\Root\\Redirector\\0042]\n\"PORTNAME\"=\"COM9\"\n"
    bad_bodies = {
        "bad-dword": "\"TCPPortNo01\"=dword:12345678Z\n",
        "unterminated-text": "\"PORTNAME\"=\"COM5\n",
        "bad-escape": "\"PORTNAME\"=\"C\\OM5\"\n",
        "odd-hex": "\"ConfigFlags\"=hex:0,00\n",
        "dangling-continuation": "\"Long\"=hex:00,01,\\\n",
        "other-root": "\n[HKEY_CURRENT_USER\\Software]\n",
        "malformed-key": "\n[HKLM\\Enum\\\\Root]\n",
        "delete-root": "\n[-HKLM]\n",
        "value-after-deleted-key": "[-HKLM\\Enum\\X]\n\"A\"=\"b\"\n",
        "nul-in-name": "\"Ne\x00w\"=\"1\"\n",
        "cr-in-key": "[HKLM\\Enum\\A\rB]\n",
    }
    for name, body in bad_bodies.items():
        seed(name, valid_start + body)


def remote_request():
    # The request's bytes: COM number, device port number, address.
    def request(com, device_port, address, terminated=True):
        return bytes([com & 0xFF, device_port & 0xFF]) + address.encode() + (b"\0" if terminated else b"")

    seeds = {
        "start-com1": request(1, 1, "127.0.0.1"),
        "com7-port-32": request(7, 32, "192.168.10.20"),
        "port-0": request(1, 0, "127.0.0.1"),
        "port-33": request(1, 33, "127.0.0.1"),
        "no-such-com": request(5, 1, "127.0.0.1"),
        "com-minus-56": request(200, 1, "127.0.0.1"),
        "unterminated": request(99, 2, "10.0.0.1", False),
        "address-19": request(1, 1, "a" * 19),
        "address-20": request(1, 1, "a" * 20),
        "address-space": request(1, 1, "10.0 .0.1"),
        "address-empty": request(1, 1, ""),
        "host-name": request(7, 3, "vorlix.example"),
        "two-requests": request(1, 1, "127.0.0.1") + request(7, 1, "127.0.0.2"),
        "one-byte": b"\x01",
        "long": request(1, 1, "127.0.0.1", False) + b"x" * 300,
    }
    for name, content in seeds.items():
        write("remote_request", name, content)


def instance_request():
    # The bytes a client writes on the single-instance socket.
    seeds = {
        "show": b"show\n",
        "show-crlf": b"  show \r\n",
        "open-com1": b"message 1030 1 1\n",
        "close-com1": b"message 1030 1 0\n",
        "open-com7": b"message 1030 7 1\n",
        "open-com99": b"message 1030 99 1\n",
        "no-such-com": b"message 1030 5 1\n",
        "other-message": b"message 1031 0 0\n",
        "extra-word": b"message 1030 1 1 x\n",
        "missing-word": b"message 1030 1\n",
        "unknown": b"hello\n",
        "no-line-end": b"show",
        "long-line": b"x" * 300 + b"\n",
        "two-lines": b"show\nmessage 1030 1 1\n",
        "empty-line": b"\n",
    }
    for name, content in seeds.items():
        write("instance_request", name, content)


def main():
    wanted = sys.argv[1:] or ["packet_reader", "device_receive", "regedit_import", "remote_request",
                              "instance_request"]
    for name in wanted:
        globals()[name]()


main()
