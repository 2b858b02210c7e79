// travenor-reg: reads and writes the configuration store from the command line, in
// the manner of reg.exe and regedit. Safe to use while the manager runs.
#include "platform/paths.h"
#include "tools/travenor_reg/commands.h"

#include <cstdio>
#include <strings.h>

namespace {

struct Verb {
    const char* name;
    int (*run)(const travenor::Arguments&);
};

const Verb verbs[] = {
    {"query", travenor::queryCommand},   {"add", travenor::addCommand},
    {"delete", travenor::deleteCommand}, {"export", travenor::exportCommand},
    {"import", travenor::importCommand},
};

const char* usage = "usage:\n"
                    "  travenor-reg query KEY [/v NAME]\n"
                    "  travenor-reg add KEY [/v NAME [/t REG_SZ|REG_DWORD|REG_BINARY] [/d DATA]]\n"
                    "  travenor-reg delete KEY [/v NAME]\n"
                    "  travenor-reg export KEY FILE\n"
                    "  travenor-reg import FILE\n"
                    "KEY is HKLM\\path or HKEY_LOCAL_MACHINE\\path. REG_DWORD data is decimal or\n"
                    "0x hex; REG_BINARY data is hex bytes, 04000000 or 04,00,00,00.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "travenor-reg: missing verb\n%s", usage);
        return 1;
    }
    std::string verb = argv[1];
    if (verb == "/?" || verb == "--help" || verb == "-h") {
        std::fputs(usage, stdout);
        return 0;
    }
    // A store folder of another user, or a planted link, is not opened.
    platform::PrivateFolder store = platform::checkedStoreFolder();
    if (!store.usable())
        return travenor::fail(store.problem);
    travenor::Arguments args(argv + 2, argv + argc);
    for (const Verb& entry : verbs)
        if (strcasecmp(verb.c_str(), entry.name) == 0)
            return entry.run(args);
    return travenor::fail("unknown verb '" + verb + "' (query, add, delete, export or import)");
}
