#include "ProjectorOptions.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace {

constexpr char kUsage[] =
    "usage: orvanta-projector [options]\n"
    "\n"
    "A simulated projector on a pseudo-terminal. Prints the line's device path as its first\n"
    "line on stdout, requests each segment with 'C', checks and answers every packet, and\n"
    "runs until the sender closes the line (or a signal, or --segments N).\n"
    "\n"
    "  --link PATH          also make a symbolic link PATH to the device (removed at exit)\n"
    "  --dump DIR           write DIR/segment-<n>.bin (n from 1) and DIR/summary.json\n"
    "  --segments N         end after N segments\n"
    "  --baud N             pace both directions at N baud, 10 bits a byte (0: unpaced)\n"
    "  --nak-every N        refuse every Nth new data packet once, then accept its resend\n"
    "  --nak-all            refuse every packet and every EOT\n"
    "  --silent-after K     answer the first K data packets, then nothing at all\n"
    "  --corrupt-every N    treat every Nth data packet received as damaged\n"
    "  --hangup-after K     drop the line when data packet K arrives, then exit\n"
    "  --ack-delay MS       wait MS milliseconds more before each ACK\n"
    "  --verbose            one line per event on stderr\n"
    "  --help               this text\n";

bool ReadNumber(std::string_view text, uint64_t nMax, uint64_t& nValue) {
    const char* pEnd = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), pEnd, nValue);
    return !text.empty() && ec == std::errc() && p == pEnd && nValue <= nMax;
}

}  // namespace

const char* ProjectorUsage() {
    return kUsage;
}

ParseOutcome ParseProjectorOptions(int argc, char** argv, ProjectorOptions& options,
                                   std::string& strError) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool bInlineValue = false;
        if (const size_t nEq = arg.find('='); arg.starts_with("--") && nEq != arg.npos) {
            value = arg.substr(nEq + 1);
            arg = arg.substr(0, nEq);
            bInlineValue = true;
        }

        auto takeValue = [&](std::string_view& out) {
            if (bInlineValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc) {
                strError = std::string(arg) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto takeNumber = [&](uint64_t nMin, uint64_t nMax, uint64_t& nOut) {
            std::string_view text;
            if (!takeValue(text)) {
                return false;
            }
            if (!ReadNumber(text, nMax, nOut) || nOut < nMin) {
                strError = std::string(arg) + " wants a whole number from " + std::to_string(nMin) +
                           " to " + std::to_string(nMax) + ", not \"" + std::string(text) + "\"";
                return false;
            }
            return true;
        };
        auto noValue = [&] {
            if (bInlineValue) {
                strError = std::string(arg) + " takes no value";
            }
            return !bInlineValue;
        };

        uint64_t n = 0;
        std::string_view text;
        bool bOk = true;
        if (arg == "--help" || arg == "-h") {
            return ParseOutcome::HELP;
        } else if (arg == "--link") {
            bOk = takeValue(text) && !text.empty();
            options.m_strLink = text;
        } else if (arg == "--dump") {
            bOk = takeValue(text) && !text.empty();
            options.m_strDumpDir = text;
        } else if (arg == "--segments") {
            bOk = takeNumber(1, UINT32_MAX, n);
            options.m_nSegments = static_cast<uint32_t>(n);
        } else if (arg == "--baud") {
            bOk = takeNumber(0, 100'000'000, n);
            options.m_nBaud = static_cast<uint32_t>(n);
        } else if (arg == "--nak-every") {
            bOk = takeNumber(1, UINT32_MAX, n);
            options.m_nNakEvery = static_cast<uint32_t>(n);
        } else if (arg == "--nak-all") {
            bOk = noValue();
            options.m_bNakAll = true;
        } else if (arg == "--silent-after") {
            bOk = takeNumber(0, UINT32_MAX, n);
            options.m_nSilentAfter = static_cast<int64_t>(n);
        } else if (arg == "--corrupt-every") {
            bOk = takeNumber(1, UINT32_MAX, n);
            options.m_nCorruptEvery = static_cast<uint32_t>(n);
        } else if (arg == "--hangup-after") {
            bOk = takeNumber(0, UINT32_MAX, n);
            options.m_nHangupAfter = static_cast<int64_t>(n);
        } else if (arg == "--ack-delay") {
            bOk = takeNumber(0, 3'600'000, n);
            options.m_nAckDelayMs = static_cast<uint32_t>(n);
        } else if (arg == "--verbose" || arg == "-v") {
            bOk = noValue();
            options.m_bVerbose = true;
        } else {
            strError = "unknown argument \"" + std::string(argv[i]) + "\"";
            return ParseOutcome::USAGE_ERROR;
        }
        if (!bOk) {
            if (strError.empty()) {
                strError = std::string(arg) + " needs a value that is not empty";
            }
            return ParseOutcome::USAGE_ERROR;
        }
    }
    return ParseOutcome::RUN;
}
