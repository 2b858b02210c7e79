#include "app/port_list.h"

#include "config/manager_context.h"

#include <QHeaderView>
#include <QMouseEvent>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

struct StatusText {
    int value;
    const char* text;
};

constexpr StatusText HOST_STATE_TEXTS[] = {
    {PORT_STOPPED, "Stopped"},       {PORT_CONNECTING, "Connecting"},
    {PORT_CONNECTED, "Connected"},   {PORT_RECONNECTING, "Reconnecting"},
    {PORT_COM_OPENED, "COM Opened"}, {PORT_SWITCHING, "Switching"},
    {PORT_READY, "Ready"},
};
constexpr StatusText HOST_REASON_TEXTS[] = {
    {REASON_GIVEN_UP, "Disconnected"},        {REASON_OK, ""},
    {REASON_IP_NOT_FOUND, "IP Not Found"},    {REASON_PORT_DISABLED, "Port Disabled"},
    {REASON_COM_NOT_FOUND, "Internal Error"}, {REASON_INTERNAL, "Internal Error"},
};

constexpr StatusText HIDDEN_STATE_TEXTS[] = {
    {PORT_STOPPED, "Stopped"},       {PORT_CONNECTING, "Connecting..."},
    {PORT_CONNECTED, "Connected"},   {PORT_RECONNECTING, "Reconnecting"},
    {PORT_COM_OPENED, "COM Opened"}, {PORT_SWITCHING, "Switching"},
    {PORT_READY, "Ready"},
};
constexpr StatusText HIDDEN_REASON_TEXTS[] = {
    {REASON_GIVEN_UP, "Disconnected"},
    {REASON_USER_STOPPED, "Port Disabled"},
    {REASON_OK, ""},
    {REASON_IP_NOT_FOUND, "IP Not Found"},
    {REASON_PORT_DISABLED, "Port Disabled"},
    {REASON_COM_NOT_FOUND, "COM Port Not Found"},
    {REASON_INTERNAL, "Internal Error"},
};

template <size_t N>
const char* lookup(const StatusText (&table)[N], int value, const char* otherwise) {
    for (const StatusText& entry : table)
        if (entry.value == value)
            return entry.text;
    return otherwise;
}

struct ColumnLayout {
    const char* header;
    Qt::Alignment alignment;
    int width;
};

constexpr ColumnLayout COLUMNS[COLUMN_COUNT] = {
    {"COM ID", Qt::AlignHCenter, 60}, {"IP Address", Qt::AlignLeft, 122},
    {"Port", Qt::AlignHCenter, 43},   {"Name", Qt::AlignLeft, 115},
    {"Status", Qt::AlignLeft, 116},
};

const QColor LIST_BACKGROUND(255, 255, 221);

// What a row stands for, in the item data of its first cell.
enum RowRole {
    ROLE_KIND = Qt::UserRole,
    ROLE_SLOT,
    ROLE_COM_NAME,
    ROLE_ADDRESS,
    ROLE_PORT_NO,
    ROLE_DESCRIPTION,
};

QByteArray bytesOf(const std::string& text) {
    return QByteArray(text.data(), qsizetype(text.size()));
}

std::string stringOf(const QVariant& value) {
    QByteArray bytes = value.toByteArray();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

// Every cell goes through a 100-character buffer, as the list always did.
QString cellText(const std::string& text) {
    char buffer[100];
    std::snprintf(buffer, sizeof buffer, "%s", text.c_str());
    return storedTextShown(buffer);
}

QString cellNumber(int number) {
    char buffer[100];
    std::snprintf(buffer, sizeof buffer, "%d", number);
    return QString::fromLatin1(buffer);
}

// Status texts of the current host's row and of the hidden-port row.
std::string hostRowStatus(int state, int reason) {
    if (state == PORT_DISCONNECTED)
        return lookup(HOST_REASON_TEXTS, reason, "");
    return lookup(HOST_STATE_TEXTS, state, "Stopped");
}

std::string hiddenRowStatus(int state, int reason) {
    if (state == PORT_DISCONNECTED)
        return lookup(HIDDEN_REASON_TEXTS, reason, "");
    return lookup(HIDDEN_STATE_TEXTS, state, "Disconnected");
}

} // namespace

// Stored texts are bytes of no declared encoding: shown as UTF-8 where they are that,
// as Latin-1 otherwise, so every byte shows as something.
QString storedTextShown(const std::string& text) {
    QByteArray bytes = bytesOf(text);
    QString decoded = QString::fromUtf8(bytes);
    if (!decoded.contains(QChar::ReplacementCharacter))
        return decoded;
    return QString::fromLatin1(bytes);
}

PortList::PortList(QWidget* parent) : QTreeWidget(parent) {
    setObjectName("portList");
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFrameShadow(QFrame::Sunken);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &PortList::reportSelection);
}

void PortList::initColumns() {
    setColumnCount(COLUMN_COUNT);
    QTreeWidgetItem* headerRow = headerItem();
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        headerRow->setText(c, COLUMNS[c].header);
        headerRow->setTextAlignment(c, COLUMNS[c].alignment | Qt::AlignVCenter);
        header()->resizeSection(c, COLUMNS[c].width);
    }
    header()->setStretchLastSection(false);
    header()->setSectionsClickable(false);
    header()->setSectionsMovable(false);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, LIST_BACKGROUND);
    colours.setColor(QPalette::AlternateBase, LIST_BACKGROUND);
    setPalette(colours);
    setAllColumnsShowFocus(true);
}

void PortList::rebuild() {
    int top = topRow();
    setUpdatesEnabled(false);
    clear();
    bool hostRowAdded = false;
    for (int slot = 0; slot < PORT_SLOTS; ++slot)
        if (port(slot).portName[0] != 0)
            addPortRows(slot, hostRowAdded);
    restoreTopRow(top);
    setUpdatesEnabled(true);
}

void PortList::addPortRows(int slot, bool& hostRowAdded) {
    PortRecord& record = port(slot);
    CurrentHost current = currentHost(record);
    int state = record.state.load();
    int reason = record.reason.load();
    if (hostRowAdded)
        addRow(PortRow{}, false, "");
    for (HostEntry* entry = record.hostList; entry; entry = entry->next) {
        hostRowAdded = true;
        bool isCurrent =
            entry->portNo == current.portNo && std::strcmp(entry->address, current.address) == 0;
        addRow({PortRow::Host, slot, record.portName, entry->address, entry->portNo,
                entry->description},
               entry == record.hostList, isCurrent ? hostRowStatus(state, reason) : "");
    }
    if (current.address[0] != 0 && current.portNo != 0 &&
        !findHost(slot, current.address, current.portNo))
        addRow({PortRow::Hidden, slot, record.portName, current.address, current.portNo,
                "(Hidden Port)"},
               false, hiddenRowStatus(state, reason));
}

void PortList::addRow(const PortRow& row, bool showComId, const std::string& status) {
    auto* item = new QTreeWidgetItem(this);
    item->setData(0, ROLE_KIND, int(row.kind));
    if (row.kind == PortRow::Blank)
        return;
    item->setText(COL_COM_ID, cellText(showComId ? row.comName : ""));
    item->setText(COL_ADDRESS, cellText(row.address));
    item->setText(COL_PORT, cellNumber(row.portNo));
    item->setText(COL_NAME, cellText(row.description));
    item->setText(COL_STATUS, cellText(status));
    for (int c = 0; c < COLUMN_COUNT; ++c)
        item->setTextAlignment(c, COLUMNS[c].alignment | Qt::AlignVCenter);
    item->setData(0, ROLE_SLOT, row.slot);
    item->setData(0, ROLE_COM_NAME, bytesOf(row.comName));
    item->setData(0, ROLE_ADDRESS, bytesOf(row.address));
    item->setData(0, ROLE_PORT_NO, row.portNo);
    item->setData(0, ROLE_DESCRIPTION, bytesOf(row.description));
}

std::string PortList::rowText(int row, int column) const {
    QTreeWidgetItem* item = topLevelItem(row);
    if (!item || column < 0 || column >= COLUMN_COUNT)
        return {};
    return item->text(column).toStdString();
}

PortRow PortList::rowAt(int row) const {
    QTreeWidgetItem* item = topLevelItem(row);
    if (!item)
        return {};
    PortRow result;
    result.kind = PortRow::Kind(item->data(0, ROLE_KIND).toInt());
    if (result.kind == PortRow::Blank)
        return result;
    result.slot = item->data(0, ROLE_SLOT).toInt();
    result.comName = stringOf(item->data(0, ROLE_COM_NAME));
    result.address = stringOf(item->data(0, ROLE_ADDRESS));
    result.portNo = item->data(0, ROLE_PORT_NO).toInt();
    result.description = stringOf(item->data(0, ROLE_DESCRIPTION));
    return result;
}

std::vector<int> PortList::selectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

int PortList::topRow() const {
    QModelIndex index = indexAt(QPoint(1, 1));
    return index.isValid() ? index.row() : 0;
}

// Losing a selection is reported like gaining one; the row reported last is the
// one a click selected, as the list control reports deselections first.
void PortList::reportSelection(const QItemSelection& selected, const QItemSelection& deselected) {
    for (const QModelIndex& index : deselected.indexes())
        if (index.column() == 0)
            Q_EMIT rowSelectionChanged(index.row());
    for (const QModelIndex& index : selected.indexes())
        if (index.column() == 0)
            Q_EMIT rowSelectionChanged(index.row());
}

void PortList::showHostRow(const std::string& name, const std::string& address, int portNumber) {
    int count = rowCount();
    int row = 0;
    while (row < count && !(rowAt(row).kind != PortRow::Blank && rowAt(row).comName == name))
        ++row;
    for (; row < count && rowAt(row).address != address; ++row)
        if (rowAt(row).address.empty())
            return;
    for (; row < count && rowAt(row).portNo != portNumber; ++row)
        if (rowAt(row).kind == PortRow::Blank)
            return;
    if (row < count)
        scrollToItem(topLevelItem(row), QAbstractItemView::EnsureVisible);
}

void PortList::restoreTopRow(int top) {
    int count = topLevelItemCount();
    if (count == 0 || top <= 0)
        return;
    scrollToItem(topLevelItem(std::min(top, count - 1)), QAbstractItemView::PositionAtTop);
}

// The list control reports a double-click anywhere in it, on a row or not.
void PortList::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeWidget::mouseDoubleClickEvent(event);
    Q_EMIT rowDoubleClicked();
}
