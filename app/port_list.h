#pragma once
// The main window's port list (control 1000): every configured port with all of
// its hosts, the current host marked with the port's service state, and a
// "(Hidden Port)" row for a current host that is in none of the port's entries.
// It is not a live view: rebuild() redraws it whole from the port table. Per port:
// its host rows in list order (COM ID on the first only), then the hidden-port row
// when there is one; one blank row between two ports.
//
// Every row carries what it stands for (slot, COM name, host address and port number,
// exactly as stored) as item data, so the commands never parse the shown texts back.
//
// Owned by MainDialog; UI thread only. Other threads post WM_REFRESH_LIST.
#include "app/port_row.h"

#include <QTreeWidget>

#include <string>
#include <vector>

enum PortListColumn { COL_COM_ID = 0, COL_ADDRESS, COL_PORT, COL_NAME, COL_STATUS, COLUMN_COUNT };

// A stored text as the list shows it: UTF-8 where it is that, Latin-1 otherwise.
QString storedTextShown(const std::string& text);

class PortList : public QTreeWidget {
    Q_OBJECT
  public:
    explicit PortList(QWidget* parent);

    // Columns, colours and selection behaviour; once, at initialisation.
    void initColumns();
    // Rows from the port table, keeping the first visible row where it was.
    void rebuild();

    int rowCount() const { return topLevelItemCount(); }
    // The shown text of a cell, UTF-8.
    std::string rowText(int row, int column) const;
    PortRow rowAt(int row) const;
    // Indices of the selected rows, ascending.
    std::vector<int> selectedRows() const;
    int topRow() const;
    // Scrolls so that the host row of this port, address and port number is entirely
    // visible, searching the rows present now: the port's first row, then from there
    // the first row with the address, then the first with the port number; a blank
    // row (or a row without address, for the address) ends the search.
    void showHostRow(const std::string& name, const std::string& address, int portNumber);

  Q_SIGNALS:
    // Every row whose selection changed, gaining or losing it alike.
    void rowSelectionChanged(int row);
    void rowDoubleClicked();

  protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    // The COM ID shows on a port's first host row only.
    void addRow(const PortRow& row, bool showComId, const std::string& status);
    void addPortRows(int slot, bool& hostRowAdded);
    void reportSelection(const QItemSelection& selected, const QItemSelection& deselected);
    void restoreTopRow(int top);
};
