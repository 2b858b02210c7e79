// The Port Properties dialog on a whole manager: fields typed and chosen through QTest,
// every check of validateAndSave with its message, and what reaches the port table
// and the store.
#include "app/port_properties_dialog.h"

#include "app/main_dialog.h"
#include "config/config_store.h"
#include "config/host_list.h"
#include "config/manager_context.h"
#include "config/port_key.h"
#include "config/port_registration.h"
#include "platform/message_box.h"
#include "tests/app/properties_support.h"
#include "tests/app/window_harness.h"
#include "tests/platform/store_dump.h"
#include "tests/support/manager_fixture.h"
#include "tests/support/port_hosts.h"
#include "tests/support/port_keys.h"

#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace platform;

namespace {

class PortProperties : public WindowTest {
  protected:
    std::unique_ptr<PortPropertiesDialog> open(int addMode, int editSlot) {
        auto dialog = std::make_unique<PortPropertiesDialog>(
            &window(), addMode, editSlot,
            [this](const std::string& name, const std::string& address, int portNo) {
                window().portList()->showHostRow(name, address, portNo);
            });
        dialog->show();
        return dialog;
    }
    // A port written and loaded as the manager would find it at start-up.
    int storedPort(int slot, const char* name, const std::vector<HostValues>& hosts) {
        setPortHosts(slot, name, hosts);
        registerPort(slot);
        manager.reload();
        return slot;
    }
    void expectError(const char* text) { boxes.expect(text, "Error", MB_ICONERROR); }
};

TEST_F(PortProperties, AddToListCreatesThePortInTheLowestFreeSlotThenAppendsTheNextPortNumber) {
    storedPort(0, "COM1", {{"10.9.9.9", 1, "first"}});
    storedPort(2, "COM2", {{"10.9.9.9", 2, "second"}});
    auto dialog = open(1, -1);
    EXPECT_FALSE(dialog->control(IDCANCEL)->isVisible());
    EXPECT_TRUE(dialog->control(IDC_ADD_TO_LIST)->isVisible());
    EXPECT_EQ(dialog->windowTitle().toStdString(), "Port Properties");
    EXPECT_EQ(dialog->size(), QSize(534, 218)); // 267 x 109 dialog units of Verdana 10 pt
    EXPECT_EQ(shown(*dialog).com, "");
    EXPECT_EQ(shown(*dialog).portNo, 0);
    expectError("Please select valid COM port name.");
    press(*dialog, IDC_ADD_TO_LIST);

    fill(*dialog, {"COM5", "10.1.2.3", 1, "bench"});
    press(*dialog, IDC_ADD_TO_LIST);

    EXPECT_EQ(findPortByName("COM5"), 1);
    EXPECT_EQ(hostsOf(1), (std::vector<HostValues>{{"10.1.2.3", 1, "bench"}}));
    EXPECT_EQ(dialog->editSlot, -1);
    EXPECT_EQ(shown(*dialog).portNo, 2);
    EXPECT_EQ(shown(*dialog).com, "COM5");
    EXPECT_EQ(shown(*dialog).address, "10.1.2.3");
    EXPECT_EQ(shown(*dialog).description, "bench");

    press(*dialog, IDC_ADD_TO_LIST);

    std::vector<HostValues> hosts = {{"10.1.2.3", 1, "bench"}, {"10.1.2.3", 2, "bench"}};
    EXPECT_EQ(hostsOf(1),
              (std::vector<HostValues>{{"10.1.2.3", 1, "bench"}, {"10.1.2.3", 2, "bench"}}));
    EXPECT_EQ(storedKeyLines(portKeyName(1)), portKeyLines(1, "COM5", hosts));
    EXPECT_EQ(storedKeyLines(portClassKeyName(1)), portClassKeyLines());
    // The dialog asked for a redraw; the list then shows the new port between the others.
    manager.pumpFor(50);
    PortList& list = *window().portList();
    EXPECT_EQ(list.rowText(2, COL_COM_ID), "COM5");
    EXPECT_EQ(list.rowText(3, COL_PORT), "2");
}

TEST_F(PortProperties, AfterPortNumber32NothingIsPreselectedAndOkInAddModeChecksNothing) {
    auto dialog = open(1, -1);
    fill(*dialog, {"COM9", "plc-hall-3", 32, ""});
    press(*dialog, IDC_ADD_TO_LIST);
    EXPECT_EQ(shown(*dialog).portNo, 0);
    expectError("Please select valid Port No.");
    press(*dialog, IDC_ADD_TO_LIST);
    EXPECT_EQ(hostsOf(0), (std::vector<HostValues>{{"plc-hall-3", 32, ""}}));

    fill(*dialog, {"COM10", "10.0.0.1", 1, "(Hidden Port)"}); // would be refused
    press(*dialog, IDOK);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(findPortByName("COM10"), -1);
}

TEST_F(PortProperties, ClearEmptiesEveryField) {
    auto dialog = open(1, -1);
    fill(*dialog, {"COM9", "10.0.0.1", 4, "x"});
    press(*dialog, IDC_CLEAR);
    EXPECT_EQ(shown(*dialog).com, "");
    EXPECT_EQ(shown(*dialog).address, "");
    EXPECT_EQ(shown(*dialog).portNo, 0);
    EXPECT_EQ(shown(*dialog).description, "");
    EXPECT_EQ(dialog->portIndex, -1);
}

TEST_F(PortProperties, EditBoxesTakeAtMostFiftyBytes) {
    auto dialog = open(1, -1);
    fill(*dialog, {"COM9", std::string(60, 'a'), 1, std::string(30, 'x') + "\xC3\xA9\xC3\xA9"});
    EXPECT_EQ(shown(*dialog).address, std::string(50, 'a'));
    typeInto(*dialog, IDC_HOST_DESCRIPTION, QString(20, QChar(0xE9))); // 2 bytes each: 8 fit
    EXPECT_EQ(shown(*dialog).description.size(), 50u);
    press(*dialog, IDC_ADD_TO_LIST);
    ASSERT_NE(port(0).hostList, nullptr);
    EXPECT_EQ(std::string(port(0).hostList->description), shown(*dialog).description);
}

// Each check in its order: every field before the faulty one is valid.
struct Refusal {
    const char* name;
    Fields fields;
    const char* message;
};

void PrintTo(const Refusal& refusal, std::ostream* out) {
    *out << refusal.name;
}

const Refusal REFUSALS[] = {
    {"HiddenPortDescriptionBeforeAnything",
     {"", "", 0, "(Hidden Port)"},
     "Can't use that description.\nPlease enter another description string."},
    {"NoComName", {"", "10.0.0.1", 1, "x"}, "Please select valid COM port name."},
    {"ThreeCharacterAddress",
     {"COM4", "a.b", 1, "x"},
     "Invalid IP Address.\nPlease enter correct IP address."},
    {"NoPortNumber", {"COM4", "10.0.0.1", 0, "x"}, "Please select valid Port No."},
    {"SameHostOnTheSamePort",
     {"COM1", "10.9.9.9", 1, "again"},
     "Duplicated Vorlix information detected.\nPlease choose another Vorlix."},
};

class PortPropertiesRefusal : public PortProperties,
                              public ::testing::WithParamInterface<Refusal> {};

TEST_P(PortPropertiesRefusal, ShowsItsMessageAndChangesNothing) {
    storedPort(0, "COM1", {{"10.9.9.9", 1, "first"}});
    std::string before = storeSnapshot();
    auto dialog = open(1, -1);
    fill(*dialog, GetParam().fields);
    expectError(GetParam().message);

    press(*dialog, IDC_ADD_TO_LIST);

    EXPECT_EQ(storeSnapshot(), before);
    EXPECT_EQ(hostsOf(0), (std::vector<HostValues>{{"10.9.9.9", 1, "first"}}));
    EXPECT_EQ(findFreeSlot(), 1);
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_TRUE(boxes.shown()[0].owned);
}

INSTANTIATE_TEST_SUITE_P(EachCheck, PortPropertiesRefusal, ::testing::ValuesIn(REFUSALS),
                         [](const auto& info) { return std::string(info.param.name); });

// Addresses of other kinds of serial server: accepted as typed, or refused with the
// message of what is wrong. Vorlix addresses keep their old rule (four characters at
// least, anything else goes).
struct AddressCase {
    const char* name;
    std::string address;
    const char* message; // nullptr: accepted
};

void PrintTo(const AddressCase& c, std::ostream* out) {
    *out << c.name;
}

constexpr const char* BAD_KIND =
    "Invalid server type.\nPlease enter rfc2217://HOST:PORT or socket://HOST:PORT.";
constexpr const char* BAD_PORT =
    "Invalid TCP port number.\nPlease enter a port number from 1 to 65535 after the host.";
constexpr const char* BAD_HOST = "Invalid host name.\nPlease enter a name, an IPv4 address or "
                                 "an IPv6 address in brackets.";
constexpr const char* TOO_LONG = "Server address too long.\nPlease enter at most 49 characters.";

// rfc2217://h...h:2217 of the given length.
std::string serverAddressOfLength(size_t length) {
    return "rfc2217://" + std::string(length - 15, 'h') + ":2217";
}

const AddressCase ADDRESSES[] = {
    {"Rfc2217Name", "rfc2217://ser2net-host:2217", nullptr},
    {"SocketIpv4", "socket://10.0.0.7:4001", nullptr},
    {"Ipv6InBrackets", "rfc2217://[fe80::1]:7000", nullptr},
    {"LowestPort", "socket://h:1", nullptr},
    {"HighestPort", "rfc2217://h:65535", nullptr},
    {"FortyNineCharacters", serverAddressOfLength(49), nullptr},
    {"VorlixIpv6StaysVorlix", "fe80::1", nullptr},
    {"VorlixFiftyCharacters", std::string(50, 'v'), nullptr},
    {"OtherScheme", "foo://host:4001", BAD_KIND},
    {"OneSlash", "rfc2217:/host:4001", BAD_KIND},
    {"NoSlashes", "socket:host:4001", BAD_KIND},
    {"UpperCaseScheme", "RFC2217://host:4001", BAD_KIND},
    {"NoPort", "rfc2217://host", BAD_PORT},
    {"EmptyPort", "socket://host:", BAD_PORT},
    {"PortZero", "socket://host:0", BAD_PORT},
    {"Port65536", "socket://host:65536", BAD_PORT},
    {"PortNotDigits", "rfc2217://host:40a1", BAD_PORT},
    {"Ipv6WithoutPort", "rfc2217://[fe80::1]", BAD_PORT},
    {"EmptyHost", "rfc2217://:4001", BAD_HOST},
    {"UnclosedBracket", "rfc2217://[fe80::1:4001", BAD_HOST},
    {"Ipv6WithoutBrackets", "socket://fe80::1:4001", BAD_HOST},
    {"FiftyCharacters", serverAddressOfLength(50), TOO_LONG},
};

class PortPropertiesAddress : public PortProperties,
                              public ::testing::WithParamInterface<AddressCase> {};

TEST_P(PortPropertiesAddress, IsAcceptedAsTypedOrRefusedWithItsMessage) {
    const AddressCase& c = GetParam();
    std::string before = storeSnapshot();
    auto dialog = open(1, -1);
    fill(*dialog, {"COM4", c.address, 3, "x"});
    if (c.message)
        expectError(c.message);

    press(*dialog, IDC_ADD_TO_LIST);

    if (c.message) {
        EXPECT_EQ(storeSnapshot(), before);
        EXPECT_EQ(findPortByName("COM4"), -1);
        return;
    }
    EXPECT_EQ(hostsOf(0), (std::vector<HostValues>{{c.address, 3, "x"}}));
    manager.pumpFor(50);
    EXPECT_EQ(window().portList()->rowText(0, COL_ADDRESS), c.address);
}

INSTANTIATE_TEST_SUITE_P(Table, PortPropertiesAddress, ::testing::ValuesIn(ADDRESSES),
                         [](const auto& info) { return std::string(info.param.name); });

// Modify mode checks the same way, and the entry keeps the device port number chosen.
TEST_F(PortProperties, ModifyModeTakesAServerAddressOnlyWhenUsable) {
    int slot = storedPort(1, "COM2", {{"10.0.0.1", 1, "a"}});
    port(slot).hostCursor = port(slot).hostList;
    auto dialog = open(0, slot);
    EXPECT_FALSE(dialog->control(IDC_PORT_NO)->toolTip().isEmpty());

    fill(*dialog, {"COM2", "socket://serial-box:99999", 5, "a"});
    expectError(BAD_PORT);
    press(*dialog, IDOK);
    EXPECT_TRUE(dialog->isVisible());

    fill(*dialog, {"COM2", "socket://serial-box:9999", 5, "a"});
    press(*dialog, IDOK);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(hostsOf(slot), (std::vector<HostValues>{{"socket://serial-box:9999", 5, "a"}}));
}

TEST_F(PortProperties, OtherLetterCaseOfHiddenPortAndFourCharacterAddressAreAccepted) {
    auto dialog = open(1, -1);
    fill(*dialog, {"COM4", "a.bc", 3, "(hidden port)"});
    press(*dialog, IDC_ADD_TO_LIST);
    EXPECT_EQ(hostsOf(0), (std::vector<HostValues>{{"a.bc", 3, "(hidden port)"}}));
}

TEST_F(PortProperties, NoFreeSlotIsRefused) {
    for (int slot = 0; slot < PORT_SLOTS; ++slot)
        copyField(port(slot).portName, ("COM" + std::to_string(slot + 1)).c_str());
    copyField(port(42).portName, "COM100"); // COM43 is free as a name, not as a slot
    auto dialog = open(1, -1);
    fill(*dialog, {"COM43", "10.0.0.1", 1, ""});
    expectError("Redirector can't support over 99 ports.");
    press(*dialog, IDC_ADD_TO_LIST);
    EXPECT_EQ(findPortByName("COM43"), -1);
}

TEST_F(PortProperties, AddingToARunningPortIsAllowed) {
    int slot = storedPort(3, "COM6", {{address(), 1, "one"}});
    setCurrentHost(port(slot), address().c_str(), 1);
    int application = connectApplication(slot, "COM6");
    ASSERT_GE(application, 0);
    auto dialog = open(1, -1);
    fill(*dialog, {"COM6", address(), 2, "two"});
    press(*dialog, IDC_ADD_TO_LIST);
    EXPECT_EQ(hostsOf(slot),
              (std::vector<HostValues>{{address(), 1, "one"}, {address(), 2, "two"}}));
    EXPECT_EQ(port(slot).state.load(), PORT_CONNECTED);
    ::close(application);
}

TEST_F(PortProperties, ModifyModeRenamesThePortInItsSlotAndKeepsTheCurrentHost) {
    int slot = storedPort(2, "COM3", {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}});
    setCurrentHost(port(slot), "10.0.0.1", 1);
    saveCurrentHost(slot);
    port(slot).hostCursor = port(slot).hostList->next;
    auto dialog = open(0, slot);
    EXPECT_TRUE(dialog->control(IDCANCEL)->isVisible());
    EXPECT_FALSE(dialog->control(IDC_ADD_TO_LIST)->isVisible());
    Fields before = shown(*dialog);
    EXPECT_EQ(before.com, "COM3");
    EXPECT_EQ(before.address, "10.0.0.2");
    EXPECT_EQ(before.portNo, 2);
    EXPECT_EQ(before.description, "b");

    fill(*dialog, {"COM7", "10.0.0.2", 5, "b moved"});
    press(*dialog, IDOK);

    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(findPortByName("COM7"), slot);
    EXPECT_EQ(findPortByName("COM3"), -1);
    EXPECT_EQ(hostsOf(slot),
              (std::vector<HostValues>{{"10.0.0.1", 1, "a"}, {"10.0.0.2", 5, "b moved"}}));
    std::vector<std::string> expected =
        portKeyLines(slot, "COM7", {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 5, "b moved"}});
    expected.push_back(textLine("CurIPAddr", "10.0.0.1"));
    expected.push_back(dwordLine("CurTCPPortNo", 1));
    EXPECT_EQ(storedKeyLines(portKeyName(slot)), expected);
    EXPECT_EQ(currentHost(port(slot)).portNo, 1);
}

TEST_F(PortProperties, ModifyModeRefusesAnotherPortsNameAndAnotherEntrysHost) {
    storedPort(0, "COM1", {{"10.0.0.9", 9, "other port"}});
    int slot = storedPort(1, "COM3", {{"10.0.0.1", 1, "a"}, {"10.0.0.2", 2, "b"}});
    port(slot).hostCursor = port(slot).hostList;
    auto dialog = open(0, slot);
    std::string before = storeSnapshot();

    fill(*dialog, {"COM1", "10.0.0.1", 1, "a"});
    boxes.expect("Duplicated COM port name detected.\nPlease try to choose another port name.",
                 "Error", MB_ICONERROR);
    press(*dialog, IDOK);
    EXPECT_TRUE(dialog->isVisible());

    fill(*dialog, {"COM3", "10.0.0.2", 2, "a"});
    expectError("Duplicated Vorlix information detected.\nPlease choose another Vorlix.");
    press(*dialog, IDOK);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(storeSnapshot(), before);

    // The same host on another port is no duplicate, nor is the entry itself.
    fill(*dialog, {"COM3", "10.0.0.9", 9, "a"});
    press(*dialog, IDOK);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(hostsOf(slot), (std::vector<HostValues>{{"10.0.0.9", 9, "a"}, {"10.0.0.2", 2, "b"}}));
}

} // namespace
