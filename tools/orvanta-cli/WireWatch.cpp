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
        CSenderEvent event;
        event.nKind = nWritten == 256 ? CSenderEvent::EOT_SENT : CSenderEvent::PACKET;
        event.nFile = m_nFile;
        event.nWhy = !bResend           ? CSenderEvent::FIRST
                     : m_bNakSinceWrite ? CSenderEvent::REFUSED
                                        : CSenderEvent::STEP_BACK;
        if (nWritten != 256) {
            event.nBlock = bResend
                               ? m_nBlock - ((m_nBlock - static_cast<uint32_t>(nWritten)) & 0xFF)
                               : m_nBlock + 1;
        }
        m_sink(event);
        m_nBlock += !bResend && nWritten != 256 ? 1 : 0;
        m_nLastWritten = nWritten;
        m_bNakSinceWrite = false;
    }
    return CUpgradeSession::WritePort(pBuffer, nLength);
}

bool CWatchedSession::event(QEvent* pEvent) {
    if (pEvent->type() == CCommEvent::EventType()) {
        const auto* pComm = static_cast<const CCommEvent*>(pEvent);
        const uint8_t nByte = static_cast<uint8_t>(pComm->m_wParam & 0xFF);
        if (pComm->m_nMessage == WM_COMM_BYTE && Sender().IsFinished() == false) {
            CSenderEvent event;
            event.nByte = nByte;
            if (nByte == CXmodemSender::REQUEST &&
                Sender().State() == CXmodemSender::STATE_WAIT_C) {
                m_bWaitingForRequest = true;
                m_nLastWritten = -1;
                event.nKind = CSenderEvent::REQUEST;
                event.nFile = m_nFile + 1;
                m_sink(event);
            } else if (nByte == CXmodemSender::ACK || nByte == CXmodemSender::NAK) {
                m_bNakSinceWrite = m_bNakSinceWrite || nByte == CXmodemSender::NAK;
                event.nKind = CSenderEvent::ANSWER;
                event.nFile = m_nFile;
                m_sink(event);
            }
        }
    }
    return CUpgradeSession::event(pEvent);
}
