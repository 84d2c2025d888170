// What the sender did and saw, one event at a time, for whoever shows an upgrade: the wizard's
// transfer page, the command-line tool's progress line, board, JSON stream and protocol trace.
// Events are reported in the order things happen on the line, each as the sender's state has
// just become (a PACKET event comes after the packet was handed to the port). Each byte the
// sender acts on gives exactly one REQUEST, ANSWER or NOISE; bytes it ignores (anything before
// the first request, a byte after the end) give none. An event is built on the stack and
// allocates nothing, so telling costs nothing per block.
#pragma once

#include <cstdint>
#include <string_view>

struct CSenderEvent {
    enum Kind {
        REQUEST,     // a 'C' asked for file nFile; its block 1 follows
        PACKET,      // block nBlock of file nFile was written; why: nWhy
        ANSWER,      // nByte came as the answer to the packet or EOT now out (ACK or NAK)
        EOT_SENT,    // the end of file nFile was written (again, after a NAK, when nWhy is REFUSED)
        FILE_TAKEN,  // the projector acknowledged the end of file nFile
        SILENCE,     // nothing came for nMs; the attempt ends (a failure follows)
        NOISE,       // nByte came when no answer was due; nNoise unexpected bytes are pending
    };
    // Why a packet or an EOT went out.
    enum Why {
        FIRST,    // its first time
        REFUSED,  // the projector answered it with NAK
        // A block sent before, again because the projector's answers ran ahead of it: the
        // earlier blocks sent to find where it stands, and once found the blocks after that.
        STEP_BACK,
        UNSETTLED,  // a byte came in the quiet window before the EOT: the last block again
    };

    Kind nKind = REQUEST;
    uint32_t nFile = 0;   // 1-based index of the file (download segment)
    uint32_t nFiles = 0;  // files in the image
    // 1-based block within the file, not wrapping at 256, that went out or is answered; 0 while
    // the EOT is out and between files.
    uint32_t nBlock = 0;
    Why nWhy = FIRST;
    uint8_t nByte = 0;    // ANSWER, NOISE: the byte received
    uint32_t nNoise = 0;  // NOISE: unexpected bytes not yet forgiven
    // Bytes of the file the projector has taken (acknowledged blocks, 128 a block, the last
    // counted at the segment's length), and the same over the whole image so far.
    uint32_t nFileBytesTaken = 0;
    uint32_t nFileBytes = 0;  // the file's segment length
    uint32_t nBytesTaken = 0;
    uint32_t nTotalBytes = 0;  // all segments' lengths
    // Bytes of the file in the blocks before nBlock (all of them once the EOT is out): what a
    // progress line counts as sent when block nBlock goes out.
    uint32_t nFileBytesSent = 0;
    uint32_t nMs = 0;  // SILENCE: how long nothing came
    // The description of file nFile; points into the sender, valid during the call only.
    std::string_view strDescription;
};
