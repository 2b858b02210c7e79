#pragma once
// Registration of a virtual port with the system. A port exists for the system (and
// for the port driver) through two keys of the configuration store:
//   - its device node "Enum\Root\Redirector\%04d" (slot): the device values, the
//     port's name and its host list, which the configuration store loads back;
//   - its port class key "System\CurrentControlSet\Services\Class\Ports\%04d"
//     (slot + 9000): the virtual-port driver and its default line settings.
// docs/configuration.md lists every value.
//
// Both functions change the store as one transaction: when the store refuses any
// part (a full disk, a store that cannot be written), nothing of the call stays,
// and the store keeps the port exactly as it was before. The port table is never
// rolled back; it is written again whole at the next change.
//
// UI thread only: they show their messages there, after the transaction has ended.
#include <string>

// "System\CurrentControlSet\Services\Class\Ports\%04d" with slot + 9000.
std::string portClassKeyName(int slot);

// Writes both keys of the slot from its PortRecord (the slot must be in use with at
// least one host entry); entries beyond the list are deleted, the saved current host
// ("CurIPAddr", "CurTCPPortNo") is kept. Shows "Can't create Registry Key" (no owner)
// when a key or value cannot be written. Nonzero on success.
int registerPort(int slot);

// Deletes both keys of the slot; a key that is already gone counts as deleted. Shows
// "Can't access Registry." (owned by the main window) and returns 0 when the store
// refuses; then both keys stay.
int unregisterPort(int slot);
