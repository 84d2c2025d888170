// What the sender did and saw, one event at a time, for whoever shows an upgrade: the wizard's
// transfer page, the command-line tool's progress line, board, JSON stream and protocol trace.
// Events are reported in the order things happen on the line, each as the sender's state has
// just become (a PACKET event comes after the packet was handed to the port).
#pragma once

#include <cstdint>

struct CSenderEvent {
    enum Kind {
        REQUEST,     // a 'C' asked for file nFile (the first of its segment)
        PACKET,      // block nBlock of file nFile was written; why: nWhy
        ANSWER,      // nByte came as the answer to the packet or EOT now out (ACK or NAK)
        EOT_SENT,    // the end of file nFile was written (again when nWhy is not FIRST)
        FILE_TAKEN,  // the projector acknowledged the end of file nFile
        SILENCE,     // nothing came for nMs; the attempt ends (a failure follows)
        NOISE,       // nByte came when no answer was due; nNoise unexpected bytes are pending
    };
    // Why a packet or an EOT went out.
    enum Why {
        FIRST,      // its first time
        REFUSED,    // the projector answered it with NAK
        STEP_BACK,  // an earlier block, sent to find where the projector stands
        UNSETTLED,  // a byte came in the quiet window before the EOT: the last block again
    };

    Kind nKind = REQUEST;
    uint32_t nFile = 0;   // 1-based index of the file (download segment)
    uint32_t nFiles = 0;  // files in the image
    uint32_t nBlock = 0;  // 1-based block within the file, not wrapping at 256; 0 for none
    Why nWhy = FIRST;
    uint8_t nByte = 0;    // ANSWER, NOISE: the byte received
    uint32_t nNoise = 0;  // NOISE: unexpected bytes not yet forgiven
    // Bytes of the file the projector has taken (acknowledged blocks, 128 a block, the last
    // counted at the segment's length), and the same over the whole image so far.
    uint32_t nFileBytesTaken = 0;
    uint32_t nFileBytes = 0;  // the file's segment length
    uint32_t nBytesTaken = 0;
    uint32_t nTotalBytes = 0;  // all segments' lengths
    uint32_t nMs = 0;          // SILENCE: how long nothing came
};
