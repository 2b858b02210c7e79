#pragma once
// The identification exchange that starts every new connection to a device server
// (first open, reconnection, switching), and the connect wait before it: drain what
// the device sent before, send `IDENT`, wait up to 10000 ms for `IDENT_REPLY`, take
// MAXSPD and INFO into the port's record.
//
// UI thread only. Both waits pump messages, so other handlers run inside them; a wait
// gives up as soon as the port's connection is replaced or dropped, or its state
// changes, under it (Abandoned / false), and then touches the socket no more.
#include <cstdint>

class DeviceSocket;
struct PortRecord;

constexpr uint32_t CONNECT_WAIT_MS = 3000;
constexpr uint32_t REPLY_WAIT_MS = 10000;

enum class IdentOutcome { Identified, SendFailed, ReceiveFailed, TimedOut, Abandoned };

// pumpWhileDraining: the reconnection and switching procedures pump between the reads
// that empty the connection, the open procedure does not.
IdentOutcome identifyDevice(DeviceSocket& socket, PortRecord& record, bool pumpWhileDraining);

// The exchange in its two halves, for a procedure that waits for several devices at
// once. sendIdent drains the connection and sends `IDENT`: SendFailed, Abandoned or
// Identified (meaning: sent). checkReply looks once at what is pending: the reply
// complete (taken out, MAXSPD and INFO kept), not yet, or failed: a receive error, or a
// connection the device closed or reset without a whole reply. Looking asks for no
// read notification, so a wait that looks at every turn sleeps while nothing new comes.
IdentOutcome sendIdent(DeviceSocket& socket, PortRecord& record, bool pumpWhileDraining);
enum class ReplyCheck { Complete, Waiting, Failed };
ReplyCheck checkReply(DeviceSocket& socket, PortRecord& record);

// Waits, pumping messages, until the socket is connected or 3000 ms have passed, the
// lookup of a host name included; a name that does not resolve ends it at once.
bool waitForConnect(DeviceSocket& socket, PortRecord& record);

// One turn of every waiting loop: a pending message, or else a millisecond's sleep.
void pumpOrSleep();
// Whether the tick source has passed deadline.
bool pastDeadline(uint32_t deadline);
