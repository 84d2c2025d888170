// orvanta-cli: builds, inspects and sends firmware packages. See UsageText() for the commands.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "ResultText.h"
#include "Version.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return UsageError("no command given");
    }
    const std::string command = args.front();
    // Before a command, only --help and --version, by the same rules as a command's options
    // (so "--vers" is --version).
    if (command.starts_with("-") && command != "-") {
        CommandArgs parsed;
        std::string strError;
        const bool bParsed =
            ParseCommandArgs({command}, {{"--version", "-V", false}}, parsed, strError);
        if (parsed.bHelp) {
            std::fputs(UsageText(), stdout);
            return 0;
        }
        if (!bParsed) {
            return UsageError(strError);
        }
        if (parsed.Has("--version")) {
            std::printf("%s\n", VersionText("orvanta-cli").c_str());
            return 0;
        }
    }
    args.erase(args.begin());
    const std::vector<OptionDef>& options = CommandOptions(command);
    if (options.empty()) {
        return UsageError("unknown command " + command);
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
    if (command == "info") {
        return RunInfo(args);
    }
    if (command == "ports") {
        return RunPorts(args);
    }
    return RunSend(args);  // the one command left (CommandOptions knows no other)
}
