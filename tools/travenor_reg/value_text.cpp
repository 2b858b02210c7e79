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

// Columns of a quoted text; a line of a file can be megabytes long.
constexpr size_t QUOTED_TEXT_COLUMNS = 60;

// The length of the UTF-8 sequence at text[at] when it is one printable character; 0
// for a control character (C0, DEL, C1) and for bytes that are not UTF-8, which a
// terminal may take for the start of an escape sequence.
size_t printableLength(std::string_view text, size_t at) {
    unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return lead >= 0x20 && lead != 0x7f ? 1 : 0;
    size_t length = lead >= 0xf8 ? 0 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    uint32_t code = lead & (0x7fu >> length);
    for (size_t i = 1; i < length; i++) {
        unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0) != 0x80)
            return 0;
        code = code << 6 | (next & 0x3f);
    }
    // The smallest code each length may carry: shorter forms, C1 controls and
    // surrogates are refused.
    static const uint32_t smallest[] = {0, 0, 0xa0, 0x800, 0x10000};
    bool valid = code >= smallest[length] && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
    return valid ? length : 0;
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
    *error = std::string("bad ") + typeName(type) + " data " + quotedText(data);
    return false;
}

std::string quotedText(std::string_view text) {
    std::string out = "'";
    size_t at = 0;
    for (size_t columns = 0; at < text.size() && columns < QUOTED_TEXT_COLUMNS; columns++) {
        size_t length = printableLength(text, at);
        if (length == 0) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(text[at]));
            out += code;
            length = 1;
            columns += 3;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    out += '\'';
    if (at < text.size())
        out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
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
