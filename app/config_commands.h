#pragma once
// The rules of the commands that change the port configuration, apart from the
// window: Add (the Port Properties dialog in add mode, then the driver's device-node
// refresh), Properties (the dialog in modify mode on one row's host entry) and Remove
// (the host entries of the selected rows; a port goes with its last entry). MainDialog
// hands them the rows it shows, each with what it stands for (app/port_list.h).
//
// UI thread only. Remove does nothing while serviceBusy is set; Add and Properties
// have no such check (Properties refuses a port that is not Stopped).
#include "app/port_list.h"
#include "app/port_properties_dialog.h"

#include <functional>
#include <vector>

class QWidget;

class ConfigCommands {
  public:
    // window owns the dialog and the messages; refreshList redraws the port list;
    // showHostRow brings a host's row into view.
    ConfigCommands(QWidget* window, std::function<void()> refreshList, ShowHostRow showHostRow);

    void add();
    // row: the row last reported as selected; a blank row (or none) does nothing.
    void properties(const PortRow& row);
    // rows: the selected rows in ascending order.
    void remove(const std::vector<PortRow>& rows);

  private:
    enum class RowOutcome { Done, EndCommand };
    RowOutcome removeRow(const PortRow& row, bool& portRemoved);

    QWidget* window_;
    std::function<void()> refreshList_;
    ShowHostRow showHostRow_;
};
