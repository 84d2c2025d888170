// orvanta-cli: builds, inspects and sends firmware packages. See UsageText() for the commands.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "QtModule.h"
#include "ResultText.h"
#include "Version.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return UsageError("no command given");
    }
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "--version" || command == "-V") {
        std::printf("%s\n", VersionText("orvanta-cli").c_str());
        return 0;
    }
    if (command == "--help" || command == "-h") {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    const std::vector<OptionDef>& options = CommandOptions(command);
    if (options.empty()) {
        return UsageError((command.starts_with("-") ? "unknown option " : "unknown command ") +
                          command);
    }
    // Help wins over everything else among the command's options; other faults are the
    // command's to report.
    CommandArgs parsed;
    std::string strError;
    ParseCommandArgs(args, options, parsed, strError);
    if (parsed.bHelp) {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (command == "build") {
        return RunBuild(args);
    }
    return RunQtCommand(command, args);
}
