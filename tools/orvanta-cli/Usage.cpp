#include <cstdio>
#include <map>

#include "Commands.h"
#include "ResultText.h"

const char* UsageText() {
    return "Usage:\n"
           "  orvanta-cli build PACKAGE -o OUT [--upload-dir DIR]\n"
           "      Build an .inf package (or read and check a .bin image) and write the image\n"
           "      to OUT as a .bin file; OUT '-' is stdout (not a terminal).\n"
           "  orvanta-cli info PACKAGE [--json] [--upload-dir DIR]\n"
           "      Show the image size, its CRC record and each file's flags, start address,\n"
           "      load blocks and segment length.\n"
           "  orvanta-cli send PACKAGE [-p PORT]... [-b RATE] [--wait-timeout SECONDS]\n"
           "                   [--upload-dir DIR] [--silence-timeout SECONDS]\n"
           "                   [--json | -v | -q]\n"
           "      Send the package to the projector on PORT (COM1, /dev/ttyUSB0,\n"
           "      rfc2217://HOST:PORT, tcp://HOST:PORT or socket://HOST:PORT); -p once per\n"
           "      projector sends to several at once. Without -p: $ORVANTA_PORT, else the\n"
           "      one USB serial adapter present.\n"
           "      RATE is 115200 (the default) or 57600; a raw TCP port runs at the server's\n"
           "      rate. SECONDS limits the wait for the projector's first request: 0 for no\n"
           "      limit, the default on a terminal; 600 when stdin is not a terminal.\n"
           "      --silence-timeout: once sending has begun, how long to wait for an answer\n"
           "      and for the next file's request (default: 30 s for an answer, 120 s for a\n"
           "      request).\n"
           "      --json: one JSON event a line on stdout; -v: protocol trace on stderr;\n"
           "      -q: only the result.\n"
           "  orvanta-cli ports [--json]\n"
           "      List the serial ports present, with their stable names and whether you\n"
           "      may open them.\n"
           "  orvanta-cli --help | --version\n"
           "\n"
           "An .inf package's HEX files are read from the upload folder when it exists:\n"
           "DIR, else $ORVANTA_UPLOAD_DIR, else $HOME/upload; an empty DIR means none.\n"
           "\n"
           "Exit status: 0 success; 1 package not found; 2 not a valid package; 3 the .inf\n"
           "package yields no image; 5 serial port failed; 6 projector canceled the\n"
           "connection; 10 several ports and some failed (or failed differently); 64 wrong\n"
           "usage; 73 OUT cannot be written; 129 the terminal went away (SIGHUP);\n"
           "130 cancelled (Ctrl+C); 143 stopped (SIGTERM).\n";
}

int UsageError(const std::string& strError) {
    std::fprintf(stderr, "orvanta-cli: %s\nTry 'orvanta-cli --help'\n", strError.c_str());
    return EXIT_USAGE;
}

const std::vector<OptionDef>& CommandOptions(const std::string& command) {
    static const std::map<std::string, std::vector<OptionDef>> options = {
        {"build", {{"--output", "-o", true}, {"--upload-dir", "", true}}},
        {"info", {{"--json", "", false}, {"--upload-dir", "", true}}},
        {"send",
         {{"--port", "-p", true},
          {"--baud", "-b", true},
          {"--wait-timeout", "", true},
          {"--upload-dir", "", true},
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
