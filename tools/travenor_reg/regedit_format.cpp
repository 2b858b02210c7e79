#include "tools/travenor_reg/regedit_format.h"

#include "platform/registry.h"
#include "tools/travenor_reg/key_path.h"
#include "tools/travenor_reg/value_text.h"

#include <cstdio>

namespace travenor {

namespace {

constexpr size_t HEX_LINE_WIDTH = 76;

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

std::string quotedName(const std::string& name) {
    if (name.empty())
        return "@";
    // Appended piece by piece: GCC 12 sees a false overlap in "\"" + std::string&&.
    std::string out = "\"";
    out += escaped(name);
    out += '"';
    return out;
}

bool printableText(const std::vector<uint8_t>& data) {
    for (uint8_t byte : data)
        if (byte == 0 || byte == '\r' || byte == '\n')
            return false;
    return true;
}

std::string hexData(const std::string& prefix, const std::vector<uint8_t>& data) {
    std::string out = prefix;
    size_t lineLength = out.size();
    char piece[8];
    for (size_t i = 0; i < data.size(); i++) {
        if (lineLength + 3 > HEX_LINE_WIDTH) {
            out += "\\\n  ";
            lineLength = 2;
        }
        std::snprintf(piece, sizeof piece, i + 1 < data.size() ? "%02x," : "%02x", data[i]);
        out += piece;
        lineLength += 3;
    }
    return out;
}

// Without blanks around it and without the CR of a CRLF ending.
std::string trimmed(const std::string& text) {
    size_t last = text.find_last_not_of(" \t\r");
    if (last == std::string::npos)
        return "";
    size_t first = text.find_first_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A quoted string starting at text[*at]; *at moves past the closing quote.
bool readQuoted(const std::string& text, size_t* at, std::string* out) {
    out->clear();
    if (*at >= text.size() || text[*at] != '"')
        return false;
    for (size_t i = *at + 1; i < text.size(); i++) {
        if (text[i] == '"') {
            *at = i + 1;
            return true;
        }
        if (text[i] == '\\' &&
            (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')))
            return false;
        if (text[i] == '\\')
            i++;
        *out += text[i];
    }
    return false;
}

// Parses one input line at a time; keeps the key the value lines belong to.
class Parser {
  public:
    Parser(const std::vector<std::string>& lines, std::vector<ImportStep>* steps)
        : lines_(lines), steps_(steps) {}

    bool run(std::string* error) {
        if (lines_.empty() || trimmed(lines_[0]) != "REGEDIT4")
            return fail("the first line must be REGEDIT4", error);
        for (index_ = 1; index_ < lines_.size(); index_++) {
            std::string line = trimmed(lines_[index_]);
            if (line.empty() || line[0] == ';')
                continue;
            if (!parseLine(line))
                return fail(problem_, error);
        }
        return true;
    }

  private:
    // "line N: problem: 'the line'", the line quoted so that what a file holds reaches
    // the terminal harmless and short.
    bool fail(const std::string& problem, std::string* error) {
        *error = "line " + std::to_string(start_ + 1) + ": " + problem;
        if (start_ < lines_.size())
            *error += ": " + quotedText(trimmed(lines_[start_]));
        return false;
    }

    bool problem(const std::string& text) {
        problem_ = text;
        return false;
    }

    bool parseLine(const std::string& line) {
        start_ = index_;
        if (line[0] == '[')
            return parseHeader(line);
        if (line[0] == '"' || line[0] == '@')
            return parseValue(line);
        return problem("unrecognised line");
    }

    bool parseHeader(const std::string& line) {
        if (line.back() != ']')
            return problem("key header without closing ]");
        bool remove = line.size() > 1 && line[1] == '-';
        std::string name = line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2));
        ImportStep step;
        if (!checkWrittenName(name, "key name", &problem_) ||
            !parseKeyPath(name, &step.subKey, &problem_))
            return false;
        if (remove && step.subKey.empty())
            return problem("the root key cannot be deleted");
        if (!remove && !checkKeyLevels(step.subKey, &problem_))
            return false;
        step.kind = remove ? ImportStep::DeleteKey : ImportStep::OpenKey;
        haveKey_ = !remove;
        return add(step);
    }

    bool parseValue(const std::string& line) {
        if (!haveKey_)
            return problem("value outside any key");
        ImportStep step;
        size_t at = 0;
        if (line[0] == '@')
            at = 1;
        else if (!readQuoted(line, &at, &step.name))
            return problem("malformed value name");
        if (!checkWrittenName(step.name, "value name", &problem_))
            return false;
        if (at >= line.size() || line[at] != '=')
            return problem("expected = after the value name");
        return parseData(trimmed(line.substr(at + 1)), &step) && add(step);
    }

    bool parseData(std::string data, ImportStep* step) {
        if (data == "-") {
            step->kind = ImportStep::DeleteValue;
            return true;
        }
        step->kind = ImportStep::SetValue;
        if (data.compare(0, 1, "\"") == 0)
            return parseText(data, step);
        if (data.compare(0, 6, "dword:") == 0)
            return parseDword(data.substr(6), step);
        if (data.compare(0, 3, "hex") == 0)
            return joinContinuations(&data) && parseHex(data, step);
        return problem("unrecognised value data");
    }

    bool parseText(const std::string& data, ImportStep* step) {
        size_t at = 0;
        std::string text;
        if (!readQuoted(data, &at, &text) || at != data.size())
            return problem("malformed text value");
        step->type = platform::REG_SZ;
        step->data.assign(text.begin(), text.end());
        return true;
    }

    bool parseDword(const std::string& digits, ImportStep* step) {
        uint32_t value = 0;
        if (digits.empty() || digits.size() > 8)
            return problem("dword needs 1 to 8 hex digits");
        for (char c : digits) {
            if (hexDigit(c) < 0)
                return problem("dword needs 1 to 8 hex digits");
            value = value * 16 + uint32_t(hexDigit(c));
        }
        step->type = platform::REG_DWORD;
        step->data = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                      uint8_t(value >> 24)};
        return true;
    }

    bool joinContinuations(std::string* data) {
        while (!data->empty() && data->back() == '\\') {
            data->pop_back();
            if (++index_ >= lines_.size())
                return problem("hex data continues past the end of the file");
            *data += trimmed(lines_[index_]);
        }
        return true;
    }

    bool parseHex(const std::string& data, ImportStep* step) {
        size_t colon = data.find(':');
        std::string kind = data.substr(0, colon);
        if (colon == std::string::npos || !hexType(kind, &step->type))
            return problem("unsupported value type " + quotedText(kind));
        if (!parseHexBytes(data.substr(colon + 1), true, &step->data))
            return problem("malformed hex bytes");
        if (step->type == platform::REG_DWORD && step->data.size() != 4)
            return problem("hex(4) needs exactly 4 bytes");
        return true;
    }

    static bool hexType(const std::string& kind, uint32_t* type) {
        struct Kind {
            const char* text;
            uint32_t type;
        };
        static const Kind kinds[] = {{"hex", platform::REG_BINARY},
                                     {"hex(3)", platform::REG_BINARY},
                                     {"hex(1)", platform::REG_SZ},
                                     {"hex(4)", platform::REG_DWORD}};
        for (const Kind& k : kinds)
            if (kind == k.text) {
                *type = k.type;
                return true;
            }
        return false;
    }

    bool add(ImportStep step) {
        step.line = int(start_ + 1);
        steps_->push_back(std::move(step));
        return true;
    }

    const std::vector<std::string>& lines_;
    std::vector<ImportStep>* steps_;
    size_t index_ = 0;
    size_t start_ = 0;
    bool haveKey_ = false;
    std::string problem_;
};

} // namespace

bool parseRegedit(const std::string& text, std::vector<ImportStep>* steps, std::string* error) {
    steps->clear();
    std::vector<std::string> lines = splitLines(text);
    return Parser(lines, steps).run(error);
}

std::string regeditHeader() {
    return "REGEDIT4\n\n";
}

std::string regeditKeyHeader(const std::string& fullName) {
    return "[" + fullName + "]\n";
}

std::string regeditValueLine(const std::string& name, uint32_t type,
                             const std::vector<uint8_t>& data) {
    std::string prefix = quotedName(name) + "=";
    if (type == platform::REG_SZ && printableText(data))
        return prefix + "\"" + escaped(std::string(data.begin(), data.end())) + "\"\n";
    if (type == platform::REG_DWORD && data.size() == 4) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%02x%02x%02x%02x", data[3], data[2], data[1],
                      data[0]);
        return prefix + digits + "\n";
    }
    if (type == platform::REG_BINARY)
        return hexData(prefix + "hex:", data) + "\n";
    return hexData(prefix + "hex(" + std::to_string(type) + "):", data) + "\n";
}

} // namespace travenor
