#include "remote/remote_request.h"

#include "config/manager_context.h"
#include "config/port_table.h"
#include "device/device_protocol.h"
#include "driverlink/driver_link.h"
#include "platform/ui_thread.h"

#include <cstdio>

using namespace platform;

namespace {

constexpr int MAX_DEVICE_PORT = 32;

// The reply a failed procedure gives, by the reason it left on the port.
struct ReasonReply {
    int reason;
    RemoteReply reply;
};
constexpr ReasonReply REASON_REPLIES[] = {
    {REASON_GIVEN_UP, REPLY_REFUSED},
    {REASON_USER_STOPPED, REPLY_REFUSED},
    {REASON_OK, REPLY_DONE},
    {REASON_IP_NOT_FOUND, REPLY_NOT_REACHABLE},
    {REASON_PORT_DISABLED, REPLY_REFUSED},
    {REASON_COM_NOT_FOUND, REPLY_NO_PORT},
};

RemoteReply replyForReason(int reason) {
    for (const ReasonReply& entry : REASON_REPLIES)
        if (entry.reason == reason)
            return entry.reply;
    return REPLY_INTERNAL;
}

// A longer address is refused rather than cut (a cut address dials another host), and
// so is one that could name no host at all: empty, or with spaces, control characters
// or bytes beyond ASCII. A request names a Vorlix device: an address that a host entry
// would read as another kind of server (`socket://`, `rfc2217://`) is no such device,
// and taken as the current host it would be dialled as that kind.
bool addressUsable(const std::string& address) {
    if (address.empty() || address.size() > REMOTE_ADDRESS_CHARS)
        return false;
    for (unsigned char c : address)
        if (c < 0x21 || c > 0x7E)
            return false;
    return protocolFor(address.c_str()) == ProtocolKind::Vorlix;
}

bool deviceUsable(const RemoteRequest& request) {
    return request.devicePort >= 1 && request.devicePort <= MAX_DEVICE_PORT &&
           addressUsable(request.address);
}

// What the UI thread found for a request, packed into the one number a call returns;
// 0 is what every call returns once the manager is ending.
enum : intptr_t { UI_GONE = 0, NO_SUCH_PORT = 1, SERVICE_BUSY = 2, FIRST_PACKED_SLOT = 3 };
enum class Procedure { Start, Switch };

intptr_t packed(int slot, Procedure procedure) {
    return FIRST_PACKED_SLOT + intptr_t(slot) * 2 + (procedure == Procedure::Start ? 1 : 0);
}
int packedSlot(intptr_t found) {
    return int((found - FIRST_PACKED_SLOT) / 2);
}
Procedure packedProcedure(intptr_t found) {
    return (found - FIRST_PACKED_SLOT) % 2 ? Procedure::Start : Procedure::Switch;
}

// UI thread. Finds the port, makes the request's host its current host and, for a
// Ready port nobody holds, stops it for the restart. Here rather than on the
// remote-control thread: portName and the port's queues and events belong to the UI
// thread, and a stop from another thread would race with its procedures on the port.
intptr_t preparePort(const RemoteRequest& request) {
    // Work still queued when the end of the manager released the waiting thread.
    if (context.endStage != ManagerContext::RUNNING)
        return UI_GONE;
    // A procedure that began after the first look, and waits in its pump, in which this
    // runs: nothing is changed under it.
    if (context.serviceBusy.load())
        return SERVICE_BUSY;
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", request.comNumber);
    int slot = findPortByName(name);
    if (slot < 0)
        return NO_SUCH_PORT;
    PortRecord& record = port(slot);
    setCurrentHost(record, request.address.c_str(), request.devicePort);
    // A port an application holds is never stopped (stopPort would refuse it with a
    // warning to the local user); it is switched.
    if (record.state.load() == PORT_READY && !record.relayActive.load())
        stopPort(slot, false);
    return packed(slot, record.state.load() == PORT_STOPPED ? Procedure::Start : Procedure::Switch);
}

intptr_t runProcedure(int slot, Procedure procedure) {
    if (procedure == Procedure::Switch)
        return sendMessage(WM_SWITCH_PORT, 0, slot);
    intptr_t started = sendMessage(WM_START_PORT, 1, slot);
    postMessage(WM_REFRESH_LIST, 0, 0);
    return started;
}

} // namespace

RemoteRequest parseRemoteRequest(const uint8_t* bytes, size_t size) {
    RemoteRequest request;
    if (size > 0)
        request.comNumber = int8_t(bytes[0]);
    if (size > 1)
        request.devicePort = int8_t(bytes[1]);
    for (size_t i = 2; i < size && i < REMOTE_REQUEST_BYTES && bytes[i] != 0; ++i)
        request.address.push_back(char(bytes[i]));
    return request;
}

RemoteReply answerRemoteRequest(const RemoteRequest& request) {
    if (context.serviceBusy.load())
        return REPLY_BUSY;
    if (!deviceUsable(request))
        return REPLY_REFUSED;
    intptr_t found = callOnUiThread([request] { return preparePort(request); });
    if (found == UI_GONE)
        return NO_REPLY;
    if (found == NO_SUCH_PORT)
        return REPLY_NO_PORT;
    if (found == SERVICE_BUSY)
        return REPLY_BUSY;
    int slot = packedSlot(found);
    if (runProcedure(slot, packedProcedure(found)))
        return REPLY_DONE;
    return replyForReason(port(slot).reason.load());
}
