#include "tools/travenor_reg/value_text.h"

#include "platform/registry.h"

#include <cstdio>
#include <strings.h>

namespace travenor {

namespace {

struct TypeName {
    uint32_t type;
    const char* name;
};
const TypeName typeNames[] = {
    {platform::REG_SZ, "REG_SZ"},
    {platform::REG_DWORD, "REG_DWORD"},
    {platform::REG_BINARY, "REG_BINARY"},
};

bool parseNumber(const std::string& text, int base, uint32_t* value) {
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t total = 0;
    for (char c : text) {
        int digit = base == 16 ? hexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0)
            return false;
        total = total * uint64_t(base) + uint64_t(digit);
    }
    *value = uint32_t(total);
    return total <= 0xFFFFFFFFu;
}

bool parseDword(const std::string& text, uint32_t* value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return hex ? text.size() <= 10 && parseNumber(text.substr(2), 16, value)
               : parseNumber(text, 10, value);
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

} // namespace

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseTypeName(const std::string& text, uint32_t* type) {
    for (const TypeName& entry : typeNames)
        if (strcasecmp(text.c_str(), entry.name) == 0) {
            *type = entry.type;
            return true;
        }
    return false;
}

const char* typeName(uint32_t type) {
    for (const TypeName& entry : typeNames)
        if (entry.type == type)
            return entry.name;
    return "REG_NONE";
}

bool parseHexBytes(const std::string& text, bool commasRequired, std::vector<uint8_t>* bytes) {
    bytes->clear();
    std::string rest = trimmed(text);
    size_t at = 0;
    while (at < rest.size()) {
        if (at + 1 >= rest.size() || hexDigit(rest[at]) < 0 || hexDigit(rest[at + 1]) < 0)
            return false;
        bytes->push_back(uint8_t(hexDigit(rest[at]) * 16 + hexDigit(rest[at + 1])));
        at += 2;
        if (at < rest.size() && rest[at] == ',')
            at++;
        else if (at < rest.size() && commasRequired)
            return false;
        while (at < rest.size() && (rest[at] == ' ' || rest[at] == '\t'))
            at++;
    }
    return true;
}

bool parseData(uint32_t type, const std::string& data, std::vector<uint8_t>* bytes,
               std::string* error) {
    uint32_t number = 0;
    if (type == platform::REG_SZ) {
        bytes->assign(data.begin(), data.end());
        return true;
    }
    if (type == platform::REG_DWORD && parseDword(data, &number)) {
        *bytes = {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16),
                  uint8_t(number >> 24)};
        return true;
    }
    if (type == platform::REG_BINARY && parseHexBytes(data, false, bytes))
        return true;
    *error = std::string("bad ") + typeName(type) + " data '" + data + "'";
    return false;
}

std::string formatData(uint32_t type, const std::vector<uint8_t>& bytes) {
    char buffer[16];
    if (type == platform::REG_DWORD && bytes.size() == 4) {
        uint32_t value = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                         uint32_t(bytes[3]) << 24;
        std::snprintf(buffer, sizeof buffer, "0x%x", value);
        return buffer;
    }
    if (type == platform::REG_SZ)
        return std::string(bytes.begin(), bytes.end());
    std::string hex;
    for (uint8_t byte : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02X", byte);
        hex += buffer;
    }
    return hex;
}

} // namespace travenor
