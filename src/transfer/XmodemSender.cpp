#include "XmodemSender.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "ResultTexts.h"

namespace {

constexpr uint32_t PACKET_SIZE = 133;
constexpr uint32_t BLOCK_SIZE = 128;
constexpr uint32_t CRC_OFFSET = 3 + BLOCK_SIZE;
constexpr uint32_t BAR_RANGE = 1000;
constexpr char kProjector[] = "the projector";
// Blocks taken in step after which an earlier drift no longer colours a failure's detail.
constexpr uint32_t IN_STEP_BLOCKS = 64;

// "30 s", "1.5 s".
std::string Seconds(uint32_t nMilliseconds) {
    char text[32];
    if (nMilliseconds % 1000 == 0) {
        std::snprintf(text, sizeof text, "%u s", nMilliseconds / 1000);
    } else {
        std::snprintf(text, sizeof text, "%.1f s", nMilliseconds / 1000.0);
    }
    return text;
}

// The table-driven MODBUS CRC keeps the CRC in two 8-bit registers. The "high-order" table
// feeds the register that is combined with each data byte (it ends up holding the CRC's low
// byte), the "low-order" table the other one. Both come from the reflected polynomial 0xA001.
struct CrcTables {
    std::array<uint8_t, 256> hi{};
    std::array<uint8_t, 256> lo{};
};

constexpr CrcTables MakeCrcTables() {
    CrcTables tables;
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : (crc >> 1);
        }
        tables.hi[i] = static_cast<uint8_t>(crc & 0xFF);
        tables.lo[i] = static_cast<uint8_t>(crc >> 8);
    }
    return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

// First entries of the published tables, as a guard on the generator.
static_assert(kCrcTables.hi[0] == 0x00 && kCrcTables.hi[1] == 0xC1 && kCrcTables.hi[2] == 0x81 &&
              kCrcTables.hi[255] == 0x40);
static_assert(kCrcTables.lo[0] == 0x00 && kCrcTables.lo[1] == 0xC0 && kCrcTables.lo[2] == 0xC1 &&
              kCrcTables.lo[255] == 0x40);

}  // namespace

CXmodemSender::CXmodemSender(ISenderHost& host) : m_host(host) {}

int CXmodemSender::Start(SharedImage pImage, uint32_t nImageSize) {
    m_cutter.SetImage(std::move(pImage), nImageSize);
    m_nRetries = 0;
    std::memset(m_packet, 0, sizeof(m_packet));
    m_nBlock = 1;
    m_pNext = nullptr;
    m_nState = STATE_WAIT_C;
    m_strElapsed.clear();
    m_bAwaitingReply = false;
    m_bFinished = false;
    m_nResent = 0;
    m_nRefusals = 0;
    m_nFile = 0;
    m_nBlockIndex = 0;
    m_failure = CFailure{};
    m_nPhase = ANSWER;
    m_nTarget = 0;
    m_nAnswers = 0;
    m_bDisturbed = false;
    m_nMaxRoundTrip = 0;
    m_nFirstRoundTrip = 0;
    m_nStepsInStep = 0;
    m_bOutOfStep = false;
    m_nNoise = 0;
    m_nNoiseTotal = 0;
    m_nCleanBlocks = 0;
    m_strNoiseSince.clear();
    m_strTakenFile.clear();
    m_nWhy = CSenderEvent::FIRST;
    m_nDoneBytes = 0;
    m_nFileBytes = 0;
    m_nFileTaken = 0;
    m_strDescription.clear();

    // The counts of the whole image, from a second cutter on the same (shared) image.
    m_nFiles = 0;
    m_nTotalBytes = 0;
    CSegmentCutter measure;
    measure.SetImage(m_cutter.m_pImage, m_cutter.m_nImageSize);
    while (measure.PrepareNextSegment()) {
        ++m_nFiles;
        m_nTotalBytes += measure.m_nSegmentLength;
        measure.ReleaseSegment();
    }

    const int nResult = m_cutter.PrepareNextSegment();
    m_dwStartTick = m_host.GetTickCount();
    m_host.UpdateTexts(m_strElapsed, m_cutter.m_strStatus);
    return nResult;
}

void CXmodemSender::Abort(int nResult, CFailure::Cause nCause, const std::string& strDetail) {
    if (!m_bFinished) {
        m_host.ClosePort();
        Finish(nResult, nCause, strDetail);
    }
}

void CXmodemSender::OnCommByte(uint8_t nByte, bool bEarly) {
    if (m_bFinished || !m_host.IsPortOpen()) {
        return;
    }
    if (m_nState == STATE_WAIT_C) {
        if (nByte == REQUEST) {
            StartSegment();
        } else if (m_nFile > 0) {
            Noise(nByte);  // between files only a request is due
        }
    } else if (bEarly) {
        Noise(nByte);
    } else {
        OnReply(nByte);
    }
}

void CXmodemSender::CheckSilence() {
    if (m_bFinished) {
        return;
    }
    const uint32_t nNow = m_host.GetTickCount();
    if (m_nState == STATE_WAIT_C) {
        if (m_nFile > 0 && nNow - m_dwFileTakenTick >= m_nRequestLimit) {
            Tell(CSenderEvent::SILENCE, CSenderEvent::FIRST, 0, nNow - m_dwFileTakenTick);
            Fail(CFailure::SILENCE,
                 "no request for file " + std::to_string(m_nFile + 1) + " for " +
                     Seconds(m_nRequestLimit) + " after file " + std::to_string(m_nFile) +
                     " was taken; " +
                     (m_strPeer == kProjector
                          ? std::string("check that the projector is on and in upgrade mode")
                          : "no answer from " + m_strPeer));
        }
        return;
    }
    if (m_nPhase != ANSWER) {
        const uint32_t nQuiet = nNow - m_dwWindowTick;
        if (nQuiet >= WindowMs()) {
            CloseWindow();
        } else {
            m_host.ScheduleCheck(WindowMs() - nQuiet);
        }
        return;
    }
    if (m_bAwaitingReply && nNow - m_dwLastSendTick >= m_nSilenceLimit) {
        Tell(CSenderEvent::SILENCE, CSenderEvent::FIRST, 0, nNow - m_dwLastSendTick);
        Fail(CFailure::SILENCE, (m_strPeer == kProjector ? "the projector sent no answer"
                                                         : "no answer from " + m_strPeer) +
                                    " for " + Seconds(m_nSilenceLimit) + " after " + Where());
    }
}

std::string CXmodemSender::WaitText() const {
    if (m_bFinished) {
        return {};
    }
    const uint32_t nNow = m_host.GetTickCount();
    if (m_nState == STATE_WAIT_C && m_nFile > 0) {
        return "The projector is writing " + m_strTakenFile;
    }
    if (m_nState == STATE_SENDING && m_bAwaitingReply &&
        nNow - m_dwLastSendTick >= SHOW_SILENCE_MS) {
        return "No answer from the projector for " +
               std::to_string((nNow - m_dwLastSendTick) / 1000) + " s";
    }
    return {};
}

void CXmodemSender::StartSegment() {
    m_nBlock = 1;
    if (m_cutter.m_nRemaining == 0) {
        return;
    }
    if (m_nFile > 0) {
        m_nDoneBytes += m_nFileBytes;
    }
    ++m_nFile;
    m_nFileBytes = m_cutter.m_nSegmentLength;
    m_nFileTaken = 0;
    m_strDescription = m_cutter.m_strStatus;
    m_nBlockIndex = 0;
    m_nTarget = 1;
    m_nHighest = 0;
    m_nProbeDepth = 0;
    m_nRefusals = 0;
    m_nMaxRoundTrip = 0;
    m_nFirstRoundTrip = 0;
    m_nRetries = MAX_RETRIES;
    Tell(CSenderEvent::REQUEST);
    SendIndexed(1, CSenderEvent::FIRST);
}

void CXmodemSender::SendIndexed(uint32_t nIndex, CSenderEvent::Why nWhy) {
    const uint32_t nLength = m_cutter.m_nSegmentLength;
    const uint32_t nOffset = (nIndex - 1) * BLOCK_SIZE;
    const uint32_t nCount = std::min(nLength - nOffset, BLOCK_SIZE);
    const uint8_t* pData = m_cutter.m_pSegment.get() + nOffset;
    // SendBlock reports the bars with the block still counted as remaining.
    m_cutter.m_nRemaining = nLength - nOffset;
    if (nWhy != CSenderEvent::FIRST) {
        ++m_nResent;
    }
    m_nWhy = nWhy;
    m_nHighest = std::max(m_nHighest, nIndex);
    m_nBlockIndex = nIndex - 1;
    SendBlock(static_cast<uint8_t>(nIndex), pData, nCount);
    if (m_bFinished) {
        return;
    }
    m_nBlockIndex = nIndex;
    m_nBlock = static_cast<uint8_t>(nIndex + 1);
    m_pNext = pData + nCount;
    m_cutter.m_nRemaining = nLength - nOffset - nCount;
}

void CXmodemSender::SendBlock(uint8_t nBlock, const uint8_t* pData, uint32_t nCount) {
    std::memset(m_packet, 0, sizeof(m_packet));
    m_packet[0] = SOH;
    m_packet[1] = nBlock;
    m_packet[2] = static_cast<uint8_t>(~nBlock);
    std::memcpy(&m_packet[3], pData, nCount);

    const uint16_t nCrc = Crc16(&m_packet[3], BLOCK_SIZE);
    m_packet[CRC_OFFSET] = static_cast<uint8_t>(nCrc >> 8);
    m_packet[CRC_OFFSET + 1] = static_cast<uint8_t>(nCrc & 0xFF);

    ++m_nBlockIndex;
    if (m_host.IsPortOpen()) {
        Send(m_packet, PACKET_SIZE);
        if (m_bFinished) {
            return;
        }
        m_nState = STATE_SENDING;
        Tell(CSenderEvent::PACKET, m_nWhy);
    }
    m_nState = STATE_SENDING;

    // What went out before this block; m_nRemaining still counts it. Kept in unsigned 32 bits
    // on purpose, so the positions match the established ones: the products wrap past 2^32
    // (images over about 4 MB) and the divisions truncate.
    const uint32_t nRemaining = m_cutter.m_nRemaining;
    const uint32_t nSegmentPos =
        (m_cutter.m_nSegmentLength - nRemaining) * BAR_RANGE / m_cutter.m_nSegmentLength;
    const uint32_t nTotalPos =
        (m_cutter.m_nImageOffset - nRemaining) * BAR_RANGE / m_cutter.m_nImageSize;
    m_host.SetProgress(nSegmentPos, nTotalPos);

    m_strElapsed = FormatElapsed((m_host.GetTickCount() - m_dwStartTick) / 1000);
    m_host.UpdateTexts(m_strElapsed, m_cutter.m_strStatus);
}

void CXmodemSender::OnReply(uint8_t nReply) {
    if (nReply != ACK && nReply != NAK) {
        if (m_nPhase == QUIET) {
            m_bDisturbed = true;
            m_dwWindowTick = m_host.GetTickCount();
        }
        Noise(nReply);
        return;
    }
    ++m_nAnswers;
    m_nLastAnswer = nReply;
    if (nReply == NAK) {
        ++m_nRefusals;
    }
    if (m_nPhase != ANSWER) {
        // A second answer to one packet: one of them was not the projector's answer to it.
        if (m_nPhase == QUIET) {
            m_bDisturbed = true;
        }
        m_dwWindowTick = m_host.GetTickCount();
        Noise(nReply);
        return;
    }
    m_bAwaitingReply = false;
    if (nReply == ACK && m_packet[0] != EOT) {
        // The block now out was taken, or (an earlier one) was the last the projector took.
        m_nFileTaken = std::min(m_nBlockIndex * BLOCK_SIZE, m_nFileBytes);
    }
    Tell(CSenderEvent::ANSWER, CSenderEvent::FIRST, nReply);
    if (nReply == NAK) {
        OpenWindow(SETTLE);
    } else {
        OnAck();
    }
}

void CXmodemSender::OnAck() {
    if (m_packet[0] == EOT) {
        SegmentTaken();
        return;
    }
    const uint32_t nRoundTrip = m_host.GetTickCount() - m_dwLastSendTick;
    if (m_nBlockIndex != m_nTarget) {
        // An earlier block, sent to find where the projector stands, was taken or was the
        // projector's last: it needs the block after it next.
        m_nTarget = m_nBlockIndex + 1;
        m_nRefusals = 0;
        m_nProbeDepth = 0;
        Resend(CSenderEvent::STEP_BACK);
        return;
    }
    // The first block's answer may wait for the projector to prepare its flash; the window
    // follows the blocks after it, unless the segment has no other.
    if (m_nTarget == 1) {
        m_nFirstRoundTrip = std::min(nRoundTrip, MAX_WINDOW_MS);
    } else {
        m_nMaxRoundTrip = std::max(m_nMaxRoundTrip, std::min(nRoundTrip, MAX_WINDOW_MS));
    }
    if (m_cutter.m_nRemaining == 0) {
        // The last block: its ACK must be the last byte before the EOT.
        OpenWindow(QUIET);
        return;
    }
    if (m_nNoise > 0 && ++m_nCleanBlocks >= NOISE_DRAIN_BLOCKS) {
        m_nCleanBlocks = 0;
        --m_nNoise;
    }
    if (++m_nStepsInStep >= IN_STEP_BLOCKS) {
        m_bOutOfStep = false;
    }
    ++m_nTarget;
    m_nRefusals = 0;
    m_nProbeDepth = 0;
    m_nRetries = MAX_RETRIES;
    SendIndexed(m_nTarget, m_nTarget > m_nHighest ? CSenderEvent::FIRST : CSenderEvent::STEP_BACK);
}

void CXmodemSender::OpenWindow(Phase nPhase) {
    m_nPhase = nPhase;
    m_bDisturbed = false;
    m_dwWindowTick = m_host.GetTickCount();
    m_host.ScheduleCheck(WindowMs());
}

void CXmodemSender::CloseWindow() {
    const Phase nPhase = m_nPhase;
    m_nPhase = ANSWER;
    if (nPhase == QUIET && !m_bDisturbed && m_nAnswers == 1) {
        SendEot();
        return;
    }
    if (m_nAnswers > 1 || m_bDisturbed) {
        m_bOutOfStep = true;
        m_nStepsInStep = 0;
    }
    Resend(nPhase == QUIET ? CSenderEvent::UNSETTLED : CSenderEvent::REFUSED);
}

void CXmodemSender::Resend(CSenderEvent::Why nWhy) {
    if (m_nRetries <= 0) {
        // The projector refuses the packet for good, or its answers never came back in step
        // with the blocks; waiting on would never end.
        const std::string where = m_packet[0] == EOT ? Where() : BlockWhere(m_nTarget);
        if (m_bOutOfStep) {
            Fail(CFailure::OUT_OF_STEP,
                 "the projector's answers fell out of step with the blocks at " + where +
                     " and did not come back in step after " + std::to_string(MAX_RETRIES) +
                     " resends; check the cable and that the projector is in upgrade mode");
        } else {
            Fail(CFailure::REFUSED, "the projector refused " + where + " " +
                                        std::to_string(m_nRefusals) +
                                        " times; check the cable and the baud rate");
        }
        return;
    }
    --m_nRetries;
    if (m_packet[0] == EOT) {
        if (m_host.IsPortOpen()) {
            ++m_nResent;
            Send(m_packet, 1);
            if (!m_bFinished) {
                Tell(CSenderEvent::EOT_SENT, nWhy);
            }
        }
        return;
    }
    // A target refused again after a resend may be one the projector cannot take yet: its
    // answers ran ahead and it still waits for an earlier block. Between resends of the
    // target the blocks before it go out, one further back each time; the projector takes
    // the one it waits for, answers a repeat of its last block with ACK, and drops the rest.
    uint32_t nIndex = m_nTarget;
    if (m_nBlockIndex == m_nTarget && m_nTarget > 1 && m_nLastAnswer == NAK && m_nRefusals >= 2) {
        m_nProbeDepth = std::min(m_nProbeDepth + 1, m_nTarget - 1);
        nIndex = m_nTarget - m_nProbeDepth;
    }
    SendIndexed(nIndex, nIndex < m_nTarget ? CSenderEvent::STEP_BACK : nWhy);
}

void CXmodemSender::SendEot() {
    // The last data block is acknowledged; the retries it left also serve the EOT.
    m_packet[0] = EOT;
    m_nRefusals = 0;
    if (m_host.IsPortOpen()) {
        Send(m_packet, 1);
        if (!m_bFinished) {
            Tell(CSenderEvent::EOT_SENT);
        }
    }
}

void CXmodemSender::SegmentTaken() {
    m_bAwaitingReply = false;
    m_pNext = nullptr;
    m_strTakenFile = FileName();
    m_dwFileTakenTick = m_host.GetTickCount();
    m_cutter.ReleaseSegment();
    m_nState = STATE_WAIT_C;
    Tell(CSenderEvent::FILE_TAKEN);
    if (m_cutter.PrepareNextSegment()) {
        m_host.UpdateTexts(m_strElapsed, m_cutter.m_strStatus);
    } else {
        m_host.ClosePort();
        Finish(RESULT_SUCCESS, CFailure::NONE);
    }
}

void CXmodemSender::Noise(uint8_t nByte) {
    if (m_nNoise == 0) {
        m_strNoiseSince = m_nState == STATE_WAIT_C ? "the end of " + m_strTakenFile : Where();
        m_nNoiseSince = 0;
        m_nCleanBlocks = 0;
    }
    ++m_nNoise;
    ++m_nNoiseSince;
    ++m_nNoiseTotal;
    Tell(CSenderEvent::NOISE, CSenderEvent::FIRST, nByte);
    if (m_nNoise >= NOISE_LIMIT) {
        Fail(CFailure::NOISE,
             std::to_string(m_nNoiseSince) + " unexpected bytes from " + m_strPeer + " since " +
                 m_strNoiseSince +
                 "; check the cable, the port and that the projector is in upgrade mode");
    }
}

void CXmodemSender::Send(const void* pBuffer, uint32_t nLength) {
    if (!m_host.WritePort(pBuffer, nLength)) {
        // The port failed under the transfer: the bytes never left, so no answer will come.
        m_host.ClosePort();
        Finish(RESULT_SERIAL_FAILED, CFailure::WRITE);
        return;
    }
    m_dwLastSendTick = m_host.GetTickCount();
    m_bAwaitingReply = true;
    m_nAnswers = 0;
    m_nPhase = ANSWER;
}

void CXmodemSender::Fail(CFailure::Cause nCause, std::string strDetail) {
    m_host.ClosePort();
    Finish(RESULT_PROJECTOR_CANCELED, nCause, std::move(strDetail));
}

void CXmodemSender::Finish(int nResult, CFailure::Cause nCause, std::string strDetail) {
    if (m_bFinished) {
        return;
    }
    m_bFinished = true;
    m_failure = CFailure{};
    if (nResult != RESULT_SUCCESS) {
        m_failure.nResult = nResult;
        m_failure.nCause = nCause;
        m_failure.strDetail = std::move(strDetail);
    }
    m_bAwaitingReply = false;
    m_nState = STATE_WAIT_C;
    m_nPhase = ANSWER;
    m_pNext = nullptr;
    m_cutter.ReleaseSegment();
    m_host.Finished(nResult);
}

void CXmodemSender::Tell(CSenderEvent::Kind nKind, CSenderEvent::Why nWhy, uint8_t nByte,
                         uint32_t nMs) {
    CSenderEvent event;
    event.nKind = nKind;
    event.nFile = m_nFile;
    event.nFiles = m_nFiles;
    const bool bBlockOut = m_nState == STATE_SENDING && m_packet[0] != EOT;
    event.nBlock = bBlockOut ? m_nBlockIndex : 0;
    event.nWhy = nWhy;
    event.nByte = nByte;
    event.nNoise = m_nNoise;
    event.nFileBytesTaken = m_nFileTaken;
    event.nFileBytes = m_nFileBytes;
    event.nBytesTaken = m_nDoneBytes + m_nFileTaken;
    event.nTotalBytes = m_nTotalBytes;
    event.nFileBytesSent =
        bBlockOut ? std::min((m_nBlockIndex - 1) * BLOCK_SIZE, m_nFileBytes) : m_nFileBytes;
    event.nMs = nMs;
    event.strDescription = m_strDescription;
    m_host.OnSenderEvent(event);
}

uint32_t CXmodemSender::WindowMs() const {
    const uint32_t nRoundTrip = m_nHighest > 1 ? m_nMaxRoundTrip : m_nFirstRoundTrip;
    return std::clamp(2 * nRoundTrip + WINDOW_MARGIN_MS, MIN_WINDOW_MS, MAX_WINDOW_MS);
}

std::string CXmodemSender::FileName() const {
    std::string file = "file " + std::to_string(m_nFile);
    if (!m_cutter.m_strStatus.empty()) {
        file += " (" + m_cutter.m_strStatus + ")";
    }
    return file;
}

std::string CXmodemSender::BlockWhere(uint32_t nIndex) const {
    return "block " + std::to_string(nIndex) + " of " + FileName();
}

std::string CXmodemSender::Where() const {
    return m_packet[0] == EOT ? "the end of " + FileName() : BlockWhere(m_nBlockIndex);
}

uint16_t CXmodemSender::Crc16(const uint8_t* pData, uint32_t nLength) {
    uint8_t nFirst = 0xFF;
    uint8_t nSecond = 0xFF;
    for (uint32_t i = 0; i < nLength; ++i) {
        const uint8_t nIndex = pData[i] ^ nFirst;
        nFirst = kCrcTables.hi[nIndex] ^ nSecond;
        nSecond = kCrcTables.lo[nIndex];
    }
    return static_cast<uint16_t>((nFirst << 8) | nSecond);
}

std::string CXmodemSender::FormatElapsed(uint32_t nSeconds) {
    char text[8];
    std::snprintf(text, sizeof(text), "%02u:%02u", (nSeconds / 60) % 60, nSeconds % 60);
    return text;
}
