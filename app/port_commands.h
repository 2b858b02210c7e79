#pragma once
// The rules of the main window's service commands, apart from the window: Start and
// Stop for the rows the user selected, Start All and Stop All for every configured
// port, and Exit. MainDialog hands them the selected rows and a way to redraw the
// list; they ask their questions through the message-box wrapper.
//
// UI thread only. The commands do nothing while serviceBusy is set.
#include "app/port_row.h"

#include <functional>
#include <vector>

class PortCommands {
  public:
    // refreshList redraws the port list; showWindow brings the window up before a
    // message that is about it.
    PortCommands(std::function<void()> refreshList, std::function<void()> showWindow);

    // rows: the selected rows in ascending order (at most 1023 are served).
    void startSelected(std::vector<PortRow> rows);
    void stopSelected(std::vector<PortRow> rows);
    void startAll();
    void stopAll();
    // Stops every port (a port an application holds refuses), saves each port's
    // current host and lets the worker threads end. False when the manager stays up
    // (busy, or a port refused: then it says so).
    bool exitManager();

  private:
    void startRow(const PortRow& row);
    void stopRow(const PortRow& row);
    bool stopEveryPort();

    std::function<void()> refreshList_;
    std::function<void()> showWindow_;
};

// The end of the manager whatever way out it takes: every port stopped, in use or not,
// each current host saved (Exit has done both already), the relay thread ended and
// the driver unloaded, which removes the links. Asks nobody: message boxes are
// answered silently from here on. Runs once; later calls do nothing.
void endManager();
// Whether endManager has run to its end.
bool managerFinished();
