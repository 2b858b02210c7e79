#include "tools/travenor_reg/commands.h"

#include "platform/registry.h"
#include "tools/travenor_reg/key_path.h"
#include "tools/travenor_reg/regedit_format.h"
#include "tools/travenor_reg/value_text.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <strings.h>

using namespace platform;

namespace travenor {

namespace {

struct ErrorText {
    long code;
    const char* text;
};
const ErrorText errorTexts[] = {
    {ERROR_FILE_NOT_FOUND, "not found"},
    {ERROR_ACCESS_DENIED, "access denied"},
    {ERROR_INVALID_HANDLE, "invalid handle"},
    {ERROR_INVALID_PARAMETER, "invalid name or data"},
    {ERROR_KEY_DELETED, "the key was deleted meanwhile"},
    {ERROR_REGISTRY_IO_FAILED, "the store cannot be read or written"},
};

std::string errorText(long code) {
    for (const ErrorText& entry : errorTexts)
        if (entry.code == code)
            return entry.text;
    return "error " + std::to_string(code);
}

// A key handle closed when it goes out of scope.
class OpenKey {
  public:
    OpenKey() = default;
    ~OpenKey() {
        if (key_)
            RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    long open(const std::string& subKey) { return reopen(RegOpenKeyEx, subKey); }
    long create(const std::string& subKey) { return reopen(RegCreateKeyEx, subKey); }
    HKEY get() const { return key_; }

  private:
    long reopen(long (*how)(HKEY, const char*, HKEY*), const std::string& subKey) {
        if (key_)
            RegCloseKey(key_);
        key_ = nullptr;
        return how(HKEY_LOCAL_MACHINE, subKey.c_str(), &key_);
    }
    HKEY key_ = nullptr;
};

// "/v NAME /t TYPE /d DATA /f" after the key; the letters in any case.
struct Options {
    std::map<char, std::string> given;
    bool has(char option) const { return given.count(option) != 0; }
};

bool parseOptions(const Arguments& args, size_t from, const std::string& allowed, Options* options,
                  std::string* error) {
    for (size_t i = from; i < args.size(); i++) {
        const std::string& arg = args[i];
        char letter = arg.size() == 2 && arg[0] == '/' ? char(tolower(arg[1])) : 0;
        if (!letter || allowed.find(letter) == std::string::npos) {
            *error = "unexpected argument '" + arg + "'";
            return false;
        }
        if (options->has(letter)) {
            *error = "option " + arg + " given twice";
            return false;
        }
        if (letter != 'f' && i + 1 >= args.size()) {
            *error = "option " + arg + " needs a value";
            return false;
        }
        options->given[letter] = letter == 'f' ? "" : args[++i];
    }
    return true;
}

bool keyArgument(const Arguments& args, std::string* subKey, std::string* error) {
    if (args.empty()) {
        *error = "missing KEY";
        return false;
    }
    return parseKeyPath(args[0], subKey, error);
}

long openExisting(OpenKey* key, const std::string& subKey, std::string* error) {
    long rc = key->open(subKey);
    if (rc != ERROR_SUCCESS)
        *error = "key " + fullKeyName(subKey) + ": " + errorText(rc);
    return rc;
}

void printValue(const RegValue& value) {
    std::printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : value.name.c_str(),
                typeName(value.type), formatData(value.type, value.data).c_str());
}

bool findValue(HKEY key, const std::string& name, RegValue* found) {
    std::vector<RegValue> values;
    regEnumValues(key, &values);
    for (const RegValue& value : values)
        if (strcasecmp(value.name.c_str(), name.c_str()) == 0) {
            *found = value;
            return true;
        }
    return false;
}

int queryAll(HKEY key, const std::string& spelled) {
    std::vector<RegValue> values;
    std::vector<std::string> names;
    long rc = regEnumValues(key, &values);
    if (rc == ERROR_SUCCESS)
        rc = regEnumSubkeys(key, &names);
    if (rc != ERROR_SUCCESS)
        return fail("key " + fullKeyName(spelled) + ": " + errorText(rc));
    std::printf("%s\n", fullKeyName(spelled).c_str());
    for (const RegValue& value : values)
        printValue(value);
    for (const std::string& name : names)
        std::printf("\n%s\\%s\n", fullKeyName(spelled).c_str(), name.c_str());
    return 0;
}

long setValue(const std::string& subKey, const std::string& name, uint32_t type,
              const std::vector<uint8_t>& data) {
    OpenKey key;
    long rc = key.create(subKey);
    if (rc == ERROR_SUCCESS && (type != REG_NONE))
        rc = RegSetValueEx(key.get(), name.c_str(), type, data.data(), uint32_t(data.size()));
    if (rc == ERROR_SUCCESS)
        rc = RegFlushKey(key.get());
    return rc;
}

// A key waiting to be exported, with its full name; the handle is the exporter's.
struct PendingKey {
    HKEY key;
    std::string fullName;
};

// Writes one key and its values, then puts its subkeys on top of the waiting ones so
// that they come out next, sorted by name.
long exportOne(const PendingKey& pending, std::vector<PendingKey>* waiting, std::string* out) {
    std::vector<RegValue> values;
    std::vector<std::string> names;
    long rc = regEnumValues(pending.key, &values);
    if (rc == ERROR_SUCCESS)
        rc = regEnumSubkeys(pending.key, &names);
    if (rc != ERROR_SUCCESS)
        return rc;
    *out += regeditKeyHeader(pending.fullName);
    for (const RegValue& value : values)
        *out += regeditValueLine(value.name, value.type, value.data);
    *out += "\n";
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        HKEY child = nullptr;
        rc = RegOpenKeyEx(pending.key, name->c_str(), &child);
        if (rc != ERROR_SUCCESS)
            return rc;
        waiting->push_back({child, pending.fullName + "\\" + *name});
    }
    return ERROR_SUCCESS;
}

// The key and its whole subtree, parents before children. A list of waiting keys
// rather than recursion, so that no depth of keys can exhaust the stack; after a
// failure the rest are only closed.
long exportTree(HKEY top, const std::string& fullName, std::string* out) {
    std::vector<PendingKey> waiting{{top, fullName}};
    long rc = ERROR_SUCCESS;
    while (!waiting.empty()) {
        PendingKey pending = std::move(waiting.back());
        waiting.pop_back();
        if (rc == ERROR_SUCCESS)
            rc = exportOne(pending, &waiting, out);
        if (pending.key != top)
            RegCloseKey(pending.key);
    }
    return rc;
}

long applyStep(const ImportStep& step, OpenKey* current) {
    long rc = ERROR_SUCCESS;
    switch (step.kind) {
    case ImportStep::OpenKey:
        return current->create(step.subKey);
    case ImportStep::DeleteKey:
        rc = RegDeleteKey(HKEY_LOCAL_MACHINE, step.subKey.c_str());
        break;
    case ImportStep::SetValue:
        return RegSetValueEx(current->get(), step.name.c_str(), step.type, step.data.data(),
                             uint32_t(step.data.size()));
    case ImportStep::DeleteValue:
        rc = RegDeleteValue(current->get(), step.name.c_str());
        break;
    }
    // Deleting what is not there is what the file asks for, as regedit sees it.
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

bool readFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return bool(in) || in.eof();
}

} // namespace

int fail(const std::string& problem) {
    std::fprintf(stderr, "travenor-reg: %s\n", problem.c_str());
    return 1;
}

int queryCommand(const Arguments& args) {
    std::string subKey, error;
    Options options;
    if (!keyArgument(args, &subKey, &error) || !parseOptions(args, 1, "v", &options, &error))
        return fail(error);
    OpenKey key;
    if (openExisting(&key, subKey, &error) != ERROR_SUCCESS)
        return fail(error);
    std::string spelled = storedSpelling(subKey);
    if (!options.has('v'))
        return queryAll(key.get(), spelled);
    RegValue value;
    if (!findValue(key.get(), options.given['v'], &value))
        return fail("value '" + options.given['v'] + "' not found in " + fullKeyName(spelled));
    std::printf("%s\n", fullKeyName(spelled).c_str());
    printValue(value);
    return 0;
}

int addCommand(const Arguments& args) {
    std::string subKey, error;
    Options options;
    if (!keyArgument(args, &subKey, &error) || !parseOptions(args, 1, "vtdf", &options, &error))
        return fail(error);
    if ((options.has('t') || options.has('d')) && !options.has('v'))
        return fail("/t and /d need /v NAME");
    if (!checkWrittenName(subKey, "key name", &error) || !checkKeyLevels(subKey, &error) ||
        (options.has('v') && !checkWrittenName(options.given.at('v'), "value name", &error)))
        return fail(error);
    uint32_t type = options.has('v') ? REG_SZ : REG_NONE;
    if (options.has('t') && !parseTypeName(options.given['t'], &type))
        return fail("unknown type '" + options.given['t'] + "' (REG_SZ, REG_DWORD or REG_BINARY)");
    std::vector<uint8_t> data;
    if (type != REG_NONE && !parseData(type, options.given['d'], &data, &error))
        return fail(error);
    RegTransaction group;
    long rc = group.status();
    if (rc == ERROR_SUCCESS)
        rc = setValue(subKey, options.given['v'], type, data);
    if (rc == ERROR_SUCCESS)
        rc = group.commit();
    return rc == ERROR_SUCCESS ? 0
                               : fail("cannot write " + fullKeyName(subKey) + ": " + errorText(rc));
}

int deleteCommand(const Arguments& args) {
    std::string subKey, error;
    Options options;
    if (!keyArgument(args, &subKey, &error) || !parseOptions(args, 1, "vf", &options, &error))
        return fail(error);
    OpenKey key;
    if (openExisting(&key, subKey, &error) != ERROR_SUCCESS)
        return fail(error);
    if (!options.has('v') && subKey.empty())
        return fail("the root key cannot be deleted");
    long rc = options.has('v') ? RegDeleteValue(key.get(), options.given['v'].c_str())
                               : RegDeleteKey(HKEY_LOCAL_MACHINE, subKey.c_str());
    if (rc == ERROR_FILE_NOT_FOUND && options.has('v'))
        return fail("value '" + options.given['v'] + "' not found in " + fullKeyName(subKey));
    return rc == ERROR_SUCCESS ? 0 : fail("cannot delete: " + errorText(rc));
}

int exportCommand(const Arguments& args) {
    std::string subKey, error;
    if (!keyArgument(args, &subKey, &error))
        return fail(error);
    if (args.size() != 2)
        return fail(args.size() < 2 ? "missing FILE" : "unexpected argument '" + args[2] + "'");
    std::string text = regeditHeader();
    {
        // One group, so that the export is a single consistent picture.
        RegTransaction group;
        OpenKey key;
        if (openExisting(&key, subKey, &error) != ERROR_SUCCESS)
            return fail(error);
        long rc = exportTree(key.get(), fullKeyName(storedSpelling(subKey)), &text);
        if (rc != ERROR_SUCCESS)
            return fail("cannot export " + fullKeyName(subKey) + ": " + errorText(rc));
    }
    std::ofstream out(args[1], std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out ? 0 : fail("cannot write '" + args[1] + "'");
}

int importCommand(const Arguments& args) {
    if (args.size() != 1)
        return fail(args.empty() ? "missing FILE" : "unexpected argument '" + args[1] + "'");
    std::string text, error;
    if (!readFile(args[0], &text))
        return fail("cannot read '" + args[0] + "'");
    std::vector<ImportStep> steps;
    if (!parseRegedit(text, &steps, &error))
        return fail(args[0] + ": " + error);
    RegTransaction group;
    if (group.status() != ERROR_SUCCESS)
        return fail("cannot write the store: " + errorText(group.status()));
    OpenKey current;
    for (const ImportStep& step : steps) {
        long rc = applyStep(step, &current);
        if (rc != ERROR_SUCCESS)
            return fail(args[0] + ": line " + std::to_string(step.line) + ": " + errorText(rc));
    }
    long rc = group.commit();
    return rc == ERROR_SUCCESS ? 0 : fail("cannot write the store: " + errorText(rc));
}

} // namespace travenor
