#include "ProjectorOptions.h"

#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "CommandLine.h"

namespace {

constexpr char kUsage[] =
    "usage: orvanta-projector [options]\n"
    "\n"
    "A simulated projector on a pseudo-terminal. Prints the line's device path as its first\n"
    "line on stdout, requests each segment with 'C', checks and answers every packet, and\n"
    "serves one upgrade: it runs until the sender closes the line (or a signal, or\n"
    "--segments N), then exits.\n"
    "\n"
    "  -l, --link PATH       also make a symbolic link PATH to the device (removed at exit)\n"
    "  -d, --dump DIR        write DIR/segment-<n>.bin (n from 1) and DIR/summary.json\n"
    "      --segments N      end after N segments\n"
    "  -b, --baud RATE       pace both directions at RATE (115200 or 57600), 10 bits a byte;\n"
    "                        without it the line is unpaced\n"
    "      --nak-every N     refuse every Nth new data packet once, then accept its resend\n"
    "      --nak-all         refuse every packet and every EOT\n"
    "      --silent-after K  answer the first K data packets, then nothing at all\n"
    "      --corrupt-every N treat every Nth data packet received as damaged\n"
    "      --hangup-after K  drop the line when data packet K arrives, then exit\n"
    "      --ack-delay MS    wait MS milliseconds more before each ACK\n"
    "      --reply-latency MS  deliver every byte sent MS milliseconds after it crossed the\n"
    "                        line, as a USB adapter's latency timer holds it (0 to 255)\n"
    "  -v, --verbose         one line per event on stderr\n"
    "  -h, --help            this text\n"
    "      --version         the program's version\n"
    "\n"
    "Exit status: 0; 1 when the device could not be made or the dump folder could not be\n"
    "written; 64 wrong usage.\n";

}  // namespace

const char* ProjectorUsage() {
    return kUsage;
}

ParseOutcome ParseProjectorOptions(int argc, char** argv, ProjectorOptions& options,
                                   std::string& strError) {
    static const std::vector<OptionDef> defs = {
        {"--link", "-l", true},        {"--dump", "-d", true},        {"--segments", "", true},
        {"--baud", "-b", true},        {"--nak-every", "", true},     {"--nak-all", "", false},
        {"--silent-after", "", true},  {"--corrupt-every", "", true}, {"--hangup-after", "", true},
        {"--ack-delay", "", true},     {"--verbose", "-v", false},    {"--version", "", false},
        {"--reply-latency", "", true},
    };
    CommandArgs parsed;
    if (!ParseCommandArgs(std::vector<std::string>(argv + 1, argv + argc), defs, parsed,
                          strError)) {
        return ParseOutcome::USAGE_ERROR;
    }
    if (parsed.bHelp) {
        return ParseOutcome::HELP;
    }
    if (parsed.Has("--version")) {
        return ParseOutcome::VERSION;
    }
    if (!parsed.positional.empty()) {
        strError = "unknown argument \"" + parsed.positional.front() + "\"";
        return ParseOutcome::USAGE_ERROR;
    }

    // Each numeric option with its range; the value lands where the pointer says.
    auto number = [&](const char* pName, long nMin, long nMax, auto& target) {
        if (!parsed.Has(pName)) {
            return true;
        }
        long nValue = 0;
        if (!ParseNumber(parsed.values[pName], nMin, nMax, nValue)) {
            strError = std::string(pName) + " wants a whole number from " + std::to_string(nMin) +
                       " to " + std::to_string(nMax) + ", not \"" + parsed.values[pName] + "\"";
            return false;
        }
        target = static_cast<std::remove_reference_t<decltype(target)>>(nValue);
        return true;
    };
    if (!number("--segments", 1, UINT32_MAX, options.m_nSegments) ||
        !number("--nak-every", 1, UINT32_MAX, options.m_nNakEvery) ||
        !number("--silent-after", 0, UINT32_MAX, options.m_nSilentAfter) ||
        !number("--corrupt-every", 1, UINT32_MAX, options.m_nCorruptEvery) ||
        !number("--hangup-after", 0, UINT32_MAX, options.m_nHangupAfter) ||
        !number("--ack-delay", 0, 3'600'000, options.m_nAckDelayMs) ||
        !number("--reply-latency", 0, 255, options.m_nLatencyMs)) {
        return ParseOutcome::USAGE_ERROR;
    }
    if (parsed.Has("--baud")) {
        const std::string& rate = parsed.values["--baud"];
        if (rate != "115200" && rate != "57600") {
            strError = "--baud takes 115200 or 57600, not \"" + rate + "\"";
            return ParseOutcome::USAGE_ERROR;
        }
        options.m_nBaud = rate == "115200" ? 115200 : 57600;
    }
    for (const auto& [pName, pTarget] :
         {std::pair{"--link", &options.m_strLink}, std::pair{"--dump", &options.m_strDumpDir}}) {
        if (parsed.Has(pName) && parsed.values[pName].empty()) {
            strError = std::string(pName) + " needs a value that is not empty";
            return ParseOutcome::USAGE_ERROR;
        }
        if (parsed.Has(pName)) {
            *pTarget = parsed.values[pName];
        }
    }
    options.m_bNakAll = parsed.Has("--nak-all");
    options.m_bVerbose = parsed.Has("--verbose");
    return ParseOutcome::RUN;
}
