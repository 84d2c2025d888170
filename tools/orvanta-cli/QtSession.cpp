#include "QtSession.h"

#include <algorithm>
#include <chrono>
#include <climits>

CQtSession::CQtSession(std::vector<IWireObserver*> observers)
    : m_session(*this, std::move(observers)),
      m_notifier(m_session.WakeFd(), QSocketNotifier::Read) {
    connect(&m_notifier, &QSocketNotifier::activated, this, &CQtSession::Service);
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CQtSession::Service);
}

CQtSession::~CQtSession() {
    m_notifier.setEnabled(false);
    m_timer.stop();
}

int CQtSession::Prepare(SharedImage pImage, uint32_t nImageSize) {
    const int nResult = m_session.Prepare(std::move(pImage), nImageSize);
    Arm();
    return nResult;
}

int CQtSession::OpenPort(const std::string& portName, int nBaudRate) {
    const int nResult = m_session.OpenPort(portName, nBaudRate);
    if (nResult == 0) {
        m_session.Service();
    }
    Arm();
    return nResult;
}

void CQtSession::Abort(int nResult, CFailure::Cause nCause, const std::string& strDetail) {
    m_session.Abort(nResult, nCause, strDetail);
    Arm();
}

void CQtSession::ClosePort() {
    m_session.ClosePort();
    Arm();
}

void CQtSession::Service() {
    m_session.Service();
    Arm();
}

void CQtSession::Arm() {
    using namespace std::chrono;
    const auto deadline = m_session.NextDeadline();
    if (deadline == CUpgradeSession::Clock::time_point::max()) {
        m_timer.stop();
        return;
    }
    const auto wait = ceil<milliseconds>(deadline - CUpgradeSession::Clock::now());
    m_timer.start(static_cast<int>(std::clamp<milliseconds::rep>(wait.count(), 0, INT_MAX)));
}

void CQtSession::OnProgress(uint32_t nSegmentPos, uint32_t nTotalPos) {
    emit progress(nSegmentPos, nTotalPos);
}

void CQtSession::OnMessage(const std::string& strText) {
    emit message(QString::fromStdString(strText));
}

void CQtSession::OnFinished(const CFailure& result) {
    emit finished(result.nResult);
}
