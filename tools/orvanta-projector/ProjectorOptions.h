// The simulated projector's command line.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A byte written toward the sender just before the answer to data packet m_nPacket.
struct StrayByte {
    uint64_t m_nPacket = 0;  // 1-based count of data packets received, resends included
    uint8_t m_nByte = 0;
};

struct ProjectorOptions {
    std::string m_strLink;         // symbolic link to the line's device; empty for none
    std::string m_strDumpDir;      // folder for segment-<n>.bin and summary.json; empty for none
    uint32_t m_nSegments = 0;      // end after this many segments; 0: when the sender closes
    uint32_t m_nBaud = 0;          // 115200 or 57600: pace both directions (8N1); 0: unpaced
    uint32_t m_nNakEvery = 0;      // refuse every Nth new data packet once; 0: off
    bool m_bNakAll = false;        // refuse every packet and every EOT
    int64_t m_nSilentAfter = -1;   // answer nothing from data packet K+1 on; -1: off
    uint32_t m_nCorruptEvery = 0;  // treat every Nth data packet as damaged; 0: off
    int64_t m_nHangupAfter = -1;   // drop the line on data packet K; -1: off
    uint32_t m_nAckDelayMs = 0;    // extra wait before each ACK
    uint32_t m_nLatencyMs = 0;     // --reply-latency: each byte sent reaches the sender later
    // The bad line and the strict receiver.
    uint64_t m_nSeed = 1;             // seeds every random choice of the run
    std::vector<StrayByte> m_strays;  // stray bytes at chosen packets
    // Blocks whose first arrival is taken as damaged: (file, block), both counted from 1.
    std::vector<std::pair<uint32_t, uint32_t>> m_damageAt;
    double m_dStrayRate = 0;         // chance of a stray byte at each data packet
    double m_dDamageRate = 0;        // chance that a data packet is damaged
    int64_t m_nStopAfterFiles = -1;  // after N segments never ask again; -1: off
    std::string m_strExpect;         // package whose segments should arrive; empty: none
    bool m_bVerbose = false;         // one line per event on stderr
};

enum class ParseOutcome { RUN, HELP, VERSION, USAGE_ERROR };

// Reads argv[1..argc-1] into options, by the conventions of CommandLine.h. USAGE_ERROR leaves
// the reason in strError; HELP means --help was given as an option (it wins over any fault),
// VERSION that --version was.
ParseOutcome ParseProjectorOptions(int argc, char** argv, ProjectorOptions& options,
                                   std::string& strError);

// The usage text, ending with a newline.
const char* ProjectorUsage();
