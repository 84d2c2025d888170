#include "SendViews.h"

#include <sys/ioctl.h>

#include <algorithm>

#include "PackageOpen.h"
#include "XmodemSender.h"

namespace {

// Live redraws closer together than this only flicker.
constexpr uint64_t REDRAW_INTERVAL_MS = 100;

std::string Elapsed(uint64_t nMs) {
    return CXmodemSender::FormatElapsed(static_cast<uint32_t>(nMs / 1000));
}

std::string Resent(uint32_t nResent) {
    return nResent == 0
               ? std::string()
               : ", " + std::to_string(nResent) + (nResent == 1 ? " block" : " blocks") + " resent";
}

// Columns of the terminal behind pStream, 0 when unknown.
size_t TerminalWidth(FILE* pStream) {
    struct winsize size {};
    return ioctl(fileno(pStream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void Print(FILE* pStream, const std::string& text) {
    std::fputs(text.c_str(), pStream);
    std::fflush(pStream);
}

// The file going out: "[i/n] description" when the package has several files.
std::string FileText(const PortState& port) {
    std::string text;
    if (port.nFiles > 1 && port.nFile > 0) {
        text.append("[").append(std::to_string(port.nFile)).append("/");
        text.append(std::to_string(port.nFiles)).append("] ");
    }
    return text + EscapeControls(port.description);
}

// "  42%" (the total bar), then what bytesText holds, then the elapsed time, the throughput
// and the time left, and a lasting wait; or the wait for the first request.
std::string Figures(const PortState& port, const std::string& bytesText, uint64_t nNowMs) {
    const uint64_t nMs = port.bEnded ? port.nEndMs : nNowMs;
    if (!port.bStarted) {
        return "  waiting for the projector  " + Elapsed(nMs);
    }
    const double dRate = port.BytesPerSecond(nMs);
    std::string left = "--:--";
    if (dRate > 0.0 && port.BytesSent() <= port.nTotalBytes) {
        left = CXmodemSender::FormatElapsed(static_cast<uint32_t>(
            static_cast<double>(port.nTotalBytes - port.BytesSent()) / dRate));
    }
    char percent[16];
    std::snprintf(percent, sizeof percent, "  %3u%%", port.nTotalPos / 10);
    return percent + bytesText + "  " + Elapsed(nMs) + "  " + FormatRate(dRate) + "  " + left +
           " left" + (port.waitText.empty() ? "" : "  " + port.waitText);
}

void PrintMessage(const std::string& prefix, const std::string& strText) {
    Print(stderr, prefix + EscapeControls(strText) + "\n");
}

// The end of an attempt: "Upgrade successful!" on stdout (when bSuccessToo), or the result's
// text (when bText) and its detail line on stderr.
void PrintResult(const std::string& prefix, const PortState& port, bool bSuccessToo, bool bText) {
    if (!port.failure.Failed()) {
        if (bSuccessToo) {
            Print(stdout, prefix + port.ResultText() + "\n");
        }
        return;
    }
    std::string lines = bText ? prefix + port.ResultText() + "\n" : "";
    if (!port.failure.strDetail.empty()) {
        lines += prefix + EscapeControls(port.failure.strDetail) + "\n";
    }
    Print(stderr, lines);
}

void PrintCancelled() {
    Print(stderr, "Cancelled\n");
}

}  // namespace

const char* ResendCause(CSenderEvent::Why nWhy) {
    switch (nWhy) {
        case CSenderEvent::REFUSED:
            return "NAK";
        case CSenderEvent::STEP_BACK:
            return "step back";
        case CSenderEvent::UNSETTLED:
            return "unsettled";
        default:
            return "first";
    }
}

std::string FormatRate(double dBytesPerSecond) {
    char text[32];
    if (dBytesPerSecond < 1024.0) {
        std::snprintf(text, sizeof text, "%.0f B/s", dBytesPerSecond);
    } else {
        std::snprintf(text, sizeof text, "%.1f KiB/s", dBytesPerSecond / 1024.0);
    }
    return text;
}

void CLiveRows::Draw(const std::vector<Row>& rows, uint64_t nNowMs, bool bForce) {
    if (!bForce && m_nDrawn > 0 && nNowMs - m_nLastDrawMs < REDRAW_INTERVAL_MS) {
        return;
    }
    m_nLastDrawMs = nNowMs;
    const size_t nWidth = TerminalWidth(m_pStream);
    std::string text = m_nDrawn > 0 ? "\033[" + std::to_string(m_nDrawn) + "A" : "";
    for (const Row& row : rows) {
        std::string line = row.head + row.tail;
        if (nWidth > 0 && line.size() >= nWidth) {
            const size_t nRoom = nWidth - 1;
            line = row.tail.size() + 3 < nRoom
                       ? row.head.substr(0, nRoom - row.tail.size() - 3) + "..." + row.tail
                       : line.substr(0, nRoom);
        }
        text += "\r" + line + "\033[K\n";
    }
    Print(m_pStream, text);
    m_nDrawn = rows.size();
}

void CLiveRows::Clear() {
    if (m_nDrawn > 0) {
        Print(m_pStream, "\033[" + std::to_string(m_nDrawn) + "A\r\033[J");
        m_nDrawn = 0;
    }
}

void CLiveView::Waiting(const PortState&, uint64_t nNowMs) {
    Draw(nNowMs, true);
}

void CLiveView::FileStarted(const PortState&, uint64_t nNowMs) {
    Draw(nNowMs, true);
}

void CLiveView::BlockSent(const PortState&, uint64_t nNowMs) {
    Draw(nNowMs, false);
}

void CLiveView::WaitChanged(const PortState&, bool, uint64_t nNowMs) {
    Draw(nNowMs, true);
}

void CLiveView::Tick(uint64_t nNowMs) {
    Draw(nNowMs, true);
}

void CLineView::Draw(uint64_t nNowMs, bool bForce) {
    const std::string bytes = "  " + std::to_string(m_port.BytesSent()) + " of " +
                              std::to_string(m_port.nTotalBytes) + " bytes";
    const std::string tail =
        Figures(m_port, bytes, nNowMs) + (m_port.bEnded ? Resent(m_port.nResent) : std::string());
    m_rows.Draw({{FileText(m_port), tail}}, nNowMs, bForce);
}

void CLineView::Message(const PortState&, const std::string& strText, uint64_t nNowMs) {
    m_rows.Clear();
    PrintMessage("", strText);
    if (m_port.bOpened && !m_port.bEnded) {
        Draw(nNowMs, true);
    }
}

void CLineView::Ended(const PortState& port, uint64_t nNowMs) {
    if (port.bOpened) {
        Draw(nNowMs, true);
        m_rows.Keep();
    }
    PrintResult("", port, true, true);
}

void CLineView::Interrupted(uint64_t) {
    m_rows.Clear();
    PrintCancelled();
}

void CBoardView::Draw(uint64_t nNowMs, bool bForce) {
    size_t nWidth = 0;
    for (const PortState& port : m_ports) {
        nWidth = std::max(nWidth, EscapeControls(port.name).size());
    }
    std::vector<CLiveRows::Row> rows;
    for (const PortState& port : m_ports) {
        const std::string name = EscapeControls(port.name);
        CLiveRows::Row row{name + std::string(nWidth - name.size(), ' ') + "  ", ""};
        if (port.bEnded) {
            row.tail = port.ResultText() + "  " + Elapsed(port.nEndMs) + Resent(port.nResent);
        } else if (!port.bOpened) {
            row.tail = "opening";
        } else if (!port.bStarted) {
            row.tail = Figures(port, "", nNowMs).substr(2);
        } else {
            row.head += FileText(port);
            row.tail = Figures(port, "", nNowMs);
        }
        rows.push_back(row);
    }
    m_rows.Draw(rows, nNowMs, bForce);
}

void CBoardView::Message(const PortState& port, const std::string& strText, uint64_t nNowMs) {
    m_rows.Clear();
    PrintMessage(EscapeControls(port.name) + ": ", strText);
    Draw(nNowMs, true);
}

void CBoardView::Ended(const PortState& port, uint64_t nNowMs) {
    if (port.failure.Failed()) {
        m_rows.Clear();
        PrintResult(EscapeControls(port.name) + ": ", port, false, false);
    }
    Draw(nNowMs, true);
}

void CBoardView::Interrupted(uint64_t nNowMs) {
    Draw(nNowMs, true);
    PrintCancelled();
}

std::string CPlainView::Prefix(const PortState& port) const {
    return m_bPrefixed ? EscapeControls(port.name) + ": " : std::string();
}

void CPlainView::Waiting(const PortState& port, uint64_t) {
    Print(stdout, Prefix(port) + "Waiting for the projector's request\n");
}

void CPlainView::FileStarted(const PortState& port, uint64_t) {
    Print(stdout, Prefix(port) + "Sending " + EscapeControls(port.description) + " (" +
                      std::to_string(port.nSegmentLength) + " bytes)\n");
}

void CPlainView::WaitChanged(const PortState& port, bool bBegins, uint64_t) {
    if (bBegins) {
        Print(stdout, Prefix(port) + port.waitText + "\n");
    }
}

void CPlainView::Message(const PortState& port, const std::string& strText, uint64_t) {
    PrintMessage(Prefix(port), strText);
}

void CPlainView::Ended(const PortState& port, uint64_t) {
    if (port.bOpened) {
        const std::string files =
            std::to_string(port.nFiles) + (port.nFiles == 1 ? " file" : " files");
        Print(stdout, Prefix(port) +
                          (!port.failure.Failed()
                               ? "Sent " + files + ", " + std::to_string(port.BytesSent())
                               : "Stopped after " + std::to_string(port.BytesSent()) + " of " +
                                     std::to_string(port.nTotalBytes)) +
                          " bytes in " + Elapsed(port.nEndMs) + Resent(port.nResent) + "\n");
    }
    PrintResult(Prefix(port), port, true, true);
}

void CPlainView::Interrupted(uint64_t) {
    PrintCancelled();
}

void CQuietView::Ended(const PortState& port, uint64_t) {
    PrintResult(m_bPrefixed ? EscapeControls(port.name) + ": " : "", port, !m_bPrefixed, true);
}

void CQuietView::Interrupted(uint64_t) {
    PrintCancelled();
}

void CTableView::Closed(const std::vector<PortState>& ports) {
    size_t nPortWidth = 4, nResultWidth = 6;
    for (const PortState& port : ports) {
        nPortWidth = std::max(nPortWidth, EscapeControls(port.name).size());
        nResultWidth = std::max(nResultWidth, port.ResultText().size());
    }
    const int nPort = static_cast<int>(nPortWidth), nText = static_cast<int>(nResultWidth);
    std::printf("%-*s  %-*s  %-5s  %s\n", nPort, "PORT", nText, "RESULT", "TIME", "RESENT");
    for (const PortState& port : ports) {
        std::printf("%-*s  %-*s  %-5s  %u\n", nPort, EscapeControls(port.name).c_str(), nText,
                    port.ResultText().c_str(), Elapsed(port.nEndMs).c_str(), port.nResent);
    }
    std::fflush(stdout);
}

void CTraceView::SenderEvent(const PortState&, const CSenderEvent& event, uint64_t nNowMs) {
    const std::string file = " of file " + std::to_string(event.nFile);
    const std::string what =
        event.nKind == CSenderEvent::EOT_SENT ? "EOT" : "block " + std::to_string(event.nBlock);
    std::string text;
    switch (event.nKind) {
        case CSenderEvent::REQUEST:
            text = "<- C (request for the next file)";
            break;
        case CSenderEvent::ANSWER:
            text = event.nByte == CXmodemSender::ACK ? "<- ACK" : "<- NAK";
            break;
        case CSenderEvent::PACKET:
        case CSenderEvent::EOT_SENT:
            text = event.nWhy == CSenderEvent::FIRST
                       ? "-> " + what + file
                       : "-> resend " + what + file + " (" + ResendCause(event.nWhy) + ")";
            break;
        case CSenderEvent::NOISE: {
            char noise[64];
            std::snprintf(noise, sizeof noise, "<- 0x%02X unexpected (%u pending)", event.nByte,
                          event.nNoise);
            text = noise;
            break;
        }
        case CSenderEvent::SILENCE:
            text = "   nothing from the projector for " + std::to_string(event.nMs) + " ms";
            break;
        case CSenderEvent::FILE_TAKEN:
            return;  // the ACK line says it
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%8llu ms  ", static_cast<unsigned long long>(nNowMs));
    Print(stderr, stamp + text + "\n");
}
