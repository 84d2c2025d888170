// The text forms of a `send` run (SendRun.h), each a view fed the same calls; the run picks
// the ones that fit its output and the number of its ports.
//
// - CLineView: one port on a terminal: one line redrawn in place (description, percentage,
//   bytes, elapsed time, throughput, time left, a lasting wait).
// - CBoardView: several ports on a terminal: a line per port redrawn in place, each ending in
//   its result and time once its attempt has ended.
// - CPlainView: no terminal: one line as each wait and file begins and one when the transfer
//   ends; with several ports every line starts with "PORT: ".
// - CQuietView: the results alone.
// - CTableView: several ports: the closing table of ports, results, times and resends.
// - CTraceView: -v: one line per protocol event with the milliseconds since the start.
//
// Progress goes to stdout (plain) or the terminal's stderr (live); messages, failures and
// "Cancelled" to stderr; "Upgrade successful!" and the table to stdout. Text that comes from
// the package or the port is shown with its control characters escaped. Output that cannot be
// written (a closed pipe, a terminal gone) is dropped: losing it must never stop an upgrade.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "SendRun.h"

// Why a packet or an EOT went again, as the trace and the JSON events name it: "NAK",
// "step back", "unsettled".
const char* ResendCause(CSenderEvent::Why nWhy);
// "512 B/s" below 1 KiB/s, else "11.3 KiB/s".
std::string FormatRate(double dBytesPerSecond);

// Rows of text kept on a terminal and redrawn in place below everything else written there.
class CLiveRows {
public:
    explicit CLiveRows(FILE* pStream) : m_pStream(pStream) {}
    // Draws rows over the ones drawn before; unless bForce, not within 100 ms of the last draw.
    // A row is head followed by tail; one wider than the terminal loses the end of its head,
    // since a line that wraps could not be redrawn in place.
    struct Row {
        std::string head, tail;
    };
    void Draw(const std::vector<Row>& rows, uint64_t nNowMs, bool bForce);
    // Takes the rows off the terminal so that other lines can be written; the next Draw puts
    // them back below those.
    void Clear();
    // Leaves the rows where they are, as ordinary lines.
    void Keep() { m_nDrawn = 0; }

private:
    FILE* m_pStream;
    size_t m_nDrawn = 0;  // rows on the terminal, the cursor below them
    uint64_t m_nLastDrawMs = 0;
};

// What the line and the board share: each step redraws, a block at most ten times a second.
class CLiveView : public ISendView {
public:
    explicit CLiveView(FILE* pStream) : m_rows(pStream) {}
    void Waiting(const PortState& port, uint64_t nNowMs) override;
    void FileStarted(const PortState& port, uint64_t nNowMs) override;
    void BlockSent(const PortState& port, uint64_t nNowMs) override;
    void WaitChanged(const PortState& port, bool bBegins, uint64_t nNowMs) override;
    void Tick(uint64_t nNowMs) override;

protected:
    CLiveRows m_rows;

private:
    virtual void Draw(uint64_t nNowMs, bool bForce) = 0;
};

class CLineView : public CLiveView {
public:
    // pStream: the terminal the line is drawn on.
    CLineView(const PortState& port, FILE* pStream) : CLiveView(pStream), m_port(port) {}
    void Message(const PortState& port, const std::string& strText, uint64_t nNowMs) override;
    void Ended(const PortState& port, uint64_t nNowMs) override;
    void Interrupted(uint64_t nNowMs) override;

private:
    void Draw(uint64_t nNowMs, bool bForce) override;
    const PortState& m_port;
};

class CBoardView : public CLiveView {
public:
    explicit CBoardView(const std::vector<PortState>& ports) : CLiveView(stderr), m_ports(ports) {}
    void Message(const PortState& port, const std::string& strText, uint64_t nNowMs) override;
    void Ended(const PortState& port, uint64_t nNowMs) override;
    void Interrupted(uint64_t nNowMs) override;

private:
    void Draw(uint64_t nNowMs, bool bForce) override;
    const std::vector<PortState>& m_ports;
};

class CPlainView : public ISendView {
public:
    // bPrefixed: each line starts with its port.
    explicit CPlainView(bool bPrefixed) : m_bPrefixed(bPrefixed) {}
    void Waiting(const PortState& port, uint64_t nNowMs) override;
    void FileStarted(const PortState& port, uint64_t nNowMs) override;
    void WaitChanged(const PortState& port, bool bBegins, uint64_t nNowMs) override;
    void Message(const PortState& port, const std::string& strText, uint64_t nNowMs) override;
    void Ended(const PortState& port, uint64_t nNowMs) override;
    void Interrupted(uint64_t nNowMs) override;

private:
    std::string Prefix(const PortState& port) const;
    bool m_bPrefixed;
};

class CQuietView : public ISendView {
public:
    // bPrefixed: failures start with their port, and success is left to the table.
    explicit CQuietView(bool bPrefixed) : m_bPrefixed(bPrefixed) {}
    void Ended(const PortState& port, uint64_t nNowMs) override;
    void Interrupted(uint64_t nNowMs) override;

private:
    bool m_bPrefixed;
};

class CTableView : public ISendView {
public:
    void Closed(const std::vector<PortState>& ports) override;
};

class CTraceView : public ISendView {
public:
    void SenderEvent(const PortState& port, const CSenderEvent& event, uint64_t nNowMs) override;
};
