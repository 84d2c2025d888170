#include "UpgradeSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "PortAddress.h"
#include "ResultTexts.h"

namespace {

constexpr std::chrono::milliseconds kSilenceCheckInterval{1000};

// Both silence limits, shortened by tests through ORVANTA_SILENCE_MS; 0 (keep the defaults)
// for a missing or unusable value.
uint32_t SilenceLimit() {
    const char* pText = std::getenv("ORVANTA_SILENCE_MS");
    if (pText == nullptr || *pText == '\0') {
        return 0;
    }
    char* pEnd = nullptr;
    const unsigned long nValue = std::strtoul(pText, &pEnd, 10);
    if (*pEnd != '\0' || nValue == 0 || nValue > UINT32_MAX) {
        return 0;
    }
    return static_cast<uint32_t>(nValue);
}

}  // namespace

CUpgradeSession::CUpgradeSession(ISessionObserver& observer)
    : m_observer(observer),
      m_port(m_events,
             [this](const std::string& text) {
                 m_strLastTold = text;
                 Tell(text);
             }),
      m_sender(*this) {
    if (const uint32_t nLimit = SilenceLimit(); nLimit != 0) {
        SetSilenceLimit(nLimit);
    }
}

CUpgradeSession::~CUpgradeSession() {
    m_port.ClosePort();
}

void CUpgradeSession::SetSilenceLimit(uint32_t nMilliseconds) {
    m_sender.SetSilenceLimit(nMilliseconds);
    m_sender.SetRequestLimit(nMilliseconds);
}

void CUpgradeSession::ScheduleCheck(uint32_t nDelayMs) {
    m_tWindow = Clock::now() + std::chrono::milliseconds(nDelayMs);
}

int CUpgradeSession::Prepare(SharedImage pImage, uint32_t nImageSize) {
    m_failure = CFailure{};
    m_portFailure = CFailure{};
    m_tSilenceCheck = Clock::now() + kSilenceCheckInterval;
    return m_sender.Start(std::move(pImage), nImageSize);
}

int CUpgradeSession::OpenPort(const std::string& portName, int nBaudRate) {
    m_strLastTold.clear();
    if (!m_port.OpenPort(portName, nBaudRate)) {
        m_tSilenceCheck = Clock::time_point::max();
        m_failure =
            CFailure{RESULT_SERIAL_FAILED, CFailure::PORT_OPEN, m_strLastTold, m_port.LastDetail()};
        return 0;
    }
    m_strLastError.clear();
    m_portFailure = CFailure{};
    m_failure = CFailure{};
    CPortAddress address;
    m_bNetwork = CPortAddress::Parse(portName, address) && address.m_nKind != CPortAddress::LOCAL;
    m_sender.SetPeerName(m_bNetwork ? "the projector or from the server at " + address.Text()
                                    : "the projector");
    if (!m_sender.IsFinished()) {
        m_tSilenceCheck = Clock::now() + kSilenceCheckInterval;
    }
    return 1;
}

void CUpgradeSession::Abort(int nResult, CFailure::Cause nCause, const std::string& strDetail) {
    m_sender.Abort(nResult, nCause, strDetail);
}

CUpgradeSession::Clock::time_point CUpgradeSession::NextDeadline() const {
    if (!m_deferred.empty()) {
        return Clock::now();
    }
    return std::min({m_tSilenceCheck, m_tWindow, m_port.NextDeadline()});
}

void CUpgradeSession::Service() {
    m_port.CheckDeadlines();
    for (const CCommEvent& event : m_events.Take()) {
        OnCommEvent(event);
    }
    const auto now = Clock::now();
    if (now >= m_tWindow) {
        m_tWindow = Clock::time_point::max();
        m_sender.CheckSilence();
    }
    if (now >= m_tSilenceCheck) {
        m_tSilenceCheck =
            m_sender.IsFinished() ? Clock::time_point::max() : now + kSilenceCheckInterval;
        m_sender.CheckSilence();
    }
    // Taken off the queue before delivery: a nested Service() from inside a handler then
    // delivers the rest, and nothing twice.
    while (!m_deferred.empty()) {
        Deferred item = std::move(m_deferred.front());
        m_deferred.pop_front();
        if (item.bEnd) {
            m_observer.OnFinished(item.failure);
        } else {
            m_observer.OnMessage(item.strText);
        }
    }
}

bool CUpgradeSession::IsPortOpen() const {
    return m_port.IsOpen();
}

int CUpgradeSession::WritePort(const void* pBuffer, uint32_t nLength) {
    m_nLastWriteUs = CommClockMicros();
    if (m_port.WritePort(pBuffer, nLength)) {
        return 1;
    }
    // The sender ends the attempt with result 5; the user gets one message for the failed
    // port, whichever side (this write or the reader) notices it first.
    if (m_port.IsOpen()) {
        const int nError = m_port.LastWriteError();
        PortFailed(
            CFailure::WRITE,
            "A problem occured while trying to write to the Com Port: " + std::to_string(nError),
            PortFailureDetail(nError));
    }
    return 0;
}

void CUpgradeSession::ClosePort() {
    m_port.ClosePort();
}

void CUpgradeSession::SetProgress(uint32_t nSegmentPos, uint32_t nTotalPos) {
    m_observer.OnProgress(nSegmentPos, nTotalPos);
}

void CUpgradeSession::UpdateTexts(const std::string& strElapsed, const std::string& strStatus) {
    m_observer.OnTexts(strElapsed, strStatus);
}

void CUpgradeSession::OnSenderEvent(const CSenderEvent& event) {
    m_observer.OnSenderEvent(event);
}

void CUpgradeSession::Finished(int nResult) {
    m_tSilenceCheck = Clock::time_point::max();
    m_tWindow = Clock::time_point::max();
    m_failure = CFailure{};
    if (nResult != RESULT_SUCCESS) {
        m_failure = m_sender.Failure();
        m_failure.nResult = nResult;
        if (m_portFailure.nCause != CFailure::NONE) {
            // The port failed first; whatever the sender then noticed follows from that.
            m_failure.nCause = m_portFailure.nCause;
            m_failure.strMessage = m_portFailure.strMessage;
            if (!m_portFailure.strDetail.empty()) {
                m_failure.strDetail = m_portFailure.strDetail;
            }
        }
    }
    m_deferred.push_back({true, {}, m_failure});
}

void CUpgradeSession::Tell(const std::string& text) {
    m_deferred.push_back({false, text, {}});
}

void CUpgradeSession::PortFailed(CFailure::Cause nCause, const std::string& strMessage,
                                 std::string strDetail) {
    if (m_portFailure.nCause != CFailure::NONE) {
        return;
    }
    m_portFailure.nResult = RESULT_SERIAL_FAILED;
    m_portFailure.nCause = nCause;
    if (!strMessage.empty() && strMessage != m_strLastError) {
        m_portFailure.strMessage = strMessage;
        Tell(strMessage);
    }
    // An attempt already over keeps the detail it ended with.
    if (!m_sender.IsFinished()) {
        m_portFailure.strDetail = std::move(strDetail);
    }
}

std::string CUpgradeSession::PortFailureDetail(int nError) const {
    const std::string what =
        nError == ETIMEDOUT ? " stopped taking data (" : " went away or stopped answering (";
    return m_port.Path() + what + std::strerror(nError) +
           "); check the cable and the projector's power";
}

uint32_t CUpgradeSession::GetTickCount() const {
    // Wraps like a tick count; the sender only ever takes differences.
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
}

void CUpgradeSession::OnCommEvent(const CCommEvent& event) {
    switch (event.nMessage) {
        case WM_COMM_BYTE:
            if (m_bNetwork && !m_sender.IsFinished()) {
                // Bytes from a server of the wrong kind are no projector's answers.
                if (const std::string wrong = m_port.WrongScheme(); !wrong.empty()) {
                    m_sender.Abort(RESULT_PROJECTOR_CANCELED, CFailure::WRONG_SCHEME, wrong);
                    break;
                }
            }
            m_sender.OnCommByte(static_cast<uint8_t>(event.wParam & 0xFF),
                                event.lParam != 0 && event.lParam < m_nLastWriteUs);
            break;
        case WM_COMM_ERROR:
            if (m_portFailure.nCause == CFailure::NONE && event.strText != m_strLastError) {
                m_strLastError = event.strText;
                Tell(event.strText);
            }
            break;
        case WM_COMM_FAILED: {
            const int nError = static_cast<int>(event.wParam);
            if (event.strText == PORT_OPEN_FAILED) {
                // The connection was never made: the detail an open failure leaves.
                PortFailed(CFailure::PORT_OPEN, event.strText, event.strDetail);
            } else if (!event.strDetail.empty()) {
                PortFailed(
                    CFailure::PORT_LOST, event.strText,
                    event.strDetail + "; check the network, the server and the projector's power");
            } else {
                PortFailed(nError == ETIMEDOUT ? CFailure::WRITE : CFailure::PORT_LOST,
                           event.strText, PortFailureDetail(nError));
            }
            m_sender.Abort(RESULT_SERIAL_FAILED, m_portFailure.nCause, m_portFailure.strDetail);
            break;
        }
        default:
            break;
    }
}
