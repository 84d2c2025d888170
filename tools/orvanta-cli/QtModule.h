// The Qt half of orvanta-cli. The command that needs Qt (send) is built into a module,
// orvanta-cli-qt.so, with one entry point; the program loads it with dlopen only when it runs,
// so `build`, `info` and `ports` never pay for loading Qt.
//
// The module is looked for beside the program's own file (the build tree), then in
// ORVANTA_MODULE_RELDIR relative to that folder (an installation: ../lib/<multiarch>/orvanta).
#pragma once

#include <string>
#include <vector>

// The entry point's name and type: the command's name and the words after it.
#define ORVANTA_QT_ENTRY "orvanta_cli_qt_run"
using QtEntryFunction = int (*)(const char* pCommand, int nWords, const char* const* ppWords);

// Loads the module and runs the command there, returning its exit status; 69 (EX_UNAVAILABLE)
// after a line on stderr when the module cannot be found or loaded.
int RunQtCommand(const std::string& command, const std::vector<std::string>& args);
