// Handlers and hooks of MainDialog whose work arrives with later parts of the
// manager. Each is reachable from the message table already.
#include "app/main_dialog.h"

// Filled in with the Port Monitor.
void MainDialog::openMonitor() {}
