// vorlix-sim: a device-server simulator on loopback for tests, benchmarks and the
// demo. See docs/simulator.md for the options and the log format.
#include "tools/vorlix_sim/sim_server.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <pthread.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

using vorlixsim::Behaviour;
using vorlixsim::SimOptions;

struct BehaviourOption {
    const char* name;
    Behaviour behaviour;
};

constexpr BehaviourOption behaviourOptions[] = {
    {"--silent", Behaviour::Silent},
    {"--refuse", Behaviour::Refuse},
    {"--close-after-reply", Behaviour::CloseAfterReply},
    {"--garbage", Behaviour::Garbage},
    {"--pieces", Behaviour::Pieces},
    {"--quiet-when-idle", Behaviour::QuietWhenIdle},
};

constexpr char usage[] =
    "usage: vorlix-sim [--address A] [--ports N] [--maxspd S] [--info a,b,c,d]\n"
    "                  [--msr S] [--loopback-lines] [--log FILE]\n"
    "                  [--silent[=P,..]] [--refuse[=P,..]] [--close-after-reply[=P,..]]\n"
    "                  [--garbage[=P,..]] [--pieces[=P,..]] [--quiet-when-idle[=P,..]]\n";

constexpr char optionsHelp[] =
    "A device-server simulator: listens on TCP ports 4001..(4000+N) of one address and\n"
    "logs every frame it receives; runs until SIGINT or SIGTERM.\n"
    "  --address A         IPv4 address to listen on (127.0.0.1)\n"
    "  --ports N           serial ports, 1..32 (32)\n"
    "  --maxspd S          MAXSPD byte of the identification reply (7)\n"
    "  --info a,b,c,d      the four INFO bytes of the reply (1,0,N,port)\n"
    "  --msr S             send modem status S after every OPEN\n"
    "  --loopback-lines    answer MCR as a loopback plug: RTS drives CTS, DTR drives DSR, DCD\n"
    "  --log FILE          append the frame log to FILE (standard output)\n"
    "  --silent, --refuse, --close-after-reply, --garbage, --pieces, --quiet-when-idle\n"
    "                      a failure mode for every port, or with =P,.. for those ports\n"
    "Numbers are decimal or 0x hex. More: docs/simulator.md.\n";

bool helpAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    return false;
}

std::optional<std::vector<long>> numberList(const std::string& text, long low, long high) {
    std::vector<long> numbers;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        char* end = nullptr;
        long value = std::strtol(item.c_str(), &end, 0);
        if (item.empty() || *end != '\0' || value < low || value > high)
            return std::nullopt;
        numbers.push_back(value);
    }
    if (numbers.empty())
        return std::nullopt;
    return numbers;
}

// "--silent" applies to every port, "--silent=2,5" to those ports only.
bool applyBehaviour(const std::string& argument, SimOptions& options) {
    for (const BehaviourOption& option : behaviourOptions) {
        std::string name = option.name;
        if (argument != name && argument.rfind(name + "=", 0) != 0)
            continue;
        options.behaviours.resize(32, Behaviour::Normal);
        if (argument == name) {
            std::fill(options.behaviours.begin(), options.behaviours.end(), option.behaviour);
            return true;
        }
        auto ports = numberList(argument.substr(name.size() + 1), 1, 32);
        if (!ports)
            return false;
        for (long port : *ports)
            options.behaviours[port - 1] = option.behaviour;
        return true;
    }
    return false;
}

bool applyValue(const std::string& name, const std::string& value, SimOptions& options) {
    std::optional<std::vector<long>> numbers =
        numberList(value, name == "--ports" ? 1 : 0, name == "--ports" ? 32 : 255);
    if (name == "--address") {
        options.address = value;
    } else if (name == "--log") {
        options.log = std::fopen(value.c_str(), "a");
        return options.log != nullptr;
    } else if (!numbers) {
        return false;
    } else if (name == "--ports" && numbers->size() == 1) {
        options.portCount = static_cast<int>(numbers->front());
    } else if (name == "--maxspd" && numbers->size() == 1) {
        options.reply.maxSpeed = static_cast<uint8_t>(numbers->front());
    } else if (name == "--msr" && numbers->size() == 1) {
        options.modemStatusAfterOpen = static_cast<int>(numbers->front());
    } else if (name == "--info" && numbers->size() == 4) {
        for (size_t i = 0; i < 4; ++i)
            options.reply.info[i] = static_cast<uint8_t>((*numbers)[i]);
        options.infoGiven = true;
    } else {
        return false;
    }
    return true;
}

bool parseArguments(int argc, char** argv, SimOptions& options) {
    options.log = stdout;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (applyBehaviour(argument, options))
            continue;
        if (argument == "--loopback-lines") {
            options.loopbackLines = true;
            continue;
        }
        if (i + 1 >= argc || !applyValue(argument, argv[i + 1], options)) {
            std::fprintf(stderr, "vorlix-sim: bad option %s\n%s", argument.c_str(), usage);
            return false;
        }
        ++i;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (helpAsked(argc, argv)) {
        std::fputs(usage, stdout);
        std::fputs(optionsHelp, stdout);
        return 0;
    }
    SimOptions options;
    if (!parseArguments(argc, argv, options))
        return 2;
    // A shell starts background jobs with SIGINT ignored, and an ignored signal
    // never reaches sigwait. Blocked before the I/O thread starts, so only
    // sigwait below sees them.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    vorlixsim::SimServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "vorlix-sim: %s\n", server.errorText().c_str());
        return 1;
    }
    std::fprintf(stderr, "vorlix-sim: listening on %s ports %d..%d\n", options.address.c_str(),
                 vorlixsim::FIRST_TCP_PORT + 1, vorlixsim::FIRST_TCP_PORT + options.portCount);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    if (options.log != stdout)
        std::fclose(options.log);
    return 0;
}
