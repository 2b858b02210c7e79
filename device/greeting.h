#pragma once
// The greeting that starts every new connection to a device server (first open,
// reconnection, switching), and the connect wait before it: drain what the device sent
// before, send the connection's protocol's greeting (Vorlix: IDENT), wait up to
// 10000 ms for its answer (IDENT_REPLY), keep what the device said about itself
// (MAXSPD and INFO) in the port's record.
//
// UI thread only. Both waits pump messages, so other handlers run inside them; a wait
// gives up as soon as the port's connection is replaced or dropped, or its state
// changes, under it (Abandoned / false), and then touches the socket no more.
#include "device/device_protocol.h"

#include <cstdint>

class DeviceSocket;
struct PortRecord;

constexpr uint32_t CONNECT_WAIT_MS = 3000;
constexpr uint32_t REPLY_WAIT_MS = 10000;

enum class GreetingOutcome { Answered, SendFailed, ReceiveFailed, TimedOut, Abandoned };

// pumpWhileDraining: the reconnection and switching procedures pump between the reads
// that empty the connection, the open procedure does not.
GreetingOutcome greetDevice(DeviceSocket& socket, PortRecord& record, bool pumpWhileDraining);

// The greeting in its two halves, for a procedure that waits for several devices at
// once. startGreeting drains the connection and sends the greeting: SendFailed, Abandoned
// or Answered (meaning: sent). checkAnswer looks once at what is pending: the answer
// complete (taken out, what the device said about itself kept), not yet, or failed: a
// receive error, or a connection the device closed or reset without a whole answer.
// Looking asks for no read notification, so a wait that looks at every turn sleeps
// while nothing new comes.
GreetingOutcome startGreeting(DeviceSocket& socket, PortRecord& record, bool pumpWhileDraining);
GreetingCheck checkAnswer(DeviceSocket& socket, PortRecord& record);

// Starts the connect to the port's current host where the socket's protocol says it
// listens: AsyncSocket::Connect's result.
bool connectToCurrentHost(DeviceSocket& socket, PortRecord& record);

// Waits, pumping messages, until the socket is connected or 3000 ms have passed, the
// lookup of a host name included; a name that does not resolve ends it at once.
bool waitForConnect(DeviceSocket& socket, PortRecord& record);

// One turn of every waiting loop: a pending message, or else a millisecond's sleep.
void pumpOrSleep();
// Whether the tick source has passed deadline.
bool pastDeadline(uint32_t deadline);
