// CUpgradeSession: one upgrade attempt over a serial port, shared by the wizard's transfer
// page and `orvanta-cli send`. It owns the port (with its reader thread) and the sender,
// feeds the reader's bytes to the sender, keeps the sender's clock, and tells its observer
// what happens. It runs on its owner's loop and never waits: the loop polls WakeFd() for
// POLLIN and calls Service() when it is readable or when NextDeadline() has come.
//
// Progress, texts and the sender's events go to the observer as they happen. Messages for
// the user and the end of the attempt are deferred: Service() delivers them after the
// handling that caused them, never from inside the sender, in order, the attempt's messages
// before its OnFinished. The wizard shows messages in a modal box whose nested loop may call
// Service() again; that delivers what is left, in the same order. By the time any message or
// OnFinished arrives, the attempt that caused it has ended (port closed, sender finished) and
// further bytes are ignored; OnFinished comes once per attempt, last.
//
// A port that fails during the attempt (hang-up, adapter gone, read errors, a stalled write)
// produces one message and ends the attempt with result 5; the port is closed. Every failure
// is kept as a CFailure (Failure.h): result, cause, the message shown, and one detail line
// saying what happened, where, and what to do.
//
// The sender's clock: CheckSilence once a second, and precisely when the sender asks
// (ScheduleCheck: answer windows of a few milliseconds); the port's drain watch adds its own
// deadline. Each byte event carries when the reader read it; a byte read before the last
// write is handed to the sender as early.
//
// The time limits are 30 s for an answer and 120 s for the next file's request;
// SetSilenceLimit sets both, and the environment variable ORVANTA_SILENCE_MS does the same for
// tests (an explicit SetSilenceLimit wins). On a network port the silence detail names the
// server too, and a server that is the wrong kind for its scheme (a telnet server behind
// tcp://, a raw one behind rfc2217://) ends the attempt with result 6 at its first data byte,
// the detail saying which scheme to use.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "CommEvents.h"
#include "Failure.h"
#include "SenderEvent.h"
#include "SerialPort.h"
#include "XmodemSender.h"

// What a session tells its owner; every call comes on the loop's thread, from Service() or
// from a call the owner made into the session.
class ISessionObserver {
public:
    virtual ~ISessionObserver() = default;
    // Positions 0..1000 of the segment bar and the total bar.
    virtual void OnProgress(uint32_t /*nSegmentPos*/, uint32_t /*nTotalPos*/) {}
    // Elapsed "%M:%S" and the current file's description (8-bit text).
    virtual void OnTexts(const std::string& /*strElapsed*/, const std::string& /*strStatus*/) {}
    virtual void OnSenderEvent(const CSenderEvent& /*event*/) {}
    // A message for the user (the port's message box text); deferred.
    virtual void OnMessage(const std::string& /*strText*/) {}
    // The attempt is over; deferred, once per attempt, after its messages.
    virtual void OnFinished(const CFailure& /*result*/) {}
};

class CUpgradeSession : public ISenderHost {
public:
    using Clock = std::chrono::steady_clock;

    // observer must outlive the session.
    explicit CUpgradeSession(ISessionObserver& observer);
    ~CUpgradeSession() override;
    CUpgradeSession(const CUpgradeSession&) = delete;
    CUpgradeSession& operator=(const CUpgradeSession&) = delete;

    // Shares the image read-only (other sessions may send the same image at the same time)
    // and cuts the first segment (status reported). Returns the result of that first cut (0:
    // nothing to send).
    int Prepare(SharedImage pImage, uint32_t nImageSize);
    // Opens the port and starts the silence checks. FALSE after a failure: Failure() then
    // holds result 5, cause PORT_OPEN, the message (also deferred to OnMessage) and the
    // detail; the attempt does not run and no OnFinished follows. A network port's
    // connection is made afterwards; when it fails, the open message and OnFinished (result
    // 5, PORT_OPEN) follow, with the same detail a failed open leaves.
    int OpenPort(const std::string& portName, int nBaudRate);
    // Both time limits of the sender (answer and next request), in milliseconds.
    void SetSilenceLimit(uint32_t nMilliseconds);
    // Ends the running attempt from outside (a wait time-out, the user): port closed, the
    // failure kept, OnFinished deferred. Nothing happens when no attempt runs.
    void Abort(int nResult, CFailure::Cause nCause, const std::string& strDetail = {});

    // Readable while the reader has posted events.
    int WakeFd() const { return m_events.Fd(); }
    // When Service() is next due even without WakeFd(): now while messages or the end wait
    // to be delivered, time_point::max() when nothing is due.
    Clock::time_point NextDeadline() const;
    // Handles the reader's events and every deadline that has come, then delivers the
    // deferred messages and end. Never waits; safe to call at any time, also from inside
    // OnMessage.
    void Service();

    // Whether an attempt is prepared and has not ended.
    bool IsRunning() const { return !m_sender.IsFinished(); }
    // Milliseconds since the current (or last) attempt was prepared.
    uint32_t ElapsedMs() const { return GetTickCount() - m_sender.StartTick(); }
    // How the last attempt (or the last OpenPort) ended; success while one runs.
    const CFailure& Failure() const { return m_failure; }

    CSerialPort& Port() { return m_port; }
    const CXmodemSender& Sender() const { return m_sender; }

    // ISenderHost
    bool IsPortOpen() const override;
    int WritePort(const void* pBuffer, uint32_t nLength) override;
    void ClosePort() override;
    void SetProgress(uint32_t nSegmentPos, uint32_t nTotalPos) override;
    void UpdateTexts(const std::string& strElapsed, const std::string& strStatus) override;
    void Finished(int nResult) override;
    uint32_t GetTickCount() const override;
    void ScheduleCheck(uint32_t nDelayMs) override;
    void OnSenderEvent(const CSenderEvent& event) override;

protected:
    // One event of the reader or of the drain watch, in order.
    virtual void OnCommEvent(const CCommEvent& event);

private:
    // Queues a message for the user.
    void Tell(const std::string& text);
    // Notes the port's failure under the transfer (the first one only) and tells its message.
    void PortFailed(CFailure::Cause nCause, const std::string& strMessage, std::string strDetail);
    // The detail line for a port that failed under the transfer with nError.
    std::string PortFailureDetail(int nError) const;

    // A message (bEnd false) or the end of an attempt, waiting for Service().
    struct Deferred {
        bool bEnd = false;
        std::string strText;
        CFailure failure;
    };

    ISessionObserver& m_observer;
    const Clock::time_point m_start = Clock::now();
    CCommQueue m_events;
    CSerialPort m_port;
    CXmodemSender m_sender;
    Clock::time_point m_tSilenceCheck = Clock::time_point::max();
    Clock::time_point m_tWindow = Clock::time_point::max();
    std::deque<Deferred> m_deferred;
    int64_t m_nLastWriteUs = 0;  // CommClockMicros just before the last write
    bool m_bNetwork = false;
    // Messages of the reader since the port was last opened: a repeat of the same error and
    // anything after the failure are not shown again.
    std::string m_strLastError;
    std::string m_strLastTold;  // the port's own last message (a failed open's)
    CFailure m_portFailure;     // the port's failure under the transfer, when it failed
    CFailure m_failure;
};
