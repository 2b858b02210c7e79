#include "app/port_properties_dialog.h"

#include "app/port_list.h"
#include "app/server_address_check.h"
#include "config/host_list.h"
#include "config/manager_context.h"
#include "config/port_registration.h"
#include "platform/message_box.h"
#include "platform/ui_thread.h"
#include "platform/window_boxes.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QValidator>

#include <cstring>

namespace {

constexpr int FIELD_BYTES = 50;
constexpr int COM_NAME_CHARS = 19;
constexpr int COM_PORTS = 99;
constexpr int DEVICE_PORTS = 32;
constexpr const char* HIDDEN_PORT = "(Hidden Port)";
constexpr const char* ADDRESS_TIP = "A Vorlix device server's address or name, or "
                                    "rfc2217://HOST:PORT or socket://HOST:PORT for another "
                                    "serial server";
constexpr const char* PORT_NO_TIP = "Not used for rfc2217:// and socket:// addresses";
constexpr const char* DUPLICATED_HOST =
    "Duplicated Vorlix information detected.\nPlease choose another Vorlix.";

// Dialog template 136, in dialog units.
struct ControlLayout {
    int id;
    const char* caption;
    int x, y, width, height;
};

constexpr int TEMPLATE_WIDTH = 267;
constexpr int TEMPLATE_HEIGHT = 109;
constexpr ControlLayout GROUP_BOX = {0, "General Information", 7, 4, 253, 80};
constexpr ControlLayout BUTTONS[] = {
    {platform::IDOK, "OK", 156, 89, 50, 14},
    {platform::IDCANCEL, "Cancel", 210, 89, 50, 14},
    {IDC_ADD_TO_LIST, "&Add to list", 7, 89, 50, 14},
    {IDC_CLEAR, "Clear", 61, 89, 50, 14},
};
constexpr ControlLayout LABELS[] = {
    {IDC_COM_PORT, "&COM Port ID :", 16, 19, 74, 8},
    {IDC_HOST_ADDRESS, "Vorlix &IP Address :", 16, 35, 74, 8},
    {IDC_PORT_NO, "Vorlix &Port No. :", 16, 51, 74, 8},
    {IDC_HOST_DESCRIPTION, "&Description :", 16, 67, 74, 8},
};
constexpr ControlLayout FIELDS[] = {
    {IDC_COM_PORT, "", 92, 17, 56, 12},
    {IDC_HOST_ADDRESS, "", 92, 33, 158, 12},
    {IDC_PORT_NO, "", 92, 49, 40, 12},
    {IDC_HOST_DESCRIPTION, "", 92, 65, 158, 12},
};

// Dialog base units of Verdana 10 pt at 96 dpi, for the same reason as the main
// window's: the substitute font measures differently, the template does not.
constexpr int BASE_UNIT_X = 8;
constexpr int BASE_UNIT_Y = 16;

QRect pixels(const ControlLayout& control) {
    return QRect(control.x * BASE_UNIT_X / 4, control.y * BASE_UNIT_Y / 8,
                 control.width * BASE_UNIT_X / 4, control.height * BASE_UNIT_Y / 8);
}

QString controlName(int id) {
    return QStringLiteral("control%1").arg(id);
}

// The edit boxes take at most 50 bytes of stored text, as the host entry's fields do;
// a character that needs several bytes counts with all of them.
class StoredLengthValidator : public QValidator {
  public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        return input.toUtf8().size() <= FIELD_BYTES ? Acceptable : Invalid;
    }
};

// What the user left as shown keeps its stored bytes; anything typed is UTF-8.
std::string storedText(const QLineEdit* edit, const std::string& stored) {
    QString shown = edit->text();
    if (shown == storedTextShown(stored))
        return stored;
    QByteArray bytes = shown.toUtf8();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

template <size_t N> bool fieldEquals(const char (&field)[N], const std::string& text) {
    return std::string_view(field, strnlen(field, N)) == text;
}

int firstItemStartingWith(const QComboBox* combo, const QString& prefix) {
    for (int i = 0; i < combo->count(); ++i)
        if (combo->itemText(i).startsWith(prefix, Qt::CaseInsensitive))
            return i;
    return -1;
}

} // namespace

PortPropertiesDialog::PortPropertiesDialog(QWidget* parent, int addMode, int editSlot,
                                           ShowHostRow showHostRow)
    : QDialog(parent), addMode(addMode), editSlot(editSlot), showHostRow_(std::move(showHostRow)) {
    setWindowTitle("Port Properties");
    setFont(QFont("Verdana", 10));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    createControls();
    setFixedSize(TEMPLATE_WIDTH * BASE_UNIT_X / 4, TEMPLATE_HEIGHT * BASE_UNIT_Y / 8);
    control(platform::IDCANCEL)->setVisible(!addMode);
    control(IDC_ADD_TO_LIST)->setVisible(addMode != 0);
    if (!addMode && editSlot >= 0 && editSlot < PORT_SLOTS) {
        PortRecord& record = port(editSlot);
        editEntry_ = record.hostCursor;
        comPort_->setCurrentIndex(firstItemStartingWith(comPort_, record.portName));
        if (editEntry_) {
            portIndex = editEntry_->portNo - 1;
            addressText = std::string(editEntry_->address, strnlen(editEntry_->address, 52));
            descriptionText =
                std::string(editEntry_->description, strnlen(editEntry_->description, 52));
        }
    }
    showMemberValues();
}

void PortPropertiesDialog::createControls() {
    auto* group = new QGroupBox(GROUP_BOX.caption, this);
    group->setGeometry(pixels(GROUP_BOX));
    comPort_ = new QComboBox(this);
    for (int n = 1; n <= COM_PORTS; ++n)
        comPort_->addItem(QStringLiteral("COM%1").arg(n));
    comPort_->setCurrentIndex(-1); // a filled combo box selects its first item by itself
    portNo_ = new QComboBox(this);
    for (int n = 1; n <= DEVICE_PORTS; ++n)
        portNo_->addItem(QString::number(n));
    address_ = new QLineEdit(this);
    description_ = new QLineEdit(this);
    for (QLineEdit* edit : {address_, description_})
        edit->setValidator(new StoredLengthValidator(edit));
    address_->setToolTip(ADDRESS_TIP);
    portNo_->setToolTip(PORT_NO_TIP);
    QWidget* fields[] = {comPort_, address_, portNo_, description_};
    for (size_t i = 0; i < std::size(FIELDS); ++i) {
        fields[i]->setObjectName(controlName(FIELDS[i].id));
        fields[i]->setGeometry(pixels(FIELDS[i]));
        auto* label = new QLabel(LABELS[i].caption, this);
        label->setGeometry(pixels(LABELS[i]));
        label->setBuddy(fields[i]);
    }
    for (const ControlLayout& layout : BUTTONS) {
        auto* button = new QPushButton(layout.caption, this);
        button->setObjectName(controlName(layout.id));
        button->setGeometry(pixels(layout));
        button->setDefault(layout.id == platform::IDOK);
    }
    connect(static_cast<QPushButton*>(control(platform::IDOK)), &QPushButton::clicked, this,
            &PortPropertiesDialog::accept);
    connect(static_cast<QPushButton*>(control(platform::IDCANCEL)), &QPushButton::clicked, this,
            &PortPropertiesDialog::reject);
    connect(static_cast<QPushButton*>(control(IDC_ADD_TO_LIST)), &QPushButton::clicked, this,
            &PortPropertiesDialog::addToList);
    connect(static_cast<QPushButton*>(control(IDC_CLEAR)), &QPushButton::clicked, this,
            &PortPropertiesDialog::clearFields);
}

QWidget* PortPropertiesDialog::control(int id) const {
    return findChild<QWidget*>(controlName(id), Qt::FindDirectChildrenOnly);
}

void PortPropertiesDialog::showMemberValues() {
    address_->setText(storedTextShown(addressText));
    portNo_->setCurrentIndex(portIndex >= 0 && portIndex < portNo_->count() ? portIndex : -1);
    description_->setText(storedTextShown(descriptionText));
}

void PortPropertiesDialog::takeControlValues() {
    addressText = storedText(address_, addressText);
    portIndex = portNo_->currentIndex();
    descriptionText = storedText(description_, descriptionText);
}

// In add mode OK only closes: every entry was saved by "Add to list".
void PortPropertiesDialog::accept() {
    if (addMode || validateAndSave())
        QDialog::accept();
}

void PortPropertiesDialog::addToList() {
    if (!validateAndSave())
        return;
    ++portIndex;
    showMemberValues();
}

void PortPropertiesDialog::clearFields() {
    comPort_->setCurrentIndex(-1);
    addressText.clear();
    descriptionText.clear();
    portIndex = -1;
    showMemberValues();
}

int PortPropertiesDialog::refuse(const char* text) {
    platform::BoxOwnerScope owner(this);
    platform::messageBox(platform::BoxOwner::Window, text, "Error", platform::MB_ICONERROR);
    return 0;
}

// The slot already holding name, -1 when none. Modify mode skips its own slot, and any
// other slot with the name is a duplicate.
int PortPropertiesDialog::ownerOfName(const std::string& name, bool* duplicate) const {
    *duplicate = false;
    for (int k = 0; k < PORT_SLOTS; ++k) {
        if (k == editSlot || !fieldEquals(port(k).portName, name))
            continue;
        *duplicate = editSlot >= 0;
        return k;
    }
    return -1;
}

int PortPropertiesDialog::validateAndSave() {
    takeControlValues();
    if (descriptionText == HIDDEN_PORT)
        return refuse("Can't use that description.\nPlease enter another description string.");
    if (comPort_->currentIndex() < 0)
        return refuse("Please select valid COM port name.");
    if (storedTextShown(addressText).size() < 4)
        return refuse("Invalid IP Address.\nPlease enter correct IP address.");
    if (const char* refusal = serverAddressRefusal(addressText))
        return refuse(refusal);
    if (portIndex < 0)
        return refuse("Please select valid Port No.");
    std::string name = comPort_->currentText().left(COM_NAME_CHARS).toStdString();
    bool duplicate = false;
    int owner = ownerOfName(name, &duplicate);
    if (duplicate)
        return refuse(
            "Duplicated COM port name detected.\nPlease try to choose another port name.");
    if (addMode ? !addEntry(name, owner) : !modifyEntry(name))
        return 0;
    registerPort(editSlot);
    if (addMode)
        editSlot = -1;
    platform::postMessage(platform::WM_REFRESH_LIST, 0, 0);
    if (showHostRow_)
        showHostRow_(name, addressText, portIndex + 1);
    return 1;
}

// A new name makes a port in the lowest free slot; an existing one gets the entry
// appended, whatever the port's state.
bool PortPropertiesDialog::addEntry(const std::string& name, int owner) {
    int slot = owner;
    if (slot < 0) {
        slot = findFreeSlot();
        if (slot < 0) {
            refuse("Redirector can't support over 99 ports.");
            return false;
        }
        freeHostList(port(slot));
        copyField(port(slot).portName, name.c_str());
    } else if (findHost(slot, addressText.c_str(), portIndex + 1)) {
        refuse(DUPLICATED_HOST);
        return false;
    }
    editSlot = slot;
    setHostEntry(*appendHostEntry(port(slot)), addressText, portIndex + 1, descriptionText);
    return true;
}

// The edited entry may keep its own address and port number; the current host is
// left as it is.
bool PortPropertiesDialog::modifyEntry(const std::string& name) {
    HostEntry* found = findHost(editSlot, addressText.c_str(), portIndex + 1);
    if (found && found != editEntry_) {
        refuse(DUPLICATED_HOST);
        return false;
    }
    if (editSlot < 0 || editSlot >= PORT_SLOTS || !editEntry_)
        return false;
    PortRecord& record = port(editSlot);
    copyField(record.portName, name.c_str());
    record.hostCursor = editEntry_;
    setHostEntry(*editEntry_, addressText, portIndex + 1, descriptionText);
    return true;
}
