// CXmodemSender: delivers the download segments of an image to the projector with
// XMODEM-style framing, one segment per transfer.
//
// The projector asks for each segment with 'C'; the sender answers with 133-byte packets
// (SOH, block number, its complement, 128 data bytes zero-padded, CRC-16/MODBUS low byte
// first), sends the next block on ACK and the packet again on NAK, and closes the segment
// with EOT. When the EOT is acknowledged the next segment is cut; after the last one the port
// is closed and the attempt ends with result 0.
//
// The sender has no thread, timer or port of its own: it is a state machine fed one received
// byte at a time (OnCommByte) plus a clock (CheckSilence, called about once a second and when
// ScheduleCheck asks), and everything it does outside goes through ISenderHost.
//
// Answers carry no block number, so a stray or repeated answer must never move the sender
// past a block the projector did not take. The rules that keep it honest:
//   - a byte read before the packet now out was written is never its answer (it is noise);
//   - an ACK of a packet moves on at once (a clean line costs nothing per block), but after a
//     NAK the line is let settle (no byte for the answer window) before anything is sent
//     again, and when a resent block is refused again, earlier blocks go out between its
//     resends, one further back each time: the projector takes the block it waits for,
//     answers a repeat of the block it last took with ACK and drops anything else, so a
//     sender that ran answers ahead finds where the projector stands (an ACK of an earlier
//     block makes the block after it the next), and one that did not loses a packet;
//   - before each EOT the last block's ACK must be the last byte the projector sent: any byte
//     within the answer window after it means the answers are out of step, and the last block
//     goes again instead of the EOT;
//   - bytes that come when no answer is due (early bytes, other bytes than ACK and NAK, a
//     second answer to one packet, anything between files but 'C') are noise, counted and
//     forgiven at one per NOISE_DRAIN_BLOCKS blocks taken; NOISE_LIMIT ends the attempt.
// The answer window is twice the longest round trip of a block seen in the segment (block 1
// only when there is no other: its answer may wait for the flash) plus WINDOW_MARGIN_MS, at
// least MIN_WINDOW_MS: about 25 ms at 115200 baud, a few on a pseudo-terminal. The quiet
// window costs that once per file and nothing per block.
//
// Failures the sender decides itself end the attempt with result 6 (projector canceled):
// resends of one block spent (MAX_RETRIES), too much noise, no answer within the answer limit
// after a packet or an EOT, or no request for the next file within the request limit after a
// file was taken. Waiting for the first 'C' has no limit. A write that fails ends the attempt
// with result 5 (serial failed). Every end closes the port and releases the segment, and the
// attempt ends once: whatever comes after the end (a late byte, a check, a second Abort) is
// ignored.
//
// A failure the sender decides itself leaves its cause and a detail line (Failure) naming what went
// wrong and where: how long the projector was silent after which block of which file, how
// often a block was refused, that the answers fell out of step with the blocks, or how many
// unexpected bytes came since which block. Packets sent again are counted (ResentBlocks).
//
// Whoever shows the upgrade learns what the sender does from its events (SenderEvent.h,
// through ISenderHost::OnSenderEvent): each request, packet and why it went, answer, EOT, file
// taken, silence and noise, with the bytes the projector has taken, so that nothing outside
// needs to read the cutter or parse the written bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Failure.h"
#include "SegmentCutter.h"
#include "SenderEvent.h"

class ISenderHost {
public:
    virtual ~ISenderHost() = default;
    virtual bool IsPortOpen() const = 0;
    // Hands the bytes to the port and returns at once: it never waits for the line, so a line
    // that stops draining shows up as silence. 0 when the port failed or could not take them
    // all.
    virtual int WritePort(const void* pBuffer, uint32_t nLength) = 0;
    virtual void ClosePort() = 0;
    // Positions 0..1000 of the segment bar and the total bar.
    virtual void SetProgress(uint32_t nSegmentPos, uint32_t nTotalPos) = 0;
    // The page's texts changed (elapsed "%M:%S", status = description of the current file).
    virtual void UpdateTexts(const std::string& strElapsed, const std::string& strStatus) = 0;
    // The attempt is over: 0 after the last segment, otherwise the failure code. Called once
    // per attempt, as the sender's last act, after ClosePort; a new attempt must not be
    // started from inside it.
    virtual void Finished(int nResult) = 0;
    // Milliseconds from a fixed point (a monotonic tick count).
    virtual uint32_t GetTickCount() const = 0;
    // Asks for one CheckSilence call nDelayMs from now; a later request replaces an earlier
    // one that has not come yet.
    virtual void ScheduleCheck(uint32_t nDelayMs) = 0;
    // What the sender just did or saw (SenderEvent.h), in the order it happened. The event
    // and the description it points to are valid during the call only.
    virtual void OnSenderEvent(const CSenderEvent& event) { (void)event; }
};

class CXmodemSender {
public:
    static constexpr int MAX_RETRIES = 10;
    static constexpr int STATE_WAIT_C = 0;
    static constexpr int STATE_SENDING = 1;
    static constexpr uint32_t DEFAULT_SILENCE_LIMIT_MS = 30000;
    // The projector writes its flash between files before it asks for the next one.
    static constexpr uint32_t DEFAULT_REQUEST_LIMIT_MS = 120000;
    // Unexpected bytes are counted, and one is forgiven for every NOISE_DRAIN_BLOCKS blocks
    // taken; the count reaching NOISE_LIMIT ends the attempt. A stray byte now and then
    // (a fault every few blocks or rarer) never gets there, while a line that brings an
    // unexpected byte with every block or two (a flood, random bytes, the wrong device)
    // gets there within a few dozen blocks: its answers cannot be trusted.
    static constexpr uint32_t NOISE_LIMIT = 16;
    static constexpr uint32_t NOISE_DRAIN_BLOCKS = 8;
    static constexpr uint32_t MIN_WINDOW_MS = 3;
    static constexpr uint32_t WINDOW_MARGIN_MS = 2;
    static constexpr uint32_t MAX_WINDOW_MS = 2000;
    // From this long without an answer, WaitText says so.
    static constexpr uint32_t SHOW_SILENCE_MS = 3000;

    static constexpr uint8_t SOH = 0x01;
    static constexpr uint8_t EOT = 0x04;
    static constexpr uint8_t ACK = 0x06;
    static constexpr uint8_t NAK = 0x15;
    static constexpr uint8_t REQUEST = 'C';

    explicit CXmodemSender(ISenderHost& host);
    virtual ~CXmodemSender() = default;

    // Starts an attempt on an image (shared, read only), forgetting any earlier one: offset 0,
    // first segment cut, state STATE_WAIT_C, start tick noted, elapsed text, detail and counts
    // emptied, the texts reported through UpdateTexts. Returns what the first PrepareNextSegment
    // returned (0: the image holds no file block; every 'C' is then ignored and the attempt never
    // ends by itself).
    int Start(SharedImage pImage, uint32_t nImageSize);
    // Ends the attempt from outside (port failure, a wrong server, the user): port closed,
    // segment released, the failure kept (Failure), Finished with nResult. Nothing happens
    // when the attempt is already over.
    void Abort(int nResult, CFailure::Cause nCause, const std::string& strDetail = {});

    // One received byte; bEarly: it was read before the last write to the port went out, so
    // it cannot answer that write. Ignored while the port is closed or after the attempt is
    // over.
    void OnCommByte(uint8_t nByte, bool bEarly = false);
    // The clock: closes an answer window that has been quiet long enough, and ends the attempt
    // with result 6 when an answer or the next request is overdue. Hosts call it about once a
    // second and when ScheduleCheck asks.
    void CheckSilence();
    // How long an answer to a packet or an EOT may take (answer limit), and the next file's
    // request after a file was taken (request limit).
    void SetSilenceLimit(uint32_t nMilliseconds) { m_nSilenceLimit = nMilliseconds; }
    void SetRequestLimit(uint32_t nMilliseconds) { m_nRequestLimit = nMilliseconds; }
    // Who is silent when no answer comes, for the detail: "the projector" on a cable; a
    // network port names the server too ("the projector or from the server at HOST:PORT").
    void SetPeerName(std::string strPeer) { m_strPeer = std::move(strPeer); }

    // What the attempt waits for, for the user, or empty while nothing is overdue: "No answer
    // from the projector for N s" from SHOW_SILENCE_MS without an answer, and between files
    // "The projector is writing file N (description)".
    std::string WaitText() const;

    // CRC-16/MODBUS of the bytes, through the two 256-byte tables, with its two bytes swapped:
    // the high byte of the result is the CRC's low byte, which goes first on the wire.
    static uint16_t Crc16(const uint8_t* pData, uint32_t nLength);
    // "%M:%S" of a span in seconds: minutes within the hour, seconds, two digits each.
    static std::string FormatElapsed(uint32_t nSeconds);

    const CSegmentCutter& Cutter() const { return m_cutter; }
    int State() const { return m_nState; }
    bool IsFinished() const { return m_bFinished; }
    // Packets and EOTs sent again in the current (or last) attempt.
    uint32_t ResentBlocks() const { return m_nResent; }
    // Unexpected bytes in the current (or last) attempt, all of them.
    uint32_t NoiseBytes() const { return m_nNoiseTotal; }
    // How the last attempt ended: result, cause and detail line; empty (success) while it
    // runs.
    const CFailure& Failure() const { return m_failure; }
    // The tick at which the current attempt started.
    uint32_t StartTick() const { return m_dwStartTick; }

private:
    enum Phase { ANSWER, SETTLE, QUIET };

    void StartSegment();
    void SendBlock(uint8_t nBlock, const uint8_t* pData, uint32_t nCount);
    // Builds and sends block nIndex (1-based) of the segment, for the reason nWhy.
    void SendIndexed(uint32_t nIndex, CSenderEvent::Why nWhy);
    void OnReply(uint8_t nReply);
    void OnAck();
    // Opens (or restarts) the answer window in phase nPhase.
    void OpenWindow(Phase nPhase);
    // The answer window closed: EOT after a quiet last ACK, else a resend.
    void CloseWindow();
    // Sends the packet or EOT out again (or an earlier block, see above); nWhy: why the one
    // aimed at goes again.
    void Resend(CSenderEvent::Why nWhy);
    void SendEot();
    void SegmentTaken();
    void Noise(uint8_t nByte);
    // Tells the host what just happened, with the counts as they now stand.
    void Tell(CSenderEvent::Kind nKind, CSenderEvent::Why nWhy = CSenderEvent::FIRST,
              uint8_t nByte = 0, uint32_t nMs = 0);
    void Send(const void* pBuffer, uint32_t nLength);
    void Fail(CFailure::Cause nCause, std::string strDetail);
    void Finish(int nResult, CFailure::Cause nCause, std::string strDetail = {});
    uint32_t WindowMs() const;
    // "block 12 of file 2 (Main)", or "the end of file 2 (Main)" while an EOT is out.
    std::string Where() const;
    std::string BlockWhere(uint32_t nIndex) const;
    std::string FileName() const;  // "file 2 (Main)"

    ISenderHost& m_host;
    CSegmentCutter m_cutter;  // image, offset, current segment, remaining count, status
    int32_t m_nRetries = 0;
    uint8_t m_packet[148] = {};
    uint8_t m_nBlock = 1;
    const uint8_t* m_pNext = nullptr;
    int32_t m_nState = STATE_WAIT_C;
    uint32_t m_dwStartTick = 0;
    std::string m_strElapsed;
    uint32_t m_nSilenceLimit = DEFAULT_SILENCE_LIMIT_MS;
    uint32_t m_nRequestLimit = DEFAULT_REQUEST_LIMIT_MS;
    std::string m_strPeer = "the projector";
    uint32_t m_dwLastSendTick = 0;
    bool m_bAwaitingReply = false;
    bool m_bFinished = true;
    uint32_t m_nResent = 0;
    uint32_t m_nRefusals = 0;    // NAKs for the block now aimed at
    uint32_t m_nFile = 0;        // 1-based index of the segment being sent
    uint32_t m_nBlockIndex = 0;  // 1-based index of the block now out, not wrapping
    CFailure m_failure;
    CSenderEvent::Why m_nWhy = CSenderEvent::FIRST;  // why the packet being written goes out

    // What the projector has taken, for the events.
    uint32_t m_nFiles = 0;         // file blocks in the image
    uint32_t m_nTotalBytes = 0;    // all their segments' lengths
    uint32_t m_nDoneBytes = 0;     // the segments of the files before file m_nFile
    uint32_t m_nFileBytes = 0;     // file m_nFile's segment length
    uint32_t m_nFileTaken = 0;     // its bytes in acknowledged blocks
    std::string m_strDescription;  // its description

    // Answers and windows.
    Phase m_nPhase = ANSWER;
    uint32_t m_nTarget = 0;          // the block the projector is to take next (1-based)
    uint32_t m_nHighest = 0;         // the furthest block sent in this segment
    uint32_t m_nProbeDepth = 0;      // how far back the last earlier block went
    uint32_t m_nAnswers = 0;         // ACKs and NAKs since the packet now out was written
    uint8_t m_nLastAnswer = 0;       // the latest of them
    bool m_bDisturbed = false;       // a byte came within the quiet window before an EOT
    uint32_t m_dwWindowTick = 0;     // the window ends WindowMs() after this tick
    uint32_t m_nMaxRoundTrip = 0;    // longest write-to-ACK of blocks 2 on in this segment, ms
    uint32_t m_nFirstRoundTrip = 0;  // that of block 1
    uint32_t m_nStepsInStep = 0;     // blocks taken since the answers last fell out of step
    bool m_bOutOfStep = false;       // the answers fell out of step lately

    // Noise.
    uint32_t m_nNoise = 0;  // unexpected bytes not yet forgiven
    uint32_t m_nNoiseSince =
        0;  // unexpected bytes since m_strNoiseSince, when m_nNoise rose from 0
    uint32_t m_nNoiseTotal = 0;
    uint32_t m_nCleanBlocks = 0;  // blocks taken since the count was last lowered or raised
    std::string m_strNoiseSince;

    // Between files.
    uint32_t m_dwFileTakenTick = 0;
    std::string m_strTakenFile;  // "file 1 (Boot)": the file whose EOT was acknowledged last
};
