// CQtSession: the watched upgrade session run on the Qt event loop of `send`, with the signals
// the send paths connect to. A notifier on the session's wake-up descriptor and a precise
// single-shot timer at its next deadline call Service(); the timer is re-armed after every
// Service() and after every call made through this class. A failed OpenPort delivers the
// port's message at once, so it is printed before anything the caller queues next.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <string>
#include <vector>

#include "WireWatch.h"

class CQtSession : public QObject, private ISessionObserver {
    Q_OBJECT
public:
    explicit CQtSession(std::vector<IWireObserver*> observers);
    ~CQtSession() override;

    int Prepare(SharedImage pImage, uint32_t nImageSize);
    int OpenPort(const std::string& portName, int nBaudRate);
    void SetSilenceLimit(uint32_t nMilliseconds) { m_session.SetSilenceLimit(nMilliseconds); }
    void Abort(int nResult, CFailure::Cause nCause, const std::string& strDetail = {});
    void ClosePort();

    const std::string& FailureDetail() const { return m_session.Failure().strDetail; }
    const CXmodemSender& Sender() const { return m_session.Sender(); }
    CSerialPort& Port() { return m_session.Port(); }

signals:
    void progress(unsigned segmentPos, unsigned totalPos);
    void message(QString text);
    void finished(int result);

private:
    void OnProgress(uint32_t nSegmentPos, uint32_t nTotalPos) override;
    void OnMessage(const std::string& strText) override;
    void OnFinished(const CFailure& result) override;
    void Service();
    void Arm();

    CWatchedSession m_session;
    QSocketNotifier m_notifier;
    QTimer m_timer;
};
