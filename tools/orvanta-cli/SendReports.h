// The other forms of `send` output beside the text of SendProgress.h.
//
// CJsonEvents (--json): one JSON object a line on stdout and nothing else there, each with an
// "event" field: start, waiting, file, progress (at most about ten a second), resend, message,
// done, in the order they happen; done is always the last line, whatever ended the run.
// Fields: docs/orvanta-cli.md.
//
// CQuietReport (-q): nothing while the run goes; at its end the result text alone (stdout
// after success, stderr with the detail line after a failure).
#pragma once

#include <QJsonObject>
#include <chrono>
#include <cstdint>
#include <string>

#include "SendProgress.h"
#include "WireWatch.h"

class CJsonEvents : public ISendReport, public IWireObserver {
public:
    CJsonEvents(uint64_t nTotalBytes, size_t nFiles);

    // Every event from now on carries "port" (the events of several ports share one stream).
    void SetPort(const std::string& port) { m_strPort = port; }
    // The first line: what is about to be sent, where, and how long the first request is
    // awaited (nWaitSeconds, 0 for no limit).
    void Start(const std::string& package, const std::string& port, int nBaudRate,
               long nWaitSeconds);
    // The run ended before anything was opened (the package did not load, the port was not
    // set up): the done line alone.
    void EndedEarly(int nResult, const std::string& strDetail) { Ended(nResult, strDetail, 0, 0); }

    // All times are this object's own (see Emit); the callers' nNowMs are not used.

    // ISendReport
    void Waiting(const std::string& strDescription, uint64_t nNowMs) override;
    void SegmentStarted(const std::string& strDescription, uint32_t nSegmentLength,
                        uint64_t nNowMs) override;
    void BlockSent(uint32_t nSegmentSent, uint32_t nTotalPos, uint64_t nNowMs) override;
    void Tick(uint64_t) override {}
    void Message(const std::string& strText) override;
    void Ended(int nResult, const std::string& strDetail, uint32_t nResent,
               uint64_t nNowMs) override;
    void Cancelled(int nSignal, uint64_t nNowMs) override;

    // IWireObserver
    void Resent(uint32_t nFile, uint32_t nBlock, const char* pCause) override;

private:
    // Writes one event line, stamped with "ms": milliseconds since this object was made.
    void Emit(const char* pEvent, QJsonObject fields);
    void Progress();
    uint64_t NowMs() const;

    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    uint64_t m_nTotalBytes;
    size_t m_nFiles;
    size_t m_nFile = 0;
    uint64_t m_nDoneBytes = 0;      // bytes of the files before the current one
    uint32_t m_nSegmentLength = 0;  // of the current file
    uint32_t m_nSegmentSent = 0;    // of the current file, before the block going out
    uint64_t m_nFirstBlockMs = 0;
    uint64_t m_nLastProgressMs = 0;
    bool m_bAnyProgress = false;
    uint32_t m_nResent = 0;  // resend events so far
    bool m_bDone = false;
    std::string m_strPort;  // added to every event when not empty
};

class CQuietReport : public ISendReport {
public:
    void Waiting(const std::string&, uint64_t) override {}
    void SegmentStarted(const std::string&, uint32_t, uint64_t) override {}
    void BlockSent(uint32_t, uint32_t, uint64_t) override {}
    void Tick(uint64_t) override {}
    void Message(const std::string&) override {}
    void Ended(int nResult, const std::string& strDetail, uint32_t, uint64_t) override;
    void Cancelled(int, uint64_t) override;
};
