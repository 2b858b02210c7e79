#pragma once
// The verbs of travenor-reg. Each takes the arguments after the verb, prints its
// result on stdout and returns the process exit code; a failure prints one line on
// stderr and changes nothing in the store.
#include <string>
#include <vector>

namespace travenor {

using Arguments = std::vector<std::string>;

int queryCommand(const Arguments& args);
int addCommand(const Arguments& args);
int deleteCommand(const Arguments& args);
int exportCommand(const Arguments& args);
int importCommand(const Arguments& args);

// Prints "travenor-reg: problem" on stderr; returns the failure exit code.
int fail(const std::string& problem);

} // namespace travenor
