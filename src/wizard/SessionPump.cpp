#include "SessionPump.h"

#include <algorithm>
#include <chrono>
#include <climits>

CSessionPump::CSessionPump(QObject* pParent)
    : QObject(pParent), m_session(*this), m_notifier(m_session.WakeFd(), QSocketNotifier::Read) {
    connect(&m_notifier, &QSocketNotifier::activated, this, &CSessionPump::Service);
    m_timer.setSingleShot(true);
    // Answer windows are a few milliseconds; a coarse timer would stretch each by far more.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CSessionPump::Service);
}

CSessionPump::~CSessionPump() {
    m_notifier.setEnabled(false);
    m_timer.stop();
}

int CSessionPump::Prepare(SharedImage pImage, uint32_t nImageSize) {
    const int nResult = m_session.Prepare(std::move(pImage), nImageSize);
    Arm();
    return nResult;
}

int CSessionPump::OpenPort(const std::string& portName, int nBaudRate) {
    const int nResult = m_session.OpenPort(portName, nBaudRate);
    Arm();
    return nResult;
}

void CSessionPump::Abort(int nResult, CFailure::Cause nCause, const std::string& strDetail) {
    m_session.Abort(nResult, nCause, strDetail);
    Arm();
}

void CSessionPump::ClosePort() {
    m_session.ClosePort();
    Arm();
}

void CSessionPump::Service() {
    m_session.Service();
    Arm();
}

void CSessionPump::Arm() {
    using namespace std::chrono;
    const auto deadline = m_session.NextDeadline();
    if (deadline == CUpgradeSession::Clock::time_point::max()) {
        m_timer.stop();
        return;
    }
    // Rounded up: a timer that fired before the deadline would only come back at once.
    const auto wait = ceil<milliseconds>(deadline - CUpgradeSession::Clock::now());
    m_timer.start(static_cast<int>(std::clamp<milliseconds::rep>(wait.count(), 0, INT_MAX)));
}

void CSessionPump::OnProgress(uint32_t nSegmentPos, uint32_t nTotalPos) {
    emit progress(nSegmentPos, nTotalPos);
}

void CSessionPump::OnTexts(const std::string& strElapsed, const std::string& strStatus) {
    emit textsChanged(QString::fromStdString(strElapsed), QString::fromLocal8Bit(strStatus));
}

void CSessionPump::OnSenderEvent(const CSenderEvent& event) {
    emit senderEvent(event);
}

void CSessionPump::OnMessage(const std::string& strText) {
    emit message(QString::fromStdString(strText));
}

void CSessionPump::OnFinished(const CFailure& result) {
    emit finished(result);
}
