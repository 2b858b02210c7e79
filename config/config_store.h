#pragma once
// The configuration store of the port table: one registry key per slot,
// "Enum\Root\Redirector\%04d", holding the port's name, its host list and its saved
// current host (docs/configuration.md gives the layout and the load rules).
//
// loadPortTable runs once at start-up on the UI thread, before any worker thread
// exists; saveCurrentHost and freeHostLists run at shutdown on the UI thread, after
// every port has been stopped. The port table owns what is loaded.
#include "config/port_key.h"

// Fills the port table from the store. A slot whose key or "PORTNAME" is missing is
// left free; stale run-time values of the driver link are deleted from every key
// loaded. Always succeeds (returns 1).
int loadPortTable();

// Writes "CurIPAddr" and "CurTCPPortNo" of one slot and flushes the key. When the
// key cannot be opened, shows "Can't Open Registry Key" (no owner) and returns 0;
// otherwise returns nonzero when "CurTCPPortNo" was written.
int saveCurrentHost(int slot);

// Frees the host list of every slot.
void freeHostLists();
