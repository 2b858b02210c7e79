#pragma once
// Value data as text: what `add /t TYPE /d DATA` accepts and what `query` prints.
//   REG_SZ      the text as given
//   REG_DWORD   decimal (10) or hexadecimal with 0x (0xA), 0..4294967295
//   REG_BINARY  hex bytes, two digits each, optionally comma separated:
//               04000000 or 04,00,00,00; empty for no bytes
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace travenor {

// REG_SZ, REG_DWORD or REG_BINARY by name (any letter case); false for others.
bool parseTypeName(const std::string& text, uint32_t* type);
const char* typeName(uint32_t type);

// The stored bytes for data of the given type, or false with *error set.
bool parseData(uint32_t type, const std::string& data, std::vector<uint8_t>* bytes,
               std::string* error);
// One query line's data column.
std::string formatData(uint32_t type, const std::vector<uint8_t>& bytes);

// Hex bytes "04,00,ff" (commas optional, surrounding blanks allowed) into bytes.
bool parseHexBytes(const std::string& text, bool commasRequired, std::vector<uint8_t>* bytes);
int hexDigit(char c);

// Text from a file or the command line as a message shows it: between single quotes,
// control characters and bytes that are not UTF-8 as \xNN (so that a hostile file cannot
// send escape sequences to the terminal), at most about 60 columns of it, and when cut,
// followed by "... (N bytes)".
std::string quotedText(std::string_view text);

} // namespace travenor
