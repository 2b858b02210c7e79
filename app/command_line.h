#pragma once
// The manager's command line: no argument starts it with its window and tray icon;
// --service runs it without either (a box without a desktop, a systemd user unit);
// --version and --help answer and end. Qt's own options are not taken: the
// environment sets what they would (QT_QPA_PLATFORM, DISPLAY, ...).
//
// Main thread, before the application object exists.
#include <string>
#include <vector>

enum class StartMode { Window, Service, Version, Help, Error };

struct CommandLine {
    StartMode mode = StartMode::Window;
    std::string error; // for Error: what was wrong, for the user
};

// arguments: the words after the program's name.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// "travenor 1.20 (Quorvalink Redirector Manager)\n"
std::string versionText();
std::string usageText();

// What main does for Version, Help and Error: prints and returns the exit status.
int answerCommandLine(const CommandLine& commandLine);
