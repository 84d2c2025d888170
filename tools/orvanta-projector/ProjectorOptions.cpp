#include "ProjectorOptions.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
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
    "      --seed N          seed of every random choice below (default 1): a run repeats\n"
    "      --stray-at LIST   write a stray byte just before the answer to each listed data\n"
    "                        packet (counted from 1, resends included): P, P:ack, P:nak or\n"
    "                        P:garbage, comma-separated (ack when no kind is given)\n"
    "      --stray-rate R    at each data packet, with chance R (0 to 1), a stray ACK, NAK or\n"
    "                        garbage byte just before or just after the answer\n"
    "      --damage-at LIST  take the first arrival of each listed block as damaged: F:B is\n"
    "                        block B of file F (both from 1), comma-separated\n"
    "      --damage-rate R   take each data packet as damaged with chance R (0 to 1)\n"
    "      --stop-after-files N  take N segments, then never ask for another\n"
    "      --expect PACKAGE  the summary says whether each segment is exactly the package's\n"
    "  -v, --verbose         one line per event on stderr\n"
    "  -h, --help            this text\n"
    "      --version         the program's version\n"
    "\n"
    "A data packet whose number is neither the expected block nor the one last taken is\n"
    "refused with NAK and dropped (a strict receiver: blocks are stored in order only).\n"
    "\n"
    "Exit status: 0; 1 when the device could not be made or the dump folder could not be\n"
    "written; 64 wrong usage.\n";

// A chance from 0 to 1 in decimal notation.
bool ParseRate(const std::string& text, double& dRate) {
    char* pEnd = nullptr;
    dRate = std::strtod(text.c_str(), &pEnd);
    return !text.empty() && pEnd != nullptr && *pEnd == '\0' && dRate >= 0 && dRate <= 1;
}

// "F:B,..." with F and B counted from 1.
bool ParseBlocks(const std::string& text, std::vector<std::pair<uint32_t, uint32_t>>& blocks,
                 std::string& strError) {
    size_t nStart = 0;
    while (nStart <= text.size()) {
        const size_t nEnd = std::min(text.find(',', nStart), text.size());
        const std::string item = text.substr(nStart, nEnd - nStart);
        const size_t nColon = item.find(':');
        long nFile = 0, nBlock = 0;
        if (nColon == std::string::npos ||
            !ParseNumber(item.substr(0, nColon), 1, UINT32_MAX, nFile) ||
            !ParseNumber(item.substr(nColon + 1), 1, UINT32_MAX, nBlock)) {
            strError = "\"" + item + "\" is no FILE:BLOCK (both from 1)";
            return false;
        }
        blocks.emplace_back(static_cast<uint32_t>(nFile), static_cast<uint32_t>(nBlock));
        nStart = nEnd + 1;
    }
    return true;
}

// "P[:KIND],..." with P a packet count from 1; KIND ack, nak or garbage.
bool ParseStrays(const std::string& text, std::vector<StrayByte>& strays, std::string& strError) {
    size_t nStart = 0;
    while (nStart <= text.size()) {
        const size_t nEnd = std::min(text.find(',', nStart), text.size());
        const std::string item = text.substr(nStart, nEnd - nStart);
        const size_t nColon = item.find(':');
        const std::string kind = nColon == std::string::npos ? "ack" : item.substr(nColon + 1);
        long nPacket = 0;
        StrayByte stray;
        stray.m_nByte = kind == "ack" ? 0x06 : kind == "nak" ? 0x15 : kind == "garbage" ? 0xA5 : 0;
        if (!ParseNumber(item.substr(0, nColon), 1, LONG_MAX, nPacket) || stray.m_nByte == 0) {
            strError = "\"" + item + "\" is no P, P:ack, P:nak or P:garbage";
            return false;
        }
        stray.m_nPacket = static_cast<uint64_t>(nPacket);
        strays.push_back(stray);
        nStart = nEnd + 1;
    }
    return true;
}

}  // namespace

const char* ProjectorUsage() {
    return kUsage;
}

ParseOutcome ParseProjectorOptions(int argc, char** argv, ProjectorOptions& options,
                                   std::string& strError) {
    static const std::vector<OptionDef> defs = {
        {"--link", "-l", true},           {"--dump", "-d", true},
        {"--segments", "", true},         {"--baud", "-b", true},
        {"--nak-every", "", true},        {"--nak-all", "", false},
        {"--silent-after", "", true},     {"--corrupt-every", "", true},
        {"--hangup-after", "", true},     {"--ack-delay", "", true},
        {"--verbose", "-v", false},       {"--version", "", false},
        {"--reply-latency", "", true},    {"--seed", "", true},
        {"--stray-at", "", true},         {"--stray-rate", "", true},
        {"--damage-at", "", true},        {"--damage-rate", "", true},
        {"--stop-after-files", "", true}, {"--expect", "", true},
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
        !number("--reply-latency", 0, 255, options.m_nLatencyMs) ||
        !number("--seed", 0, LONG_MAX, options.m_nSeed) ||
        !number("--stop-after-files", 0, UINT32_MAX, options.m_nStopAfterFiles)) {
        return ParseOutcome::USAGE_ERROR;
    }
    for (const auto& [pName, pRate] : {std::pair{"--stray-rate", &options.m_dStrayRate},
                                       std::pair{"--damage-rate", &options.m_dDamageRate}}) {
        if (parsed.Has(pName) && !ParseRate(parsed.values[pName], *pRate)) {
            strError = std::string(pName) + " wants a chance from 0 to 1, not \"" +
                       parsed.values[pName] + "\"";
            return ParseOutcome::USAGE_ERROR;
        }
    }
    if (parsed.Has("--stray-at") &&
        !ParseStrays(parsed.values["--stray-at"], options.m_strays, strError)) {
        return ParseOutcome::USAGE_ERROR;
    }
    if (parsed.Has("--damage-at") &&
        !ParseBlocks(parsed.values["--damage-at"], options.m_damageAt, strError)) {
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
         {std::pair{"--link", &options.m_strLink}, std::pair{"--dump", &options.m_strDumpDir},
          std::pair{"--expect", &options.m_strExpect}}) {
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
