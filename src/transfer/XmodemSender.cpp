#include "XmodemSender.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "PackageLoader.h"

namespace {

constexpr uint32_t PACKET_SIZE = 133;
constexpr uint32_t BLOCK_SIZE = 128;
constexpr uint32_t CRC_OFFSET = 3 + BLOCK_SIZE;
constexpr uint32_t BAR_RANGE = 1000;

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

int CXmodemSender::Start(std::unique_ptr<uint8_t[]> pImage, uint32_t nImageSize) {
    m_cutter.SetImage(std::move(pImage), nImageSize);
    m_nRetries = 0;
    std::memset(m_packet, 0, sizeof(m_packet));
    m_nBlock = 1;
    m_pNext = nullptr;
    m_nState = STATE_WAIT_C;
    m_strElapsed.clear();
    m_bAwaitingReply = false;
    m_bFinished = false;
    m_nPacketsSent = 0;
    m_nResent = 0;
    m_nRefusals = 0;
    m_nFile = 0;
    m_nBlockIndex = 0;
    m_strDetail.clear();

    const int nResult = m_cutter.PrepareNextSegment();
    m_dwStartTick = m_host.GetTickCount();
    m_host.UpdateTexts(m_strElapsed, m_cutter.m_strStatus);
    return nResult;
}

void CXmodemSender::Abort(int nResult, const std::string& strDetail) {
    if (!m_bFinished) {
        m_host.ClosePort();
        Finish(nResult, strDetail);
    }
}

void CXmodemSender::OnCommByte(uint8_t nByte) {
    if (m_bFinished || !m_host.IsPortOpen()) {
        return;
    }
    if (m_nState == STATE_WAIT_C) {
        if (nByte == REQUEST) {
            StartSegment();
        }
    } else {
        OnReply(nByte);
    }
}

void CXmodemSender::CheckSilence() {
    if (m_bFinished || !m_bAwaitingReply) {
        return;
    }
    const uint32_t nSilent = m_host.GetTickCount() - m_dwLastSendTick;
    if (nSilent >= m_nSilenceLimit) {
        m_host.ClosePort();
        Finish(RESULT_PROJECTOR_CANCELED,
               "the projector sent no answer for " + Seconds(nSilent) + " after " + Where());
    }
}

void CXmodemSender::StartSegment() {
    m_nBlock = 1;
    if (m_cutter.m_nRemaining == 0) {
        return;
    }
    ++m_nFile;
    m_nBlockIndex = 0;
    m_pNext = m_cutter.m_pSegment.get();
    const uint32_t nCount = std::min(m_cutter.m_nRemaining, BLOCK_SIZE);
    SendBlock(1, m_pNext, nCount);
    if (m_bFinished) {
        return;
    }
    ++m_nBlock;
    m_pNext += nCount;
    m_cutter.m_nRemaining -= nCount;
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
    m_nRefusals = 0;
    if (m_host.IsPortOpen()) {
        Send(m_packet, PACKET_SIZE);
        if (m_bFinished) {
            return;
        }
    }
    m_nState = STATE_SENDING;
    m_nRetries = MAX_RETRIES;

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
    if (nReply == ACK) {
        if (m_cutter.m_nRemaining > 0) {
            const uint32_t nCount = std::min(m_cutter.m_nRemaining, BLOCK_SIZE);
            SendBlock(m_nBlock, m_pNext, nCount);
            if (m_bFinished) {
                return;
            }
            ++m_nBlock;
            m_pNext += nCount;
            m_cutter.m_nRemaining -= nCount;
        } else if (m_packet[0] != EOT) {
            // The last data block is acknowledged; the retries it left also serve the EOT.
            m_packet[0] = EOT;
            m_nRefusals = 0;
            if (m_host.IsPortOpen()) {
                Send(m_packet, 1);
            }
        } else {
            m_bAwaitingReply = false;
            m_pNext = nullptr;
            m_cutter.ReleaseSegment();
            m_nState = STATE_WAIT_C;
            if (m_cutter.PrepareNextSegment()) {
                m_host.UpdateTexts(m_strElapsed, m_cutter.m_strStatus);
            } else {
                m_host.ClosePort();
                Finish(RESULT_SUCCESS);
            }
        }
    } else if (nReply == NAK) {
        ++m_nRefusals;
        if (m_nRetries > 0) {
            --m_nRetries;
            if (m_host.IsPortOpen()) {
                ++m_nResent;
                Send(m_packet, m_packet[0] == EOT ? 1 : PACKET_SIZE);
            }
        } else {
            // The projector refuses the packet for good; waiting on would never end.
            m_host.ClosePort();
            Finish(RESULT_PROJECTOR_CANCELED, "the projector refused " + Where() + " " +
                                                  std::to_string(m_nRefusals) +
                                                  " times; check the cable and the baud rate");
        }
    }
}

void CXmodemSender::Send(const void* pBuffer, uint32_t nLength) {
    if (!m_host.WritePort(pBuffer, nLength)) {
        // The port failed under the transfer: the bytes never left, so no answer will come.
        m_host.ClosePort();
        Finish(RESULT_SERIAL_FAILED);
        return;
    }
    ++m_nPacketsSent;
    m_dwLastSendTick = m_host.GetTickCount();
    m_bAwaitingReply = true;
}

void CXmodemSender::Finish(int nResult, std::string strDetail) {
    if (m_bFinished) {
        return;
    }
    m_bFinished = true;
    m_strDetail = nResult == RESULT_SUCCESS ? std::string() : std::move(strDetail);
    m_bAwaitingReply = false;
    m_nState = STATE_WAIT_C;
    m_pNext = nullptr;
    m_cutter.ReleaseSegment();
    m_host.Finished(nResult);
}

std::string CXmodemSender::Where() const {
    std::string file = "file " + std::to_string(m_nFile);
    if (!m_cutter.m_strStatus.empty()) {
        file += " (" + m_cutter.m_strStatus + ")";
    }
    if (m_packet[0] == EOT) {
        return "the end of " + file;
    }
    return "block " + std::to_string(m_nBlockIndex) + " of " + file;
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
