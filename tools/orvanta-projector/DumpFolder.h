// CDumpFolder: where the projector leaves what it received, for tests to compare byte by byte.
//
// DIR/segment-<n>.bin holds segment n (from 1) exactly: for a valid segment its bytes up to
// and including the terminator, without the block padding; for bytes that are no valid
// segment, every byte received. DIR/summary.json describes the run (shown compacted here):
//
//   {
//     "segments": [
//       {"index": 1, "flags": 6, "start_segment": 0, "start_offset": 0, "length": 25,
//        "valid": true, "load_blocks": [{"segment": 0, "offset": 256, "count": 4}],
//        "whole": true, "exact": true}
//     ],
//     "packets": 1,
//     "naks_sent": 0,
//     "first_packet_s": 0.012345,
//     "last_ack_s": 0.013012,
//     "line_rate": 115200,
//     "strays": 0,
//     "damaged": 0,
//     "exact": true,
//     "complete": true
//   }
//
// ("whole": the segment arrived complete and well formed; "exact": it is byte for byte the
// expected package's segment, null without --expect; the top-level "exact": every segment of
// the expected package arrived exact and nothing else, null without --expect. "strays" and
// "damaged" count the bad line's doings. An invalid segment also has "error": "<reason>" after
// "valid"; the two times, in seconds to the microsecond, are null until they happened;
// line_rate is the rate the sender's side of the line was set to when the first data packet
// arrived, null until then or when the rate is not a standard one). The file is indented by two
// spaces, one field a line, in the order shown: scripts read the top-level fields with grep
// ('^  "exact": true') and count segments by their "index" lines. The summary is replaced whole
// (written aside, then renamed), so a reader never sees half of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SegmentParser.h"

struct RunSummary {
    std::vector<SegmentInfo> m_segments;
    uint64_t m_nPackets = 0;   // data packets received whole, good or bad, resends included
    uint64_t m_nNaksSent = 0;  // NAKs written, for packets, EOTs and timeouts
    // Seconds on the monotonic clock since the program started, negative until it happened:
    // when the first byte of the first data packet was read, and when the last ACK was written.
    double m_dFirstPacket = -1;
    double m_dLastAck = -1;
    // The line rate in effect when the first data packet arrived; 0 until then or unknown.
    uint32_t m_nFirstPacketRate = 0;
    bool m_bComplete = false;
    // The bad line: stray bytes written, packets taken as damaged.
    uint64_t m_nStrays = 0;
    uint64_t m_nDamaged = 0;
    // Segments the expected package holds (--expect); -1 when none was given.
    int64_t m_nExpectedFiles = -1;
};

class CDumpFolder {
public:
    // Creates the folder (and its parents) when missing. false with the reason in strError.
    bool Prepare(const std::string& strDir, std::string& strError);
    // Writes segment-<nIndex>.bin. false with the reason in strError.
    bool WriteSegment(uint32_t nIndex, const uint8_t* pData, size_t nLength,
                      std::string& strError) const;
    // Replaces summary.json. false with the reason in strError.
    bool WriteSummary(const RunSummary& summary, std::string& strError) const;

    // The summary as JSON text, ending with a newline.
    static std::string SummaryJson(const RunSummary& summary);

private:
    std::string m_strDir;
};
