// The module's entry point: the commands that need Qt, by name.
#include "Commands.h"
#include "QtModule.h"

extern "C" __attribute__((visibility("default"))) int orvanta_cli_qt_run(
    const char* pCommand, int nWords, const char* const* ppWords) {
    const std::vector<std::string> args(ppWords, ppWords + nWords);
    const std::string command = pCommand;
    if (command == "send") {
        return RunSend(args);
    }
    return UsageError("unknown command " + command);
}
