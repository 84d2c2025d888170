// CXmodemSender: delivers the download segments of an image to the projector with
// XMODEM-style framing, one segment per transfer.
//
// The projector asks for each segment with 'C'; the sender answers with 133-byte packets
// (SOH, block number, its complement, 128 data bytes zero-padded, CRC-16/MODBUS low byte
// first), sends the next block on ACK and the last packet again on NAK (at most MAX_RETRIES
// times), and closes the segment with EOT. When the EOT is acknowledged the next segment is
// cut; after the last one the port is closed and the attempt ends with result 0.
//
// The sender has no thread, timer or port of its own: it is a state machine fed one received
// byte at a time (OnCommByte) plus a clock (CheckSilence), and everything it does outside goes
// through ISenderHost. Failures it decides itself end the attempt with result 6 (projector
// canceled): NAK after the resends are spent, or no answer (ACK or NAK; other bytes do not
// count) within the silence limit after a packet or an EOT. Waiting for 'C' has no limit. A
// write that fails ends the attempt with result 5 (serial failed). Every end closes the port
// and releases the segment, and the attempt ends once: whatever comes after the end (a late
// byte, a silence check, a second Abort) is ignored.
//
// A failure the sender decides itself leaves a detail line (FailureDetail) naming what went
// wrong and where: how long the projector was silent after which block of which file, or how
// often a block was refused. Packets sent again after a NAK are counted (ResentBlocks).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "SegmentCutter.h"

class ISenderHost {
public:
    virtual ~ISenderHost() = default;
    virtual bool IsPortOpen() const = 0;
    // Writes the bytes; returns once they are out. 0 when the port failed.
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
};

class CXmodemSender {
public:
    static constexpr int MAX_RETRIES = 10;
    static constexpr int STATE_WAIT_C = 0;
    static constexpr int STATE_SENDING = 1;
    static constexpr uint32_t DEFAULT_SILENCE_LIMIT_MS = 30000;

    static constexpr uint8_t SOH = 0x01;
    static constexpr uint8_t EOT = 0x04;
    static constexpr uint8_t ACK = 0x06;
    static constexpr uint8_t NAK = 0x15;
    static constexpr uint8_t REQUEST = 'C';

    explicit CXmodemSender(ISenderHost& host);
    virtual ~CXmodemSender() = default;

    // Starts an attempt on an image, forgetting any earlier one: offset 0, first segment cut,
    // state STATE_WAIT_C, start tick noted, elapsed text, detail and counts emptied, the texts
    // reported through UpdateTexts. Returns what the first PrepareNextSegment returned (0: the
    // image holds no file block; every 'C' is then ignored and the attempt never ends by itself).
    int Start(std::unique_ptr<uint8_t[]> pImage, uint32_t nImageSize);
    // Ends the attempt from outside (port failure, time limit): port closed, segment
    // released, strDetail kept as the failure detail, Finished with nResult. Nothing happens
    // when the attempt is already over.
    void Abort(int nResult, const std::string& strDetail = {});

    // One received byte. Ignored while the port is closed or after the attempt is over.
    void OnCommByte(uint8_t nByte);
    // Ends the attempt with result 6 when a packet or EOT has waited longer than the silence
    // limit for its answer. Hosts call it about once a second.
    void CheckSilence();
    void SetSilenceLimit(uint32_t nMilliseconds) { m_nSilenceLimit = nMilliseconds; }

    // CRC-16/MODBUS of the bytes, through the two 256-byte tables, with its two bytes swapped:
    // the high byte of the result is the CRC's low byte, which goes first on the wire.
    static uint16_t Crc16(const uint8_t* pData, uint32_t nLength);
    // "%M:%S" of a span in seconds: minutes within the hour, seconds, two digits each.
    static std::string FormatElapsed(uint32_t nSeconds);

    const CSegmentCutter& Cutter() const { return m_cutter; }
    int State() const { return m_nState; }
    bool IsFinished() const { return m_bFinished; }
    const std::string& Elapsed() const { return m_strElapsed; }
    const uint8_t* Packet() const { return m_packet; }
    // Whether the current attempt has sent its first packet (the projector has asked).
    bool HasSent() const { return m_nPacketsSent > 0; }
    // Packets and EOTs sent again after a NAK in the current (or last) attempt.
    uint32_t ResentBlocks() const { return m_nResent; }
    // Why the last attempt failed, in one line; empty after success or while it runs.
    const std::string& FailureDetail() const { return m_strDetail; }
    // The tick at which the current attempt started.
    uint32_t StartTick() const { return m_dwStartTick; }

private:
    void StartSegment();
    void SendBlock(uint8_t nBlock, const uint8_t* pData, uint32_t nCount);
    void OnReply(uint8_t nReply);
    void Send(const void* pBuffer, uint32_t nLength);
    void Finish(int nResult, std::string strDetail = {});
    // "block 12 of file 2 (Main)", or "the end of file 2 (Main)" while an EOT is out.
    std::string Where() const;

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
    uint32_t m_dwLastSendTick = 0;
    bool m_bAwaitingReply = false;
    bool m_bFinished = true;
    uint32_t m_nPacketsSent = 0;
    uint32_t m_nResent = 0;
    uint32_t m_nRefusals = 0;    // NAKs for the packet now out
    uint32_t m_nFile = 0;        // 1-based index of the segment being sent
    uint32_t m_nBlockIndex = 0;  // 1-based index of the block now out, not wrapping
    std::string m_strDetail;
};
