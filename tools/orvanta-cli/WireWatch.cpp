#include "WireWatch.h"

#include "CommEvents.h"
#include "XmodemSender.h"

int CWatchedSession::WritePort(const void* pBuffer, uint32_t nLength) {
    const auto* pBytes = static_cast<const uint8_t*>(pBuffer);
    const int nWritten = nLength == 0                                     ? -1
                         : pBytes[0] == CXmodemSender::EOT                ? 256
                         : pBytes[0] == CXmodemSender::SOH && nLength > 1 ? pBytes[1]
                                                                          : -1;
    if (nWritten >= 0) {
        if (m_bWaitingForRequest) {
            m_bWaitingForRequest = false;
            ++m_nFile;
            m_nBlock = 0;
            m_nLastWritten = -1;
        }
        // A data packet is new when it carries the number after the newest block; any other
        // number is an earlier block sent again (the sender may step back one block).
        const bool bResend = nWritten == 256 ? m_nLastWritten == 256
                                             : nWritten != static_cast<int>((m_nBlock + 1) & 0xFF);
        const uint32_t nIndex =
            nWritten == 256 ? 0 : m_nBlock - ((m_nBlock - static_cast<uint32_t>(nWritten)) & 0xFF);
        const char* pCause = m_bNakSinceWrite ? "NAK" : "no answer";
        for (IWireObserver* pObserver : m_observers) {
            if (bResend) {
                pObserver->Resent(m_nFile, nIndex, pCause);
            } else if (nWritten == 256) {
                pObserver->EotSent(m_nFile);
            } else {
                pObserver->PacketSent(m_nFile, m_nBlock + 1);
            }
        }
        m_nBlock += !bResend && nWritten != 256 ? 1 : 0;
        m_nLastWritten = nWritten;
        m_bNakSinceWrite = false;
    }
    return CUpgradeSession::WritePort(pBuffer, nLength);
}

void CWatchedSession::OnCommEvent(const CCommEvent& event) {
    {
        const uint8_t nByte = static_cast<uint8_t>(event.wParam & 0xFF);
        if (event.nMessage == WM_COMM_BYTE && Sender().IsFinished() == false) {
            const bool bRequest =
                nByte == CXmodemSender::REQUEST && Sender().State() == CXmodemSender::STATE_WAIT_C;
            if (bRequest) {
                m_bWaitingForRequest = true;
                m_nLastWritten = -1;
            }
            if (nByte == CXmodemSender::NAK) {
                m_bNakSinceWrite = true;
            }
            for (IWireObserver* pObserver : m_observers) {
                if (bRequest) {
                    pObserver->Request();
                } else if (nByte == CXmodemSender::ACK || nByte == CXmodemSender::NAK) {
                    pObserver->Answer(nByte == CXmodemSender::ACK);
                }
            }
        }
    }
    CUpgradeSession::OnCommEvent(event);
}

void CWireTrace::Line(const std::string& text) {
    const auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - m_start)
                         .count();
    std::fprintf(m_pStream, "%8lld ms  %s\n", static_cast<long long>(nMs), text.c_str());
    std::fflush(m_pStream);
}

void CWireTrace::Request() {
    Line("<- C (request for the next file)");
}

void CWireTrace::PacketSent(uint32_t nFile, uint32_t nBlock) {
    Line("-> block " + std::to_string(nBlock) + " of file " + std::to_string(nFile));
}

void CWireTrace::Resent(uint32_t nFile, uint32_t nBlock, const char* pCause) {
    Line(std::string("-> resend ") + (nBlock == 0 ? "EOT" : "block " + std::to_string(nBlock)) +
         " of file " + std::to_string(nFile) + " (" + pCause + ")");
}

void CWireTrace::EotSent(uint32_t nFile) {
    Line("-> EOT of file " + std::to_string(nFile));
}

void CWireTrace::Answer(bool bAck) {
    Line(bAck ? "<- ACK" : "<- NAK");
}
