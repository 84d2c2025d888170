// CUpgradeSession: one upgrade attempt over a serial port, shared by the wizard's transfer
// page and `orvanta-cli send`. It owns the port (with its reader thread) and the sender,
// receives the reader's events on the user-interface thread, feeds the bytes to the sender,
// checks the silence limit once a second, and reports what happens through Qt signals.
//
// A port that fails during the attempt (hang-up, adapter gone, read errors) produces one
// message and ends the attempt with result 5; the port is closed.
//
// The silence limit is 30 s; the environment variable ORVANTA_SILENCE_MS overrides it (tests
// only).
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

    // Takes the image and cuts the first segment (status reported). Returns the result of
    // that first cut (0: nothing to send).
    int Prepare(std::unique_ptr<uint8_t[]> pImage, uint32_t nImageSize);
    // Opens the port and starts the silence checks. FALSE after the failure message went out
    // through message(); the attempt then does not run and no finished() follows: the caller
    // sets result 5 itself.
    int OpenPort(const std::string& portName, int nBaudRate);

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

signals:
    void progress(unsigned segmentPos, unsigned totalPos);
    void textsChanged(QString elapsed, QString status);
    // A message for the user (a message box in the wizard, stderr in the tool).
    void message(QString text);
    void finished(int result);

protected:
    bool event(QEvent* pEvent) override;

private:
    void OnCommEvent(int nMessage, uintptr_t wParam, const std::string& text);

    QElapsedTimer m_clock;
    CSerialPort m_port;
    CXmodemSender m_sender;
    QTimer m_silenceTimer;
    // Messages of the reader since the port was last opened: a repeat of the same error and
    // anything after the failure are not shown again.
    std::string m_strLastError;
    bool m_bFailureReported = false;
};
