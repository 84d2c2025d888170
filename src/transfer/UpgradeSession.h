// CUpgradeSession: one upgrade attempt over a serial port, shared by the wizard's transfer
// page and `orvanta-cli send`. It owns the port (with its reader thread) and the sender,
// receives the reader's events on the user-interface thread, feeds the bytes to the sender,
// checks the silence limit once a second, and reports what happens through Qt signals.
//
// Messages for the user and the end of the attempt are queued to the event loop, never
// emitted from inside the handling of a byte, a write or a check: the wizard shows messages
// in a modal box, whose nested event loop must not re-enter the sender. By the time any
// message or finished() arrives, the attempt that caused it has ended (port closed, sender
// finished) and further bytes are ignored; finished() comes once per attempt, after the
// attempt's messages.
//
// A port that fails during the attempt (hang-up, adapter gone, read errors, a stalled write)
// produces one message and ends the attempt with result 5; the port is closed. Every failure
// leaves one detail line (FailureDetail) saying what happened, where, and what to do.
//
// The sender's clock: the silence timer calls CheckSilence once a second, and a precise
// single-shot timer serves its answer windows (ScheduleCheck). Each byte event carries when
// the reader read it; a byte read before the last write is handed to the sender as early.
//
// The time limits are 30 s for an answer and 120 s for the next file's request;
// SetSilenceLimit sets both, and the environment variable ORVANTA_SILENCE_MS does the same for
// tests (an explicit SetSilenceLimit wins). On a network port the silence detail names the
// server too, and a server that is the wrong kind for its scheme (a telnet server behind
// tcp://, a raw one behind rfc2217://) ends the attempt with result 6 at its first data byte,
// the detail saying which scheme to use.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <memory>
#include <string>

#include "SerialPort.h"
#include "XmodemSender.h"

class CUpgradeSession : public QObject, public ISenderHost {
    Q_OBJECT
public:
    explicit CUpgradeSession(QObject* pParent = nullptr);
    ~CUpgradeSession() override;

    // Shares the image read-only (other sessions may send the same image at the same time)
    // and cuts the first segment (status reported). Returns the result of that first cut (0:
    // nothing to send).
    int Prepare(SharedImage pImage, uint32_t nImageSize);
    // Opens the port and starts the silence checks. FALSE after the failure message was
    // queued to message() and FailureDetail set; the attempt then does not run and no
    // finished() follows: the caller sets result 5 itself. A network port's connection is
    // made afterwards; when it fails, the open message and finished(5) follow, with the
    // same detail a failed open leaves.
    int OpenPort(const std::string& portName, int nBaudRate);

    // Both time limits of the sender (answer and next request), in milliseconds.
    void SetSilenceLimit(uint32_t nMilliseconds);

    // Whether an attempt is prepared and has not ended.
    bool IsRunning() const { return !m_sender.IsFinished(); }
    // Milliseconds since the current (or last) attempt was prepared.
    uint32_t ElapsedMs() const { return GetTickCount() - m_sender.StartTick(); }
    // Why the last attempt (or the last OpenPort) failed, in one line; empty otherwise.
    const std::string& FailureDetail() const { return m_strDetail; }

    CSerialPort& Port() { return m_port; }
    CXmodemSender& Sender() { return m_sender; }

    // ISenderHost
    bool IsPortOpen() const override;
    int WritePort(const void* pBuffer, uint32_t nLength) override;
    void ClosePort() override;
    void SetProgress(uint32_t nSegmentPos, uint32_t nTotalPos) override;
    void UpdateTexts(const std::string& strElapsed, const std::string& strStatus) override;
    void Finished(int nResult) override;
    uint32_t GetTickCount() const override;
    void ScheduleCheck(uint32_t nDelayMs) override;

signals:
    void progress(unsigned segmentPos, unsigned totalPos);
    void textsChanged(QString elapsed, QString status);
    // A message for the user (a message box in the wizard, stderr in the tool); queued.
    void message(QString text);
    // The attempt is over with this result; queued, once per attempt.
    void finished(int result);

protected:
    bool event(QEvent* pEvent) override;

private:
    void OnCommEvent(int nMessage, uintptr_t wParam, intptr_t lParam, const std::string& text);
    // Queues a message for the user to the event loop.
    void Tell(const std::string& text);
    // The detail line for a port that failed under the transfer with nError.
    std::string PortFailureDetail(int nError) const;

    QElapsedTimer m_clock;
    CSerialPort m_port;
    CXmodemSender m_sender;
    QTimer m_silenceTimer;
    QTimer m_windowTimer;
    int64_t m_nLastWriteUs = 0;  // CommClockMicros just before the last write
    bool m_bNetwork = false;
    // Messages of the reader since the port was last opened: a repeat of the same error and
    // anything after the failure are not shown again.
    std::string m_strLastError;
    bool m_bFailureReported = false;
    std::string m_strDetail;
};
