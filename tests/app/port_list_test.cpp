#include "app/main_dialog.h"

#include "config/manager_context.h"
#include "config/port_state.h"
#include "config/port_table.h"
#include "platform/ui_thread.h"
#include "tests/app/gui_support.h"
#include "tests/support/clean_context.h"
#include "tests/support/pump.h"
#include "tests/support/temp_store.h"

#include <QScrollBar>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <thread>

namespace {

using Row = std::array<std::string, COLUMN_COUNT>;
const Row BLANK = {"", "", "", "", ""};

class PortListFixture : public ::testing::Test {
  protected:
    void SetUp() override { ensureQtApp(); }
    void openDialog() {
        dialog = std::make_unique<MainDialog>();
        dialog->initialise();
    }
    std::vector<Row> rows() const {
        std::vector<Row> result;
        for (int r = 0; r < dialog->portList()->rowCount(); ++r) {
            Row row;
            for (int c = 0; c < COLUMN_COUNT; ++c)
                row[c] = dialog->portList()->rowText(r, c);
            result.push_back(row);
        }
        return result;
    }

    CleanContext clean;
    TempStore store;
    std::unique_ptr<MainDialog> dialog;
};

struct LayoutCase {
    const char* name;
    std::function<void()> writeStore;
    std::function<void()> runTime; // states and current hosts the store cannot hold
    std::vector<Row> expected;
};

class PortListLayout : public PortListFixture, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(PortListLayout, RowsReadBackAsBuilt) {
    GetParam().writeStore();
    openDialog();
    GetParam().runTime();
    dialog->refreshPortList();
    EXPECT_EQ(rows(), GetParam().expected);
    EXPECT_EQ(dialog->selectedRow(), -1);
}

const std::vector<StoredHost> ABC = {
    {"10.0.0.1", 1, "alpha"}, {"10.0.0.2", 2, "beta"}, {"10.0.0.3", 3, "gamma"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, PortListLayout,
    ::testing::Values(
        LayoutCase{"EmptyTable", [] {}, [] {}, {}},
        LayoutCase{"ThreeHostsCurrentB",
                   [] { writeStoredPort(0, "COM5", ABC, "10.0.0.2", 2); },
                   [] { forcePortState(port(0), PORT_READY); },
                   {{"COM5", "10.0.0.1", "1", "alpha", ""},
                    {"", "10.0.0.2", "2", "beta", "Ready"},
                    {"", "10.0.0.3", "3", "gamma", ""}}},
        LayoutCase{"TwoPortsOneBlankRowBetween",
                   [] {
                       writeStoredPort(2, "COM7", {{"10.0.0.9", 9, "nine"}}, "10.0.0.9", 9);
                       writeStoredPort(5, "COM12", {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}});
                   },
                   [] { forcePortState(port(2), PORT_CONNECTED); },
                   {{"COM7", "10.0.0.9", "9", "nine", "Connected"},
                    BLANK,
                    {"COM12", "10.0.0.1", "1", "a", ""},
                    {"", "10.0.0.2", "2", "b", ""}}},
        LayoutCase{"HiddenCurrentHostWhileConnecting",
                   [] {
                       writeStoredPort(0, "COM5", {{"10.0.0.1", 1, "alpha"}});
                   },
                   [] {
                       setCurrentHost(port(0), "192.168.7.7", 12);
                       forcePortState(port(0), PORT_CONNECTING);
                   },
                   {{"COM5", "10.0.0.1", "1", "alpha", ""},
                    {"", "192.168.7.7", "12", "(Hidden Port)", "Connecting..."}}},
        LayoutCase{"UserStoppedPortHasNoStatus",
                   [] { writeStoredPort(0, "COM5", ABC); },
                   [] { forcePortState(port(0), PORT_STOPPED, REASON_USER_STOPPED); },
                   {{"COM5", "10.0.0.1", "1", "alpha", ""},
                    {"", "10.0.0.2", "2", "beta", ""},
                    {"", "10.0.0.3", "3", "gamma", ""}}},
        LayoutCase{"ZeroFilledEntryMatchesEmptyCurrentHost",
                   [] { writeStoredPort(0, "COM5", {}); },
                   [] {},
                   {{"COM5", "", "0", "", "Stopped"}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct StatusCase {
    const char* name;
    int state;
    int reason;
    const char* hostRow;
    const char* hiddenRow;
};

class PortListStatus : public PortListFixture, public ::testing::WithParamInterface<StatusCase> {};

// Slot 0's current host is in its list, slot 1's is not: the same state reads on
// both row kinds.
TEST_P(PortListStatus, BothRowKindsShowTheirText) {
    writeStoredPort(0, "COM1", {{"10.0.0.1", 1, "one"}}, "10.0.0.1", 1);
    writeStoredPort(1, "COM2", {{"10.0.0.2", 2, "two"}});
    openDialog();
    setCurrentHost(port(1), "10.0.0.99", 32);
    for (int slot : {0, 1}) {
        forcePortState(port(slot), GetParam().state, GetParam().reason);
    }
    dialog->refreshPortList();
    auto list = rows();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0][COL_STATUS], GetParam().hostRow);
    EXPECT_EQ(list[2][COL_STATUS], "");
    EXPECT_EQ(list[3][COL_NAME], "(Hidden Port)");
    EXPECT_EQ(list[3][COL_STATUS], GetParam().hiddenRow);
    for (int r = 0; r < 3; ++r) {
        EXPECT_NE(list[r][COL_STATUS], "Connecting...");
    }
    if (GetParam().state == PORT_CONNECTING) {
        EXPECT_NE(list[3][COL_STATUS], "Connecting");
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, PortListStatus,
    ::testing::Values(
        StatusCase{"Stopped", PORT_STOPPED, 0, "Stopped", "Stopped"},
        StatusCase{"Connecting", PORT_CONNECTING, 0, "Connecting", "Connecting..."},
        StatusCase{"Connected", PORT_CONNECTED, 0, "Connected", "Connected"},
        StatusCase{"Reconnecting", PORT_RECONNECTING, 0, "Reconnecting", "Reconnecting"},
        StatusCase{"ComOpened", PORT_COM_OPENED, 0, "COM Opened", "COM Opened"},
        StatusCase{"Switching", PORT_SWITCHING, 0, "Switching", "Switching"},
        StatusCase{"Ready", PORT_READY, '1', "Ready", "Ready"},
        StatusCase{"OutsideTable", 5, 0, "Stopped", "Disconnected"},
        StatusCase{"Reason1", PORT_DISCONNECTED, 1, "Disconnected", "Disconnected"},
        StatusCase{"ReasonUserStopped", PORT_DISCONNECTED, 4, "", "Port Disabled"},
        StatusCase{"ReasonDigit1", PORT_DISCONNECTED, '1', "", ""},
        StatusCase{"ReasonDigit2", PORT_DISCONNECTED, '2', "IP Not Found", "IP Not Found"},
        StatusCase{"ReasonDigit3", PORT_DISCONNECTED, '3', "Port Disabled", "Port Disabled"},
        StatusCase{"ReasonDigit4", PORT_DISCONNECTED, '4', "Internal Error", "COM Port Not Found"},
        StatusCase{"ReasonDigit6", PORT_DISCONNECTED, '6', "Internal Error", "Internal Error"},
        StatusCase{"ReasonOutsideTable", PORT_DISCONNECTED, 99, "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

using PortListBehaviour = PortListFixture;

// A refresh requested while one runs (a message pumped below it) is run once the
// running one ends, so the list shows what changed meanwhile.
TEST_F(PortListBehaviour, RefreshRequestedDuringARefreshIsNotLost) {
    writeStoredPort(0, "COM5", {{"10.0.0.1", 1, "alpha"}}, "10.0.0.1", 1);
    openDialog();
    bool nested = false;
    auto connection =
        QObject::connect(dialog->portList()->model(), &QAbstractItemModel::rowsInserted, [&] {
            if (nested)
                return;
            nested = true;
            forcePortState(port(0), PORT_READY);
            platform::postMessage(platform::WM_REFRESH_LIST, 0, 0);
            while (platform::pumpOneMessage()) {
            }
        });
    dialog->refreshPortList();
    QObject::disconnect(connection);
    EXPECT_TRUE(nested);
    EXPECT_EQ(dialog->listRefreshing(), 0);
    EXPECT_EQ(dialog->portList()->rowText(0, COL_STATUS), "Ready");
}

TEST_F(PortListBehaviour, RefreshListMessageFromAnotherThreadRebuildsAndReturnsOne) {
    writeStoredPort(0, "COM5", {{"10.0.0.1", 1, "alpha"}}, "10.0.0.1", 1);
    openDialog();
    forcePortState(port(0), PORT_CONNECTED);
    std::atomic<intptr_t> result{-1};
    std::thread worker([&] { result = platform::sendMessage(platform::WM_REFRESH_LIST, 0, 0); });
    ASSERT_TRUE(pumpUntil([&] { return result.load() != -1; }));
    worker.join();
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(dialog->portList()->rowText(0, COL_STATUS), "Connected");
}

TEST_F(PortListBehaviour, SelectionGainedOrLostIsReported) {
    writeStoredPort(0, "COM5", ABC);
    writeStoredPort(1, "COM6", ABC);
    openDialog();
    auto* selection = dialog->portList()->selectionModel();
    auto rowIndex = [&](int r) { return dialog->portList()->model()->index(r, 0); };
    const auto select = QItemSelectionModel::Select | QItemSelectionModel::Rows;
    const auto deselect = QItemSelectionModel::Deselect | QItemSelectionModel::Rows;
    selection->select(rowIndex(1), select);
    EXPECT_EQ(dialog->selectedRow(), 1);
    selection->select(rowIndex(5), select);
    EXPECT_EQ(dialog->selectedRow(), 5);
    selection->select(rowIndex(1), deselect);
    EXPECT_EQ(dialog->selectedRow(), 1);
    selection->select(rowIndex(6), select);
    EXPECT_EQ(dialog->portList()->selectedRows(), (std::vector<int>{5, 6}));
    dialog->refreshPortList();
    EXPECT_EQ(dialog->selectedRow(), -1);
    EXPECT_TRUE(dialog->portList()->selectedRows().empty());
}

TEST_F(PortListBehaviour, RefreshKeepsTheFirstVisibleRow) {
    for (int slot = 0; slot < 30; ++slot)
        writeStoredPort(slot, "COM" + std::to_string(slot + 1), ABC);
    openDialog();
    dialog->show();
    dialog->resize(MAIN_CLIENT_WIDTH, 300);
    ASSERT_TRUE(pumpUntil([&] { return dialog->isVisible(); }));
    dialog->portList()->scrollToItem(dialog->portList()->topLevelItem(41),
                                     QAbstractItemView::PositionAtTop);
    ASSERT_EQ(dialog->portList()->topRow(), 41);
    dialog->refreshPortList();
    EXPECT_EQ(dialog->portList()->topRow(), 41);
    dialog->hide();
}

TEST_F(PortListBehaviour, RefreshEndsWithWaitCursorOnlyWhileServiceBusy) {
    openDialog();
    context.serviceBusy.store(1);
    dialog->refreshPortList();
    EXPECT_EQ(dialog->cursor().shape(), Qt::WaitCursor);
    context.serviceBusy.store(0);
    dialog->refreshPortList();
    EXPECT_EQ(dialog->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(PortListBehaviour, ColumnsHaveHeadersWidthsAndColours) {
    openDialog();
    const char* headers[] = {"COM ID", "IP Address", "Port", "Name", "Status"};
    const int widths[] = {60, 122, 43, 115, 116};
    for (int c = 0; c < COLUMN_COUNT; ++c) {
        EXPECT_EQ(dialog->portList()->headerItem()->text(c).toStdString(), headers[c]);
        EXPECT_EQ(dialog->portList()->columnWidth(c), widths[c]);
    }
    EXPECT_EQ(dialog->portList()->palette().color(QPalette::Base), QColor(255, 255, 221));
    EXPECT_EQ(dialog->portList()->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(dialog->portList()->selectionBehavior(), QAbstractItemView::SelectRows);
}

} // namespace
