#pragma once
// `ReconnectPort`: the automatic recovery of ports whose device went silent or closed
// the connection while an application holds them (the relay thread marked them
// Reconnecting). One run works in cycles on every Reconnecting port until none is
// left: it waits (2000 ms, then 1000 ms more per cycle up to 20000 ms, halved per
// success), connects each port anew to its current host, identifies the device and
// replays `OPEN` and the last `SREQ`. The application notices nothing but a pause.
//
// The ports of one cycle are connected and identified side by side rather than one
// after another, each as soon as it can: a port whose device is back does not wait
// behind dead ones.
//
// UI thread only, as the handler of WM_RECONNECT_PORT. Its waits pump messages; a
// request that arrives while a run is going on is served by that run.

// Returns 1.
int reconnectPort();
