// The module's entry point: the Qt commands by name.
#include "Commands.h"
#include "QtModule.h"

extern "C" __attribute__((visibility("default"))) int orvanta_cli_qt_run(
    const char* pCommand, int nWords, const char* const* ppWords) {
    const std::vector<std::string> args(ppWords, ppWords + nWords);
    const std::string command = pCommand;
    if (command == "info") {
        return RunInfo(args);
    }
    if (command == "send") {
        return RunSend(args);
    }
    if (command == "ports") {
        return RunPorts(args);
    }
    return UsageError("unknown command " + command);
}
