#include "platform/registry.h"

#include "tests/support/temp_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace platform;

namespace {

const char* portKey = "Enum\\Root\\Redirector\\0042";

HKEY created(const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS) << path;
    return key;
}

std::vector<uint8_t> bytesOf(HKEY key, const char* name, uint32_t* type = nullptr) {
    uint32_t size = 0;
    if (RegQueryValueEx(key, name, type, nullptr, &size) != ERROR_SUCCESS)
        return {};
    std::vector<uint8_t> data(size);
    EXPECT_EQ(RegQueryValueEx(key, name, type, data.data(), &size), ERROR_SUCCESS);
    return data;
}

std::vector<uint8_t> textBytes(const char* text) {
    return {text, text + std::strlen(text)};
}

} // namespace

TEST(RegistryNames, ValueNamesMatchWithoutCaseAndKeepTheCaseFirstWritten) {
    TempStore temp;
    HKEY key = created(portKey);
    ASSERT_EQ(regSetString(key, "IpAddr01", "10.0.0.1"), ERROR_SUCCESS);
    EXPECT_EQ(bytesOf(key, "IPADDR01"), textBytes("10.0.0.1"));
    EXPECT_EQ(bytesOf(key, "ipaddr01"), textBytes("10.0.0.1"));

    ASSERT_EQ(regSetString(key, "IPAddr01", "10.0.0.2"), ERROR_SUCCESS);
    std::vector<RegValue> values;
    ASSERT_EQ(regEnumValues(key, &values), ERROR_SUCCESS);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "IpAddr01");
    EXPECT_EQ(values[0].data, textBytes("10.0.0.2"));

    ASSERT_EQ(RegDeleteValue(key, "IPADDR01"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueEx(key, "IpAddr01", nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST(RegistryNames, KeyNamesMatchWithoutCaseAndKeepTheCaseFirstWritten) {
    TempStore temp;
    RegCloseKey(created(portKey));
    RegCloseKey(created("ENUM\\ROOT\\REDIRECTOR\\0043"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "enum\\root\\redirector\\0042", &key),
              ERROR_SUCCESS);
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root", &key), ERROR_SUCCESS);
    std::vector<std::string> names;
    ASSERT_EQ(regEnumSubkeys(key, &names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::string>{"Redirector"});
    RegCloseKey(key);
}

TEST(RegistryKeys, OpenFailsForMissingKeyAndMalformedPaths) {
    TempStore temp;
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKey, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    const std::string overlong(256, 'k');
    for (const char* bad : {"Enum\\\\Root", "\\Enum", "Enum\\", overlong.c_str()}) {
        EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, bad, &key), ERROR_INVALID_PARAMETER) << bad;
        EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, bad, &key), ERROR_INVALID_PARAMETER) << bad;
    }
    EXPECT_EQ(RegOpenKeyEx(nullptr, "Enum", &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, ""), ERROR_INVALID_PARAMETER);
}

// The manager reads text into a 128-byte buffer and treats "does not fit" as missing.
struct QueryCase {
    const char* label;
    uint32_t buffer;
    bool nullData;
    long result;
    bool copied;
    bool nulAppended;
};

class RegistryQuerySize : public testing::TestWithParam<QueryCase> {};

TEST_P(RegistryQuerySize, StatesTheStoredSizeAndCopiesOnlyWhatFits) {
    TempStore temp;
    const QueryCase& c = GetParam();
    HKEY key = created(portKey);
    ASSERT_EQ(regSetString(key, "PORTNAME", "COM5"), ERROR_SUCCESS);
    uint8_t buffer[16];
    std::memset(buffer, 0xAA, sizeof buffer);
    uint32_t type = REG_NONE;
    uint32_t size = c.buffer;
    EXPECT_EQ(RegQueryValueEx(key, "PORTNAME", &type, c.nullData ? nullptr : buffer, &size),
              c.result);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::memcmp(buffer, "COM5", 4) == 0, c.copied);
    EXPECT_EQ(buffer[4], c.nulAppended ? 0 : 0xAA);
    RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, RegistryQuerySize,
    testing::Values(QueryCase{"TooSmall", 3, false, ERROR_MORE_DATA, false, false},
                    QueryCase{"Empty", 0, false, ERROR_MORE_DATA, false, false},
                    QueryCase{"ExactNoRoomForNul", 4, false, ERROR_SUCCESS, true, false},
                    QueryCase{"RoomForNul", 5, false, ERROR_SUCCESS, true, true},
                    QueryCase{"LargeBuffer", 16, false, ERROR_SUCCESS, true, true},
                    QueryCase{"SizeOnly", 0, true, ERROR_SUCCESS, false, false}),
    [](const testing::TestParamInfo<QueryCase>& info) { return info.param.label; });

TEST(RegistryValues, StoredBytesFollowTheirType) {
    TempStore temp;
    HKEY key = created(portKey);
    const uint8_t withNul[] = {'C', 'O', 'M', '5', 0};
    ASSERT_EQ(RegSetValueEx(key, "PORTNAME", REG_SZ, withNul, sizeof withNul), ERROR_SUCCESS);
    uint32_t type = 0;
    EXPECT_EQ(bytesOf(key, "PORTNAME", &type), textBytes("COM5"));
    EXPECT_EQ(type, REG_SZ);

    ASSERT_EQ(regSetDword(key, "TCPPortNo01", 0x0A0B0C0D), ERROR_SUCCESS);
    EXPECT_EQ(bytesOf(key, "TCPPortNo01", &type), (std::vector<uint8_t>{0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(type, REG_DWORD);

    const std::vector<uint8_t> flags = {0x00, 0x00, 0x00, 0x00, 0xFF};
    ASSERT_EQ(RegSetValueEx(key, "ConfigFlags", REG_BINARY, flags.data(), 5), ERROR_SUCCESS);
    EXPECT_EQ(bytesOf(key, "ConfigFlags", &type), flags);
    EXPECT_EQ(type, REG_BINARY);

    ASSERT_EQ(regSetString(key, "Description01", ""), ERROR_SUCCESS);
    uint32_t size = 99;
    EXPECT_EQ(RegQueryValueEx(key, "Description01", nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    RegCloseKey(key);
}

TEST(RegistryValues, MalformedWritesAreRefusedAndChangeNothing) {
    TempStore temp;
    HKEY key = created(portKey);
    ASSERT_EQ(regSetDword(key, "TCPPortNo01", 7), ERROR_SUCCESS);
    const uint8_t three[] = {1, 2, 3};
    EXPECT_EQ(RegSetValueEx(key, "TCPPortNo01", REG_DWORD, three, 3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueEx(key, "TCPPortNo01", 7, three, 3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueEx(key, "TCPPortNo01", REG_BINARY, nullptr, 3), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(bytesOf(key, "TCPPortNo01"), (std::vector<uint8_t>{7, 0, 0, 0}));
    RegCloseKey(key);
}

TEST(RegistryKeys, DeleteRemovesTheWholeSubtreeForGood) {
    TempStore temp;
    HKEY deep = created("Enum\\Root\\Redirector\\0042\\Inner");
    ASSERT_EQ(regSetString(deep, "Note", "x"), ERROR_SUCCESS);
    RegCloseKey(deep);
    HKEY sibling = created("Enum\\Root\\Other");
    RegCloseKey(sibling);

    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "ENUM\\Root\\Redirector"), ERROR_SUCCESS);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKey, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Enum\\Root\\Other", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector"), ERROR_FILE_NOT_FOUND);

    deep = created("Enum\\Root\\Redirector\\0042\\Inner");
    EXPECT_EQ(RegQueryValueEx(deep, "Note", nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(deep);
}

TEST(RegistryKeys, CreateRefusesKeysDeeperThanTheLimitAndCreatesNothing) {
    TempStore temp;
    std::string path = "L1";
    for (size_t level = 2; level < MAX_KEY_LEVELS; level++)
        path += "\\L" + std::to_string(level);
    HKEY above = created(path.c_str());
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, (path + "\\L512\\L513").c_str(), &key),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyEx(above, "L512\\L513", &key), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyEx(above, "L512", &key), ERROR_FILE_NOT_FOUND);

    HKEY deepest = nullptr;
    ASSERT_EQ(RegCreateKeyEx(above, "L512", &deepest), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyEx(deepest, "L513", &key), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    RegCloseKey(deepest);
    RegCloseKey(above);
}

TEST(RegistryKeys, HandleToDeletedKeyFailsCleanlyEvenAfterTheKeyIsRecreated) {
    TempStore temp;
    HKEY key = created(portKey);
    ASSERT_EQ(regSetString(key, "PORTNAME", "COM5"), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector"), ERROR_SUCCESS);

    uint8_t buffer[8];
    uint32_t size = sizeof buffer;
    std::vector<std::string> names;
    std::vector<RegValue> values;
    HKEY child = nullptr;
    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(RegQueryValueEx(key, "PORTNAME", nullptr, buffer, &size), ERROR_KEY_DELETED);
        EXPECT_EQ(regSetString(key, "PORTNAME", "COM6"), ERROR_KEY_DELETED);
        EXPECT_EQ(RegDeleteValue(key, "PORTNAME"), ERROR_KEY_DELETED);
        EXPECT_EQ(RegCreateKeyEx(key, "Child", &child), ERROR_KEY_DELETED);
        EXPECT_EQ(RegOpenKeyEx(key, "", &child), ERROR_KEY_DELETED);
        EXPECT_EQ(RegDeleteKey(key, "Child"), ERROR_KEY_DELETED);
        EXPECT_EQ(RegFlushKey(key), ERROR_KEY_DELETED);
        EXPECT_EQ(regEnumSubkeys(key, &names), ERROR_KEY_DELETED);
        EXPECT_EQ(regEnumValues(key, &values), ERROR_KEY_DELETED);
        RegCloseKey(created(portKey));
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST(RegistryStore, WritesSurviveReopeningTheStore) {
    TempStore temp;
    HKEY key = created(portKey);
    ASSERT_EQ(regSetString(key, "CurIPAddr", "192.168.1.20"), ERROR_SUCCESS);
    ASSERT_EQ(regSetDword(key, "CurTCPPortNo", 4002), ERROR_SUCCESS);
    ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    RegCloseKey(key);
    resetRegistryStore();

    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, portKey, &key), ERROR_SUCCESS);
    EXPECT_EQ(bytesOf(key, "CurIPAddr"), textBytes("192.168.1.20"));
    EXPECT_EQ(bytesOf(key, "CurTCPPortNo"), (std::vector<uint8_t>{0xA2, 0x0F, 0, 0}));
    RegCloseKey(key);
}

TEST(RegistryTransaction, GroupIsVisibleOnlyWhenCommitted) {
    TempStore temp;
    {
        RegTransaction group;
        ASSERT_EQ(group.status(), ERROR_SUCCESS);
        HKEY key = created(portKey);
        EXPECT_EQ(regSetString(key, "PORTNAME", "COM5"), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Enum", &key), ERROR_FILE_NOT_FOUND);

    RegTransaction group;
    key = created(portKey);
    EXPECT_EQ(regSetString(key, "PORTNAME", "COM5"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValue(key, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(regSetDword(key, "TCPPortNo01", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegTransaction().status(), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(group.commit(), ERROR_SUCCESS);
    resetRegistryStore();
    EXPECT_EQ(bytesOf(key, "PORTNAME"), textBytes("COM5"));
    EXPECT_EQ(bytesOf(key, "TCPPortNo01"), (std::vector<uint8_t>{1, 0, 0, 0}));
    RegCloseKey(key);
}

TEST(RegistryThreads, HandlesMayBeUsedAndDeletedFromSeveralThreads) {
    TempStore temp;
    std::atomic<int> unexpected{0};
    auto worker = [&](int n) {
        std::string path = std::string("Enum\\Root\\Redirector\\000") + char('0' + n);
        for (int round = 0; round < 40; round++) {
            HKEY key = nullptr;
            if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), &key) != ERROR_SUCCESS) {
                unexpected++;
                continue;
            }
            long rc = regSetDword(key, "TCPPortNo01", uint32_t(round));
            if (rc != ERROR_SUCCESS && rc != ERROR_KEY_DELETED)
                unexpected++;
            uint8_t data[4];
            uint32_t size = 4;
            rc = RegQueryValueEx(key, "TCPPortNo01", nullptr, data, &size);
            if (rc != ERROR_SUCCESS && rc != ERROR_KEY_DELETED && rc != ERROR_FILE_NOT_FOUND)
                unexpected++;
            RegCloseKey(key);
        }
    };
    auto remover = [&] {
        for (int round = 0; round < 40; round++) {
            long rc = RegDeleteKey(HKEY_LOCAL_MACHINE, "Enum\\Root\\Redirector");
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
                unexpected++;
        }
    };
    std::thread a(worker, 1), b(worker, 2), c(remover);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(unexpected.load(), 0);
}
