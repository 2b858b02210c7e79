#pragma once
// The Port Properties dialog: the one place where the user creates virtual ports and
// edits host entries.
//   - Add mode (the Add command): each "Add to list" validates the fields and adds
//     one host entry, creating the port when its COM name is new and appending to
//     the port of that name otherwise, registers the port at once and stays open
//     with the next device port number preselected. OK just closes.
//   - Modify mode (the Properties command): shows the hostCursor entry of editSlot;
//     OK validates, changes that entry (and perhaps the port's COM name) and
//     registers the port.
// Every accepted change goes through validateAndSave, which also asks the main
// window to redraw its list and to bring the host's row into view.
//
// Runs modally on the UI thread; its caller owns it (on the stack). Texts are kept as
// the bytes stored in the host entry; what the user types is stored as UTF-8.
#include <QDialog>

#include <functional>
#include <string>

class QComboBox;
class QLineEdit;
struct HostEntry;

enum : int {
    IDC_ADD_TO_LIST = 3,
    IDC_CLEAR = 4,
    IDC_COM_PORT = 1005,
    IDC_PORT_NO = 1007,
    IDC_HOST_ADDRESS = 1011,
    IDC_HOST_DESCRIPTION = 1012,
};

// Brings the row of a host (COM name, address, port number) into view in the main
// window's list.
using ShowHostRow =
    std::function<void(const std::string& name, const std::string& address, int portNumber)>;

class PortPropertiesDialog : public QDialog {
    Q_OBJECT
  public:
    // Add mode when addMode is nonzero (editSlot must be -1); modify mode on the
    // hostCursor entry of editSlot otherwise.
    PortPropertiesDialog(QWidget* parent, int addMode, int editSlot, ShowHostRow showHostRow);

    // The checks in their order; the first that fails shows its message and changes
    // nothing. Nonzero when the entry was saved.
    int validateAndSave();

    // A control by its template id (1..4 buttons, 1005, 1007, 1011, 1012).
    QWidget* control(int id) const;

    int addMode;
    int editSlot;
    std::string addressText; // at most 50 bytes
    int portIndex = -1;      // port number - 1; -1 = none
    std::string descriptionText;

  public Q_SLOTS:
    void accept() override;

  private:
    void createControls();
    void showMemberValues();
    void takeControlValues();
    void addToList();
    void clearFields();
    int refuse(const char* text);
    bool addEntry(const std::string& name, int owner);
    bool modifyEntry(const std::string& name);
    int ownerOfName(const std::string& name, bool* duplicate) const;

    QComboBox* comPort_ = nullptr;
    QComboBox* portNo_ = nullptr;
    QLineEdit* address_ = nullptr;
    QLineEdit* description_ = nullptr;
    ShowHostRow showHostRow_;
    HostEntry* editEntry_ = nullptr; // modify mode: the entry being edited
};
