#pragma once
// SwitchPort: moves a port that an application holds open to another device server
// without closing the application's port. The caller has written the new host into
// curAddress and curTcpPort; the old connection is dropped, the new host connected
// and identified, and `OPEN` and the last `SREQ` replayed on it. A failed switch does
// not fall back to the old host: the port reports the reason ('2' not reachable, '3'
// refused or not answering, '6' no socket) and becomes COM Opened while the
// application holds it. A port that no application holds, or no longer holds once
// the new device has answered, is restarted and ends Ready, with no connection.
//
// UI thread only, as the handler of WM_SWITCH_PORT (posted by Start, sent by the
// remote controller). Its waits pump messages; when another handler stops, closes or
// replaces the port meanwhile, the switch gives up and leaves the port to it.

// 1 when the port ended Connected on the new host, 0 otherwise.
int switchPort(int slot);
