#include "UpgradeSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "CommEvents.h"
#include "PortAddress.h"
#include "ResultTexts.h"

namespace {

constexpr int SILENCE_CHECK_INTERVAL_MS = 1000;

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

CUpgradeSession::CUpgradeSession(QObject* pParent)
    : QObject(pParent),
      m_port(this, [this](const std::string& text) { Tell(text); }),
      m_sender(*this) {
    m_clock.start();
    if (const uint32_t nLimit = SilenceLimit(); nLimit != 0) {
        SetSilenceLimit(nLimit);
    }
    m_silenceTimer.setInterval(SILENCE_CHECK_INTERVAL_MS);
    connect(&m_silenceTimer, &QTimer::timeout, this, [this] { m_sender.CheckSilence(); });
    // Answer windows are a few milliseconds; a coarse timer would stretch each by far more.
    m_windowTimer.setSingleShot(true);
    m_windowTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_windowTimer, &QTimer::timeout, this, [this] { m_sender.CheckSilence(); });
}

void CUpgradeSession::SetSilenceLimit(uint32_t nMilliseconds) {
    m_sender.SetSilenceLimit(nMilliseconds);
    m_sender.SetRequestLimit(nMilliseconds);
}

void CUpgradeSession::ScheduleCheck(uint32_t nDelayMs) {
    m_windowTimer.start(static_cast<int>(std::min<uint32_t>(nDelayMs, INT32_MAX)));
}

CUpgradeSession::~CUpgradeSession() {
    // Closed here, while the object is whole, so a failure message can still go out.
    m_port.ClosePort();
}

int CUpgradeSession::Prepare(SharedImage pImage, uint32_t nImageSize) {
    m_strDetail.clear();
    m_silenceTimer.start();
    return m_sender.Start(std::move(pImage), nImageSize);
}

int CUpgradeSession::OpenPort(const std::string& portName, int nBaudRate) {
    if (!m_port.OpenPort(portName, nBaudRate)) {
        m_silenceTimer.stop();
        m_strDetail = m_port.LastDetail();
        return 0;
    }
    m_strLastError.clear();
    m_bFailureReported = false;
    CPortAddress address;
    m_bNetwork = CPortAddress::Parse(portName, address) && address.m_nKind != CPortAddress::LOCAL;
    m_sender.SetPeerName(m_bNetwork ? "the projector or from the server at " + address.Text()
                                    : "the projector");
    if (!m_sender.IsFinished()) {
        m_silenceTimer.start();
    }
    return 1;
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
    if (!m_bFailureReported && m_port.IsOpen()) {
        m_bFailureReported = true;
        m_strDetail = PortFailureDetail(m_port.LastWriteError());
        Tell("A problem occured while trying to write to the Com Port: " +
             std::to_string(m_port.LastWriteError()));
    }
    return 0;
}

void CUpgradeSession::ClosePort() {
    m_port.ClosePort();
}

void CUpgradeSession::SetProgress(uint32_t nSegmentPos, uint32_t nTotalPos) {
    emit progress(nSegmentPos, nTotalPos);
}

void CUpgradeSession::UpdateTexts(const std::string& strElapsed, const std::string& strStatus) {
    emit textsChanged(QString::fromStdString(strElapsed), QString::fromLocal8Bit(strStatus));
}

void CUpgradeSession::Finished(int nResult) {
    m_silenceTimer.stop();
    m_windowTimer.stop();
    if (nResult == RESULT_SUCCESS) {
        m_strDetail.clear();
    } else if (m_strDetail.empty()) {
        m_strDetail = m_sender.Failure().strDetail;
    }
    QMetaObject::invokeMethod(
        this, [this, nResult] { emit finished(nResult); }, Qt::QueuedConnection);
}

void CUpgradeSession::Tell(const std::string& text) {
    QMetaObject::invokeMethod(
        this, [this, strText = QString::fromStdString(text)] { emit message(strText); },
        Qt::QueuedConnection);
}

std::string CUpgradeSession::PortFailureDetail(int nError) const {
    const std::string what =
        nError == ETIMEDOUT ? " stopped taking data (" : " went away or stopped answering (";
    return m_port.Path() + what + std::strerror(nError) +
           "); check the cable and the projector's power";
}

uint32_t CUpgradeSession::GetTickCount() const {
    // Wraps like a tick count; the sender only ever takes differences.
    return static_cast<uint32_t>(m_clock.elapsed());
}

bool CUpgradeSession::event(QEvent* pEvent) {
    if (pEvent->type() != CCommEvent::EventType()) {
        return QObject::event(pEvent);
    }
    const auto* pComm = static_cast<const CCommEvent*>(pEvent);
    OnCommEvent(pComm->m_nMessage, pComm->m_wParam, pComm->m_lParam, pComm->m_strText);
    return true;
}

void CUpgradeSession::OnCommEvent(int nMessage, uintptr_t wParam, intptr_t lParam,
                                  const std::string& text) {
    switch (nMessage) {
        case WM_COMM_BYTE:
            if (m_bNetwork && !m_sender.IsFinished()) {
                // Bytes from a server of the wrong kind are no projector's answers.
                if (const std::string wrong = m_port.WrongScheme(); !wrong.empty()) {
                    m_sender.Abort(RESULT_PROJECTOR_CANCELED, CFailure::WRONG_SCHEME, wrong);
                    break;
                }
            }
            m_sender.OnCommByte(static_cast<uint8_t>(wParam & 0xFF),
                                lParam != 0 && lParam < m_nLastWriteUs);
            break;
        case WM_COMM_ERROR:
            if (!m_bFailureReported && text != m_strLastError) {
                m_strLastError = text;
                Tell(text);
            }
            break;
        case WM_COMM_FAILED:
            if (!m_bFailureReported) {
                m_bFailureReported = true;
                // A network port names the address and the server's side of the failure
                // on a second line; that line is the detail, the first the message.
                const size_t nBreak = text.find('\n');
                const std::string head = text.substr(0, nBreak);
                if (!head.empty() && head != m_strLastError) {
                    Tell(head);
                }
                if (!m_sender.IsFinished()) {
                    if (nBreak == std::string::npos) {
                        m_strDetail = PortFailureDetail(static_cast<int>(wParam));
                    } else if (head == PORT_OPEN_FAILED) {
                        // The connection was never made: the detail an open failure leaves.
                        m_strDetail = text.substr(nBreak + 1);
                    } else {
                        m_strDetail = text.substr(nBreak + 1) +
                                      "; check the network, the server and the projector's power";
                    }
                }
            }
            m_sender.Abort(RESULT_SERIAL_FAILED, CFailure::PORT_LOST);
            break;
        default:
            break;
    }
}
