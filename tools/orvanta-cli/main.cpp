// orvanta-cli: builds, inspects and sends firmware packages. See UsageText() for the commands.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "ResultText.h"

const char* UsageText() {
    return "Usage:\n"
           "  orvanta-cli build PACKAGE -o OUT\n"
           "      Build an .inf package (or read and check a .bin image) and write the image\n"
           "      to OUT as a .bin file.\n"
           "  orvanta-cli info PACKAGE [--json]\n"
           "      Show the image size, its CRC record and each file's flags, start address,\n"
           "      load blocks and segment length.\n"
           "  orvanta-cli send PACKAGE -p|--port PORT... [--baud N] [--wait-timeout SECONDS]\n"
           "      Send the package to the projector on PORT (COM1, /dev/ttyUSB0,\n"
           "      rfc2217://HOST:PORT, tcp://HOST:PORT). Give --port once per projector\n"
           "      to upgrade several at once. N is 115200 (the default) or any other rate\n"
           "      for 57600. SECONDS limits the wait for the projector's first request\n"
           "      (default: no limit).\n"
           "  orvanta-cli --help\n"
           "\n"
           "Exit status: 0 success; 1 package not found; 2 not a valid package; 3 the .inf\n"
           "package yields no image; 5 serial port failed; 6 projector canceled the\n"
           "connection; 10 several ports and some failed (or failed differently); 64 wrong\n"
           "usage; 73 OUT cannot be written; 130 cancelled.\n";
}

int UsageError(const std::string& strError) {
    std::fprintf(stderr, "orvanta-cli: %s\n%s", strError.c_str(), UsageText());
    return EXIT_USAGE;
}

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(UsageText(), stdout);
            return 0;
        }
    }
    if (args.empty()) {
        return UsageError("no command given");
    }
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "build") {
        return RunBuild(args);
    }
    if (command == "info") {
        return RunInfo(args);
    }
    if (command == "send") {
        return RunSend(args);
    }
    return UsageError("unknown command " + command);
}
