#include <cstdio>
#include <map>

#include "Commands.h"
#include "ResultText.h"

const char* UsageText() {
    return "Usage:\n"
           "  orvanta-cli build PACKAGE -o OUT\n"
           "      Build an .inf package (or read and check a .bin image) and write the image\n"
           "      to OUT as a .bin file; OUT '-' is stdout.\n"
           "  orvanta-cli info PACKAGE [--json]\n"
           "      Show the image size, its CRC record and each file's flags, start address,\n"
           "      load blocks and segment length.\n"
           "  orvanta-cli send PACKAGE [-p PORT]... [-b RATE] [--wait-timeout SECONDS]\n"
           "                   [--silence-timeout SECONDS] [--json | -v | -q]\n"
           "      Send the package to the projector on PORT (COM1, /dev/ttyUSB0,\n"
           "      rfc2217://HOST:PORT, tcp://HOST:PORT); -p once per projector sends to\n"
           "      several at once. Without -p: $ORVANTA_PORT, else the one USB serial\n"
           "      adapter present.\n"
           "      RATE is 115200 (the default) or 57600. SECONDS limits the wait for the\n"
           "      projector's first request (default: no limit). --silence-timeout: once\n"
           "      sending has begun, how long to wait for an answer and for the next\n"
           "      file's request (default: 30 s for an answer, 120 s for a request).\n"
           "      --json: one JSON event a line on stdout; -v: protocol trace on stderr;\n"
           "      -q: only the result.\n"
           "  orvanta-cli ports [--json]\n"
           "      List the serial ports present, with their stable names and whether you\n"
           "      may open them.\n"
           "  orvanta-cli --help | --version\n"
           "\n"
           "Exit status: 0 success; 1 package not found; 2 not a valid package; 3 the .inf\n"
           "package yields no image; 5 serial port failed; 6 projector canceled the\n"
           "connection; 10 several ports and some failed (or failed differently); 64 wrong\n"
           "usage; 69 tool installed incompletely; 73 OUT cannot be written; 130 cancelled.\n";
}

int UsageError(const std::string& strError) {
    std::fprintf(stderr, "orvanta-cli: %s\n%s", strError.c_str(), UsageText());
    return EXIT_USAGE;
}

const std::vector<OptionDef>& CommandOptions(const std::string& command) {
    static const std::map<std::string, std::vector<OptionDef>> options = {
        {"build", {{"--output", "-o", true}}},
        {"info", {{"--json", "", false}}},
        {"send",
         {{"--port", "-p", true},
          {"--baud", "-b", true},
          {"--wait-timeout", "", true},
          {"--silence-timeout", "", true},
          {"--json", "", false},
          {"--verbose", "-v", false},
          {"--quiet", "-q", false}}},
        {"ports", {{"--json", "", false}}},
    };
    static const std::vector<OptionDef> none;
    const auto it = options.find(command);
    return it != options.end() ? it->second : none;
}
