#include "app/command_line.h"

#include <cstdio>

namespace {

struct OptionEntry {
    const char* name;
    StartMode mode;
};

constexpr OptionEntry OPTIONS[] = {
    {"--service", StartMode::Service},
    {"--version", StartMode::Version},
    {"--help", StartMode::Help},
    {"-h", StartMode::Help},
};

// Exit status of a command line that cannot be followed, as usual for a usage error.
constexpr int USAGE_ERROR = 2;

} // namespace

// An answer (--version, --help) wins over the service mode wherever it stands; anything
// unknown is refused rather than passed over.
CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine result;
    bool answer = false;
    for (const std::string& argument : arguments) {
        const OptionEntry* found = nullptr;
        for (const OptionEntry& option : OPTIONS)
            if (argument == option.name)
                found = &option;
        if (!found)
            return {StartMode::Error, "unknown argument '" + argument + "'"};
        if (found->mode == StartMode::Service) {
            if (!answer)
                result.mode = StartMode::Service;
            continue;
        }
        if (!answer)
            result.mode = found->mode;
        answer = true;
    }
    return result;
}

std::string versionText() {
    return std::string("travenor ") + QUORVALINK_VERSION + " (Quorvalink Redirector Manager)\n";
}

std::string usageText() {
    return "Usage: travenor [--service | --version | --help]\n"
           "  (none)      the manager with its window and tray icon\n"
           "  --service   the manager without window or tray icon (a box without a\n"
           "              desktop, the systemd user unit travenor.service): traces on\n"
           "              standard error, questions answered No or OK and traced,\n"
           "              SIGTERM ends it with the current hosts saved\n"
           "  --version   print the version and end\n"
           "  --help      print this text and end\n";
}

int answerCommandLine(const CommandLine& commandLine) {
    switch (commandLine.mode) {
    case StartMode::Version:
        std::fputs(versionText().c_str(), stdout);
        return 0;
    case StartMode::Help:
        std::fputs(usageText().c_str(), stdout);
        return 0;
    default:
        std::fprintf(stderr, "travenor: %s\n%s", commandLine.error.c_str(), usageText().c_str());
        return USAGE_ERROR;
    }
}
