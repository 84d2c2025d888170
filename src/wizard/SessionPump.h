// CSessionPump: runs an upgrade session on the Qt event loop and re-tells what the session
// observes as Qt signals, so that pages keep their shape.
//
// A QSocketNotifier watches the session's wake-up descriptor and a precise single-shot timer
// is armed at its next deadline; either calls Service(). The timer is re-armed after every
// Service() and after every call made into the session through the pump, which is why pages
// go through the pump's Prepare, OpenPort, Abort and ClosePort rather than the session's. A
// message box opened from message() runs a nested loop in which the pump keeps serving the
// session; the session allows that.
#pragma once

#include <QMetaType>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include "UpgradeSession.h"

Q_DECLARE_METATYPE(CFailure)
Q_DECLARE_METATYPE(CSenderEvent)

class CSessionPump : public QObject, private ISessionObserver {
    Q_OBJECT
public:
    explicit CSessionPump(QObject* pParent = nullptr);
    ~CSessionPump() override;

    // The session's own calls, each followed by re-arming the timer.
    int Prepare(SharedImage pImage, uint32_t nImageSize);
    int OpenPort(const std::string& portName, int nBaudRate);
    void Abort(int nResult, CFailure::Cause nCause, const std::string& strDetail = {});
    void ClosePort();

    const CUpgradeSession& Session() const { return m_session; }

signals:
    void progress(unsigned segmentPos, unsigned totalPos);
    void textsChanged(QString elapsed, QString status);
    void senderEvent(CSenderEvent event);
    void message(QString text);
    void finished(CFailure result);

private:
    void OnProgress(uint32_t nSegmentPos, uint32_t nTotalPos) override;
    void OnTexts(const std::string& strElapsed, const std::string& strStatus) override;
    void OnSenderEvent(const CSenderEvent& event) override;
    void OnMessage(const std::string& strText) override;
    void OnFinished(const CFailure& result) override;

    void Service();
    // Starts the timer for the session's next deadline, or stops it when none is due.
    void Arm();

    CUpgradeSession m_session;
    QSocketNotifier m_notifier;
    QTimer m_timer;
};
