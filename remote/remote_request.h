#pragma once
// One remote-control request and what it does to the port it names. A request is
// whatever one receive of at most 256 bytes returned:
//   byte 0   COM number, signed 8-bit: the port named "COM%d" with it
//   byte 1   device port number, signed 8-bit, 1..32
//   byte 2.. host address (dotted IPv4 or host name), up to the first zero byte or
//            the end of the bytes received, at most 19 printable ASCII characters; a
//            Vorlix device's, never a `socket://` or `rfc2217://` server's
// The answer is one ASCII digit (docs/remote_control.md):
//   '1' started (Ready) or switched   '2' device server not reachable
//   '3' device port or address not usable, or the device refused
//   '4' no such port                  '5' the manager is busy (nothing changed)
//   '6' internal error
//
// answerRemoteRequest runs on the remote-control thread. Everything that touches the
// port table beyond its atomic fields runs on the UI thread: the lookup and the stop of
// a Ready port through callOnUiThread, the start and the switch through the sent
// WM_START_PORT and WM_SWITCH_PORT, exactly as a command would run them.
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t REMOTE_REQUEST_BYTES = 256;
constexpr size_t REMOTE_ADDRESS_CHARS = 19;

enum RemoteReply : char {
    NO_REPLY = 0, // the manager is ending: the client gets nothing
    REPLY_DONE = '1',
    REPLY_NOT_REACHABLE = '2',
    REPLY_REFUSED = '3',
    REPLY_NO_PORT = '4',
    REPLY_BUSY = '5',
    REPLY_INTERNAL = '6',
};

struct RemoteRequest {
    int comNumber = 0;
    int devicePort = 0;
    std::string address;
};

// size: at most REMOTE_REQUEST_BYTES; missing bytes count as zero.
RemoteRequest parseRemoteRequest(const uint8_t* bytes, size_t size);

// Serves the request and returns the reply. Remote-control thread.
RemoteReply answerRemoteRequest(const RemoteRequest& request);
