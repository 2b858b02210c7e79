// The Port Monitor: its window on its own (fed as the receive path and the relay thread
// feed it), and through the whole manager: opened from the port list's menu, showing
// what the device and the application send, and closed while traffic flows.
#include "app/port_monitor_dialog.h"

#include "app/main_dialog.h"
#include "config/manager_context.h"
#include "config/port_state.h"
#include "driverlink/driver_link.h"
#include "platform/message_box.h"
#include "tests/app/gui_support.h"
#include "tests/app/window_harness.h"
#include "tests/support/clean_context.h"
#include "tests/support/manager_fixture.h"
#include "tests/support/pump.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimerEvent>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Pane = PortMonitorDialog::Pane;

namespace {

Bytes dataPacket(const Bytes& payload) {
    Bytes packet(payload.size() + 5);
    packet[0] = 0xF0;
    packet[1] = '1';
    packet[2] = uint8_t(payload.size() >> 8);
    packet[3] = uint8_t(payload.size());
    std::copy(payload.begin(), payload.end(), packet.begin() + 4);
    packet.back() = 0xE0;
    return packet;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// What a pane holds after one rendering into a blank pane: spaces, then the text.
std::string paneEndingWith(const std::string& rendered) {
    if (rendered.size() >= size_t(PANE_CHARS))
        return rendered.substr(rendered.size() - PANE_CHARS);
    return std::string(PANE_CHARS - rendered.size(), ' ') + rendered;
}

QString blankLayout() {
    QString layout;
    for (int line = 0; line < PANE_LINES; ++line)
        layout += QString(PANE_COLUMNS, ' ') + '\n';
    return layout;
}

bool raised(const PortMonitorDialog& monitor, int id) {
    return monitor.label(id)->frameShadow() == QFrame::Raised;
}

// The monitor's window alone, on slot 3 of a clean context.
class MonitorWindow : public ::testing::Test {
  protected:
    static constexpr int SLOT = 3;

    void SetUp() override { ensureQtApp(); }

    PortMonitorDialog& open() {
        monitor = std::make_unique<PortMonitorDialog>(SLOT, nullptr);
        monitor->show();
        EXPECT_TRUE(pumpUntil([&] { return drawn(Pane::TX_PANE) && drawn(Pane::RX_PANE); }));
        return *monitor;
    }
    bool drawn(Pane pane) const { return monitor->drawCount(pane) > 0; }
    void feed(const Bytes& bytes) { monitor->feedMonitor(bytes.data(), int(bytes.size())); }
    // One tick of the monitor's timer, and the redraw it asked for.
    void tick() {
        QTimerEvent timer(0);
        QCoreApplication::sendEvent(monitor.get(), &timer);
        pumpFor(30);
    }
    // As the relay thread calls it: from another thread, with the port's lock held.
    template <typename Call> void fromRelayThread(Call call) {
        std::thread relay([&] {
            platform::MutexLock lock(port(SLOT).relayLock);
            call(*monitor);
        });
        relay.join();
    }

    CleanContext clean;
    std::unique_ptr<PortMonitorDialog> monitor;
};

struct RenderCase {
    const char* name;
    Bytes payload;
    std::string rendered; // what the pane ends with; empty: the pane stays blank
};

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

TEST_F(MonitorWindow, RendersReceivedDataPackets) {
    const RenderCase cases[] = {
        {"control byte", {0x41, 0x0D, 0x42}, "A<0D>B"},
        {"edges of printable", {0x1F, 0x20, 0x7E, 0x7F, 0xFF}, "<1F> ~<7F><FF>"},
        {"rendering over 310", Bytes(100, 0x00), repeated("<00>", 100)},
        {"512 bytes", Bytes(512, 'x'), std::string(512, 'x')},
        {"empty packet", {}, ""},
    };
    for (const RenderCase& c : cases) {
        SCOPED_TRACE(c.name);
        open();
        int txDraws = monitor->drawCount(Pane::TX_PANE);
        feed(dataPacket(c.payload));
        tick();
        if (c.rendered.empty()) {
            EXPECT_EQ(monitor->paneText(Pane::RX_PANE), "");
            EXPECT_EQ(monitor->drawnPane(Pane::RX_PANE), blankLayout());
            continue;
        }
        std::string expected = paneEndingWith(c.rendered);
        EXPECT_EQ(monitor->paneText(Pane::RX_PANE), expected);
        EXPECT_EQ(monitor->drawnPane(Pane::RX_PANE).remove('\n').toStdString(), expected);
        // Only the pane that changed is drawn again.
        EXPECT_EQ(monitor->drawCount(Pane::TX_PANE), txDraws);
        EXPECT_EQ(monitor->paneText(Pane::TX_PANE), "");
    }
}

TEST_F(MonitorWindow, TextScrollsThroughThePaneAndNeverGrows) {
    open();
    feed(dataPacket(bytesOf("first")));
    feed(dataPacket(bytesOf("second\r\n")));
    tick();
    EXPECT_EQ(monitor->paneText(Pane::RX_PANE), paneEndingWith("firstsecond<0D><0A>"));
    for (int i = 0; i < 40; ++i)
        feed(dataPacket(Bytes(300, uint8_t('a' + i % 26))));
    tick();
    EXPECT_EQ(monitor->paneText(Pane::RX_PANE).size(), size_t(PANE_CHARS));
    EXPECT_EQ(monitor->drawnPane(Pane::RX_PANE).size(), PANE_CHARS + PANE_LINES);
    EXPECT_EQ(monitor->paneText(Pane::RX_PANE), std::string(10, 'm') + std::string(300, 'n'));
}

// The receive path hands over what it read, wherever packets begin or end.
TEST_F(MonitorWindow, PacketSplitAcrossReceivesShowsWhenWhole) {
    open();
    Bytes packet = dataPacket({0x41, 0x0D, 0x42});
    feed({0x13, 0x37}); // noise before a packet start is skipped
    feed(Bytes(packet.begin(), packet.begin() + 2));
    tick();
    EXPECT_EQ(monitor->paneText(Pane::RX_PANE), "");
    feed(Bytes(packet.begin() + 2, packet.begin() + 5));
    tick();
    EXPECT_EQ(monitor->paneText(Pane::RX_PANE), "");
    EXPECT_EQ(monitor->drawnPane(Pane::RX_PANE), blankLayout());
    feed(Bytes(packet.begin() + 5, packet.end()));
    tick();
    EXPECT_EQ(monitor->paneText(Pane::RX_PANE), paneEndingWith("A<0D>B"));
}

// A read as large as the receive path makes (5 KB) is taken whole even though the
// private ring holds an incomplete packet already; a packet too long is skipped.
TEST_F(MonitorWindow, LargeReadsLoseNothingAndOverlongPacketsAreSkipped) {
    open();
    Bytes stream = {0xF0, '1', 0x02, 0x01}; // 513: dropped, its bytes hunted through
    stream.insert(stream.end(), 513, 'z');
    for (int i = 0; i < 12; ++i) {
        Bytes packet = dataPacket(Bytes(500, uint8_t('a' + i)));
        stream.insert(stream.end(), packet.begin(), packet.end());
    }
    Bytes last = dataPacket(bytesOf("END"));
    stream.insert(stream.end(), last.begin(), last.end());
    size_t firstRead = 4 + 513 + 100; // ends inside the first whole packet
    feed(Bytes(stream.begin(), stream.begin() + long(firstRead)));
    feed(Bytes(stream.begin() + long(firstRead), stream.end()));
    tick();
    EXPECT_EQ(monitor->paneText(Pane::RX_PANE), std::string(307, 'l') + "END");
}

TEST_F(MonitorWindow, ModemStatusPacketsShowWhenTheyChange) {
    port(SLOT).lastMsr = 0x30; // CTS and DSR
    open();
    EXPECT_TRUE(raised(*monitor, IDC_SIGNAL_CTS));
    EXPECT_TRUE(raised(*monitor, IDC_SIGNAL_DSR));
    EXPECT_FALSE(raised(*monitor, IDC_SIGNAL_DCD));
    EXPECT_FALSE(raised(*monitor, IDC_SIGNAL_RI));
    int draws = monitor->drawCount(Pane::RX_PANE);
    feed({0xF0, 'C', 0x30, 0xE0});
    pumpFor(50);
    EXPECT_EQ(monitor->drawCount(Pane::RX_PANE), draws) << "the same status redraws nothing";
    feed({0xF0, 'C', 0xC0, 0xE0}); // DCD and RI
    EXPECT_EQ(port(SLOT).lastMsr.load(), 0xC0);
    EXPECT_TRUE(raised(*monitor, IDC_SIGNAL_DCD));
    EXPECT_TRUE(raised(*monitor, IDC_SIGNAL_RI));
    EXPECT_FALSE(raised(*monitor, IDC_SIGNAL_CTS));
    EXPECT_FALSE(raised(*monitor, IDC_SIGNAL_DSR));
    EXPECT_TRUE(pumpUntil([&] { return monitor->drawCount(Pane::RX_PANE) > draws; }));
    EXPECT_EQ(monitor->paneText(Pane::RX_PANE), "");
}

struct OpeningCase {
    uint8_t info[4];
    int relayActive;
    const char* firmware;
    const char* ports;
    const char* portNumber;
    const char* status;
};

TEST_F(MonitorWindow, OpeningShowsDeviceInformationAndStatus) {
    const OpeningCase cases[] = {
        {{0x01, 0x0A, 4, 2}, 1, "1.A", "4", "2", "OPENED"},
        {{0x00, 0xFF, 0x90, 32}, 0, "0.FF", "144", "32", "CLOSED"},
    };
    for (const OpeningCase& c : cases) {
        std::copy(c.info, c.info + 4, port(SLOT).deviceInfo);
        port(SLOT).relayActive = c.relayActive;
        open();
        EXPECT_EQ(monitor->windowTitle(), "Port Monitor");
        EXPECT_EQ(monitor->label(IDC_FIRMWARE_VERSION)->text(), c.firmware);
        EXPECT_EQ(monitor->label(IDC_PORT_COUNT)->text(), c.ports);
        EXPECT_EQ(monitor->label(IDC_PORT_NUMBER)->text(), c.portNumber);
        EXPECT_EQ(monitor->label(IDC_PORT_STATUS)->text(), c.status);
        EXPECT_EQ(portMonitor(port(SLOT)), monitor.get());
        EXPECT_FALSE(monitor->button(IDC_MONITOR_TEST)->isVisible());
        EXPECT_TRUE(monitor->button(platform::IDOK)->isDefault());
    }
    monitor.reset();
    EXPECT_EQ(portMonitor(port(SLOT)), nullptr);
}

TEST_F(MonitorWindow, PanesAreBlankUntilDataArrives) {
    open();
    EXPECT_EQ(monitor->drawnPane(Pane::TX_PANE), blankLayout());
    EXPECT_EQ(monitor->drawnPane(Pane::RX_PANE), blankLayout());
    monitor->repaint();
    tick();
    EXPECT_EQ(monitor->drawnPane(Pane::TX_PANE), blankLayout());
    EXPECT_EQ(monitor->drawnPane(Pane::RX_PANE), blankLayout());
    EXPECT_EQ(monitor->paneText(Pane::TX_PANE), "");
}

// DTR and RTS follow lastMcr: at opening, and whenever the relay thread reports an MCR.
TEST_F(MonitorWindow, ModemControlFromTheRelayThread) {
    port(SLOT).lastMcr = 0x03;
    open();
    EXPECT_TRUE(raised(*monitor, IDC_SIGNAL_DTR));
    EXPECT_TRUE(raised(*monitor, IDC_SIGNAL_RTS));
    fromRelayThread([](PortMonitorDialog& m) {
        port(SLOT).lastMcr = 0x00;
        m.showModemControl();
    });
    EXPECT_TRUE(pumpUntil([&] { return !raised(*monitor, IDC_SIGNAL_DTR); }));
    EXPECT_FALSE(raised(*monitor, IDC_SIGNAL_RTS));
    fromRelayThread([](PortMonitorDialog& m) {
        port(SLOT).lastMcr = 0x02;
        m.showModemControl();
    });
    EXPECT_TRUE(pumpUntil([&] { return raised(*monitor, IDC_SIGNAL_RTS); }));
    EXPECT_FALSE(raised(*monitor, IDC_SIGNAL_DTR));
}

TEST_F(MonitorWindow, TxPaneShowsTheApplicationsData) {
    open();
    int rxDraws = monitor->drawCount(Pane::RX_PANE);
    fromRelayThread([](PortMonitorDialog& m) {
        Bytes first = bytesOf("ATZ\r");
        Bytes second(400, 0x07);
        Bytes third = bytesOf("hello\r");
        m.feedTx(first.data(), int(first.size()));
        m.feedTx(second.data(), int(second.size()));
        m.feedTx(third.data(), int(third.size()));
    });
    tick();
    std::string expected = repeated("<07>", 400) + "hello<0D>";
    EXPECT_EQ(monitor->paneText(Pane::TX_PANE), expected.substr(expected.size() - PANE_CHARS));
    EXPECT_EQ(monitor->drawnPane(Pane::TX_PANE).remove('\n').toStdString(),
              monitor->paneText(Pane::TX_PANE));
    EXPECT_EQ(monitor->drawCount(Pane::RX_PANE), rxDraws);
}

// While data streams the panes' lines go into the window's picture in place; the window
// must show them exactly as a painter draws them (a grab paints through one).
TEST_F(MonitorWindow, WindowShowsThePanesAsAPainterDrawsThem) {
    open();
    feed(dataPacket(bytesOf("Hello, device\r\n")));
    fromRelayThread([](PortMonitorDialog& m) {
        Bytes written = bytesOf("ATZ\r~ 0123456789");
        m.feedTx(written.data(), int(written.size()));
    });
    tick();
    QImage window = monitor->screen()->grabWindow(monitor->winId()).toImage();
    ASSERT_FALSE(window.isNull());
    window = window.convertToFormat(QImage::Format_RGB32);
    for (Pane pane : {Pane::TX_PANE, Pane::RX_PANE}) {
        QRect rect = PortMonitorDialog::paneRect(pane);
        QImage painted = monitor->grab(rect).toImage().convertToFormat(QImage::Format_RGB32);
        EXPECT_TRUE(window.copy(rect) == painted) << "pane " << pane;
    }
}

// Through the whole manager: the port list, the stand-in driver, the relay thread and a
// device-server simulator.
class PortMonitorTest : public WindowTest {
  protected:
    void selectRow(int row) {
        window().portList()->setCurrentItem(window().portList()->topLevelItem(row));
    }
    // A right click on the row and "Monitoring" in the menu that opens.
    PortMonitorDialog* openFromRowMenu(int row) {
        PortList& list = *window().portList();
        Q_EMIT list.customContextMenuRequested(
            list.visualItemRect(list.topLevelItem(row)).center());
        return monitoringFromMenu();
    }
    PortMonitorDialog* monitoringFromMenu() {
        QMenu* menu = nullptr;
        pumpUntil([&] {
            for (QMenu* m : window().findChildren<QMenu*>())
                if (m->isVisible())
                    menu = m;
            return menu != nullptr;
        });
        if (!menu)
            return nullptr;
        QAction* monitoring = menu->actions().value(0);
        EXPECT_EQ(monitoring->text(), "Monitoring");
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(monitoring).center());
        pumpUntil([&] { return window().portMonitor() != nullptr; });
        return window().portMonitor();
    }
    // The OK button, and the monitor gone.
    void closeWithOk(PortMonitorDialog* monitor) {
        QPointer<PortMonitorDialog> closing = monitor;
        QTest::mouseClick(monitor->button(platform::IDOK), Qt::LeftButton);
        EXPECT_EQ(window().portMonitor(), nullptr);
        EXPECT_TRUE(pumpUntil([&] { return closing.isNull(); }));
    }
    static bool ends(const std::string& pane, const std::string& text) {
        return pane.size() >= text.size() &&
               pane.compare(pane.size() - text.size(), text.size(), text) == 0;
    }
};

TEST_F(PortMonitorTest, ReadyPortGetsTheInformationBox) {
    addPort(0, "COM5", 1);
    ASSERT_TRUE(startSim());
    ASSERT_TRUE(startPort(0));
    selectRow(0);
    boxes.expect("Can't call monitor for disconnected port.", "Information",
                 platform::MB_ICONINFORMATION);
    window().onCommand(IDC_MONITORING);
    EXPECT_EQ(boxes.pending(), 0u);
    EXPECT_EQ(window().portMonitor(), nullptr);
    EXPECT_EQ(portMonitor(port(0)), nullptr);
}

// Opened from the row's menu (the manager has no notification area here, so the menu is
// also where the tray's commands are): the device's bytes and the application's.
TEST_F(PortMonitorTest, ShowsBothDirectionsOfAConnectedPort) {
    addPort(0, "COM5", 1);
    manager.addHost(0, 2, "192.0.2.1", 7, "second host");
    int app = connectApplication(0, "COM5");
    ASSERT_GE(app, 0);
    PortMonitorDialog* monitor = openFromRowMenu(1); // the port's second row works too
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(monitor->isVisible());
    EXPECT_EQ(portMonitor(port(0)), monitor);
    EXPECT_EQ(monitor->label(IDC_PORT_STATUS)->text(), "OPENED");
    EXPECT_EQ(monitor->label(IDC_PORT_NUMBER)->text(), "1");
    // The driver raises DTR and RTS at open; the relay may pass that on after the monitor
    // opened.
    EXPECT_TRUE(pumpUntil([&] { return raised(*monitor, IDC_SIGNAL_DTR); }));
    EXPECT_TRUE(raised(*monitor, IDC_SIGNAL_RTS));
    ASSERT_EQ(::write(app, "AT\r", 3), 3);
    EXPECT_TRUE(pumpUntil([&] {
        return ends(monitor->paneText(Pane::TX_PANE), "AT<0D>") &&
               ends(monitor->paneText(Pane::RX_PANE), "AT<0D>"); // the simulator's echo
    }));
    sim().sendRaw(1, dataPacket({'O', 'K', 0x0D, 0x0A}));
    sim().sendModemStatus(1, 0xB0);
    EXPECT_TRUE(pumpUntil([&] {
        return ends(monitor->drawnPane(Pane::RX_PANE).remove('\n').toStdString(),
                    "AT<0D>OK<0D><0A>");
    }));
    EXPECT_TRUE(pumpUntil([&] { return raised(*monitor, IDC_SIGNAL_DCD); }));
    EXPECT_TRUE(raised(*monitor, IDC_SIGNAL_CTS));
    EXPECT_FALSE(raised(*monitor, IDC_SIGNAL_RI));
    closeWithOk(monitor);
    EXPECT_EQ(portMonitor(port(0)), nullptr);
    ::close(app);
}

// A burst of writes leaves the driver as many DATA packets, which the relay sends
// several to a send: the Tx pane shows them all, in order, as the Rx pane shows the echo.
TEST_F(PortMonitorTest, PanesShowEveryPacketOfABurst) {
    int app = addConnectedPort(0, "COM5", 1);
    ASSERT_GE(app, 0);
    PortMonitorDialog* monitor = openFromRowMenu(0);
    ASSERT_NE(monitor, nullptr);
    std::string written;
    for (int i = 0; i < 80; ++i) {
        std::string piece = "w" + std::to_string(1000 + i) + ";";
        ASSERT_EQ(::write(app, piece.data(), piece.size()), ssize_t(piece.size()));
        written += piece;
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // a packet each, mostly
    }
    std::string expected = written.substr(written.size() - PANE_CHARS);
    EXPECT_TRUE(pumpUntil([&] {
        return monitor->paneText(Pane::TX_PANE) == expected &&
               monitor->paneText(Pane::RX_PANE) == expected;
    })) << monitor->paneText(Pane::TX_PANE);
    closeWithOk(monitor);
    ::close(app);
}

// Without a notification area the window menu holds the commands: a right click
// anywhere in the window offers the monitor of the row last selected.
TEST_F(PortMonitorTest, WindowMenuOffersTheSelectedRowsMonitor) {
    int app = addConnectedPort(0, "COM5", 1);
    ASSERT_GE(app, 0);
    selectRow(0);
    Q_EMIT window().customContextMenuRequested(QPoint(4, 4));
    PortMonitorDialog* monitor = monitoringFromMenu();
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(monitor->monitorSlot(), 0);
    closeWithOk(monitor);
    ::close(app);
}

// The monitor stays open whatever the port does: the application's close drops DTR and
// RTS; a monitor open on the Ready port reads CLOSED until the application opens the
// port again.
TEST_F(PortMonitorTest, FollowsTheApplicationClosingAndOpeningThePort) {
    int app = addConnectedPort(0, "COM5", 1);
    ASSERT_GE(app, 0);
    PortMonitorDialog* monitor = openFromRowMenu(0);
    ASSERT_NE(monitor, nullptr);
    ::close(app);
    EXPECT_TRUE(pumpUntil([&] {
        return port(0).state.load() == PORT_READY && !raised(*monitor, IDC_SIGNAL_DTR) &&
               !raised(*monitor, IDC_SIGNAL_RTS);
    }));
    EXPECT_EQ(monitor->label(IDC_PORT_STATUS)->text(), "OPENED");
    closeWithOk(monitor);

    PortMonitorDialog onReady(0, &window());
    onReady.show();
    EXPECT_EQ(onReady.label(IDC_PORT_STATUS)->text(), "CLOSED");
    app = openApplicationPort(manager.linkPath("COM5"));
    ASSERT_GE(app, 0);
    EXPECT_TRUE(pumpUntil([&] { return port(0).state.load() == PORT_CONNECTED; }));
    EXPECT_EQ(onReady.label(IDC_PORT_STATUS)->text(), "OPENED");
    EXPECT_TRUE(pumpUntil([&] { return raised(onReady, IDC_SIGNAL_DTR); }));
    ::close(app);
}

// The monitor opened and closed again and again while the application and the device
// stream both ways: nothing of the traffic is lost, nothing outlives the monitor.
TEST_F(PortMonitorTest, ClosedDuringTrafficLeavesNothingBehind) {
    int app = addConnectedPort(0, "COM5", 1);
    ASSERT_GE(app, 0);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sent{0}, echoed{0}, corrupt{0};
    auto readEcho = [&] {
        uint8_t in[4096];
        for (ssize_t got; (got = ::read(app, in, sizeof in)) > 0; echoed += uint64_t(got))
            for (ssize_t i = 0; i < got; ++i)
                corrupt += in[i] != uint8_t(echoed + uint64_t(i));
    };
    std::thread application([&] {
        uint8_t out[256];
        while (!stop) {
            for (size_t i = 0; i < sizeof out; ++i)
                out[i] = uint8_t(sent + i);
            ssize_t n = ::write(app, out, sizeof out);
            if (n > 0)
                sent += uint64_t(n);
            readEcho();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int round = 0; round < 8; ++round) {
        PortMonitorDialog* monitor = openFromRowMenu(0);
        ASSERT_NE(monitor, nullptr);
        sim().sendModemStatus(1, round % 2 ? 0x30 : 0x00);
        EXPECT_TRUE(pumpUntil([&] {
            return !monitor->paneText(Pane::TX_PANE).empty() &&
                   !monitor->paneText(Pane::RX_PANE).empty();
        }));
        closeWithOk(monitor);
        EXPECT_EQ(portMonitor(port(0)), nullptr);
    }
    stop = true;
    application.join();
    pumpUntil([&] {
        readEcho();
        return echoed == sent;
    });
    EXPECT_EQ(echoed.load(), sent.load());
    EXPECT_EQ(corrupt.load(), 0u);
    ::close(app);
}

} // namespace
