#pragma once
// The main window's port list (control 1000): every configured port with all of
// its hosts, the current host marked with the port's service state, and a
// "(Hidden Port)" row for a current host that is in none of the port's entries.
// It is not a live view: rebuild() redraws it whole from the port table. The row
// layout is what the Start and Stop commands read back, so it is fixed: per port
// its host rows in list order (COM ID on the first only), then the hidden-port row
// when there is one; one blank row between two ports.
//
// Owned by MainDialog; UI thread only. Other threads post WM_REFRESH_LIST.
#include <QTreeWidget>

#include <string>
#include <vector>

enum PortListColumn { COL_COM_ID = 0, COL_ADDRESS, COL_PORT, COL_NAME, COL_STATUS, COLUMN_COUNT };

// Status texts of the current host's row and of the hidden-port row.
std::string hostRowStatus(int state, int reason);
std::string hiddenRowStatus(int state, int reason);

class PortList : public QTreeWidget {
    Q_OBJECT
  public:
    explicit PortList(QWidget* parent);

    // Columns, colours and selection behaviour; once, at initialisation.
    void initColumns();
    // Rows from the port table, keeping the first visible row where it was.
    void rebuild();

    int rowCount() const { return topLevelItemCount(); }
    std::string rowText(int row, int column) const;
    // Indices of the selected rows, ascending.
    std::vector<int> selectedRows() const;
    int topRow() const;

  Q_SIGNALS:
    // Every row whose selection changed, gaining or losing it alike.
    void rowSelectionChanged(int row);
    void rowDoubleClicked();

  protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    void addRow(const std::string& comId, const std::string& address, int portNo,
                const std::string& name, const std::string& status);
    void addBlankRow();
    void addPortRows(int slot, bool& hostRowAdded);
    void reportSelection(const QItemSelection& selected, const QItemSelection& deselected);
    void restoreTopRow(int top);
};
