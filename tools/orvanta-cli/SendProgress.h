// CSendProgress: what `send` shows while the segments go out.
//
// Live (on a terminal): one line, redrawn in place with a carriage return, holding the file's
// description, the total percentage (the wizard's total bar / 10), the segment bytes sent of
// all segments' bytes, the elapsed time "%M:%S" since the attempt started, the throughput and
// the time left (both measured from the first block, so the wait for the projector's first
// request does not count). Otherwise one line per file as its segment starts, and one line
// when the transfer ends, so logs stay readable.
//
// Bytes counted are those of the download segments, which is what the projector receives;
// packet framing and padding are not counted.
//
// Output that cannot be written (a closed pipe, a terminal gone) is dropped: losing the
// progress must never stop an upgrade.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// What a `send` run reports, one call per event, in the order they happen. The run's text
// output implements it; other forms of output can stand in its place or beside it.
class ISendReport {
public:
    virtual ~ISendReport() = default;
    // The port is open and the projector's first request is awaited; strDescription is the
    // first file's.
    virtual void Waiting(const std::string& strDescription, uint64_t nNowMs) = 0;
    // The first block of a file is going out.
    virtual void SegmentStarted(const std::string& strDescription, uint32_t nSegmentLength,
                                uint64_t nNowMs) = 0;
    // A block is going out; nSegmentSent bytes of the segment went before it, nTotalPos is
    // the total bar's position (0..1000).
    virtual void BlockSent(uint32_t nSegmentSent, uint32_t nTotalPos, uint64_t nNowMs) = 0;
    // About twice a second while the run waits or sends.
    virtual void Tick(uint64_t nNowMs) = 0;
    // With each tick: what the attempt waits for when that lasts ("No answer from the
    // projector for N s", "The projector is writing file N (...)"), or empty.
    virtual void WaitText(const std::string& /*strText*/, uint64_t /*nNowMs*/) {}
    // A message the wizard would show in a box (the port's and the reader's texts).
    virtual void Message(const std::string& strText) = 0;
    // The attempt ended with nResult; strDetail says why it failed (may be empty), nResent
    // counts the packets sent again after a NAK.
    virtual void Ended(int nResult, const std::string& strDetail, uint32_t nResent,
                       uint64_t nNowMs) = 0;
    // A signal cancelled the run; the port is already closed.
    virtual void Cancelled(int nSignal, uint64_t nNowMs) = 0;
};

class CSendProgress {
public:
    // pStream receives the progress (a terminal when bLive); nTotalBytes is the sum of all
    // segment lengths and nFiles their number.
    CSendProgress(FILE* pStream, bool bLive, uint64_t nTotalBytes, size_t nFiles);

    // The port is open and the projector's first request is awaited.
    void Waiting(const std::string& strDescription, uint64_t nNowMs);
    // A segment starts going out: the first block of a file.
    void SegmentStarted(const std::string& strDescription, uint32_t nSegmentLength,
                        uint64_t nNowMs);
    // A block is going out; nSegmentSent bytes of the current segment went before it and
    // nTotalPos is the total bar's position (0..1000).
    void BlockSent(uint32_t nSegmentSent, uint32_t nTotalPos, uint64_t nNowMs);
    // Redraws the live line with the current elapsed time (nothing when not live).
    void Tick(uint64_t nNowMs);
    // What the attempt waits for, or empty: at the end of the live line, or a line of its own
    // when such a wait begins (not every second).
    void SetWaitText(const std::string& strText, uint64_t nNowMs);
    // Clears the live line so that other output can be written; the next redraw restores it.
    void Suspend();
    // The attempt is over: the live line is drawn a last time and ended, or the closing line
    // is printed; both end with ", N blocks resent" when nResent is not 0.
    void Finish(bool bSuccess, uint64_t nNowMs, uint32_t nResent = 0);

    uint64_t BytesSent() const { return m_nDoneBytes + m_nSegmentSent; }

private:
    void Draw(uint64_t nNowMs, bool bForce);
    std::string LiveLine(uint64_t nNowMs) const;
    int TerminalWidth() const;

    FILE* m_pStream;
    bool m_bLive;
    uint64_t m_nTotalBytes;
    size_t m_nFiles;
    size_t m_nFile = 0;             // 1-based index of the current file, 0 before the first
    std::string m_strDescription;   // of the current file
    uint64_t m_nDoneBytes = 0;      // bytes of the segments before the current one
    uint32_t m_nSegmentLength = 0;  // of the current segment
    uint32_t m_nSegmentSent = 0;    // bytes of the current segment before the last block
    uint32_t m_nTotalPos = 0;       // the total bar
    bool m_bStarted = false;        // a block went out
    uint64_t m_nFirstBlockMs = 0;   // when the first block went out
    uint64_t m_nLastDrawMs = 0;
    bool m_bLineShown = false;  // a live line is on the terminal
    std::string m_strWait;      // what the attempt waits for, when that lasts
};

// "512 B/s" below 1 KiB/s, else "11.3 KiB/s".
std::string FormatRate(double dBytesPerSecond);
