// The tool's commands. Each takes the words after its name and returns the exit status:
// 0 on success, the upgrade result code of a failure (1 to 6), EXIT_USAGE for a wrong command
// line, or another status of ResultText.h.
#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"

int RunBuild(const std::vector<std::string>& args);
int RunInfo(const std::vector<std::string>& args);
int RunSend(const std::vector<std::string>& args);
int RunPorts(const std::vector<std::string>& args);

// The options of a command by its name ("build", "send", ...); empty for an unknown name.
const std::vector<OptionDef>& CommandOptions(const std::string& command);

// Prints "orvanta-cli: <strError>" and a line that points to --help on stderr; returns
// EXIT_USAGE.
int UsageError(const std::string& strError);
// The usage text, ending in a line end.
const char* UsageText();
