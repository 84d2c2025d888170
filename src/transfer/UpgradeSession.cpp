#include "UpgradeSession.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "CommEvents.h"
#include "PackageLoader.h"

namespace {

constexpr int SILENCE_CHECK_INTERVAL_MS = 1000;

// The silence limit, shortened by tests through ORVANTA_SILENCE_MS; a missing or unusable
// value keeps the default.
uint32_t SilenceLimit() {
    const char* pText = std::getenv("ORVANTA_SILENCE_MS");
    if (pText == nullptr || *pText == '\0') {
        return CXmodemSender::DEFAULT_SILENCE_LIMIT_MS;
    }
    char* pEnd = nullptr;
    const unsigned long nValue = std::strtoul(pText, &pEnd, 10);
    if (*pEnd != '\0' || nValue == 0 || nValue > UINT32_MAX) {
        return CXmodemSender::DEFAULT_SILENCE_LIMIT_MS;
    }
    return static_cast<uint32_t>(nValue);
}

}  // namespace

CUpgradeSession::CUpgradeSession(QObject* pParent)
    : QObject(pParent),
      m_port(this, [this](const std::string& text) { Tell(text); }),
      m_sender(*this) {
    m_clock.start();
    m_sender.SetSilenceLimit(SilenceLimit());
    m_silenceTimer.setInterval(SILENCE_CHECK_INTERVAL_MS);
    connect(&m_silenceTimer, &QTimer::timeout, this, [this] { m_sender.CheckSilence(); });
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
    if (!m_sender.IsFinished()) {
        m_silenceTimer.start();
    }
    return 1;
}

bool CUpgradeSession::IsPortOpen() const {
    return m_port.IsOpen();
}

int CUpgradeSession::WritePort(const void* pBuffer, uint32_t nLength) {
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
    if (nResult == RESULT_SUCCESS) {
        m_strDetail.clear();
    } else if (m_strDetail.empty()) {
        m_strDetail = m_sender.FailureDetail();
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
    OnCommEvent(pComm->m_nMessage, pComm->m_wParam, pComm->m_strText);
    return true;
}

void CUpgradeSession::OnCommEvent(int nMessage, uintptr_t wParam, const std::string& text) {
    switch (nMessage) {
        case WM_COMM_BYTE:
            m_sender.OnCommByte(static_cast<uint8_t>(wParam & 0xFF));
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
            m_sender.Abort(RESULT_SERIAL_FAILED);
            break;
        default:
            break;
    }
}
