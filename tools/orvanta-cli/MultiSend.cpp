#include "MultiSend.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "InterruptWatch.h"
#include "PackageOpen.h"
#include "QtSession.h"
#include "SendProgress.h"
#include "SendReports.h"
#include "WireWatch.h"

namespace {

constexpr int TICK_INTERVAL_MS = 500;
// Redraws of the board closer together than this only flicker.
constexpr uint64_t REDRAW_INTERVAL_MS = 100;

std::string Elapsed(uint64_t nMs) {
    return CXmodemSender::FormatElapsed(static_cast<uint32_t>(nMs / 1000));
}

std::string Resent(uint32_t nResent) {
    return nResent == 0
               ? std::string()
               : ", " + std::to_string(nResent) + (nResent == 1 ? " block" : " blocks") + " resent";
}

// What is known of one port's attempt: for its line, its log lines and the table.
struct PortState {
    std::string name;         // as given (escaped for output)
    std::string description;  // of the file being sent (escaped)
    size_t nFile = 0;         // 1-based, 0 before the first block
    uint64_t nDoneBytes = 0;  // of the segments before the current one
    uint32_t nSegmentLength = 0;
    uint32_t nSegmentSent = 0;
    uint32_t nTotalPos = 0;  // the total bar, 0..1000
    bool bOpened = false;    // the port is open and the projector's request awaited
    bool bStarted = false;   // a block went out
    uint64_t nFirstBlockMs = 0;
    bool bEnded = false;
    bool bCancelled = false;
    int nResult = RESULT_SUCCESS;
    uint64_t nEndMs = 0;
    uint32_t nResent = 0;
    std::string waitText;  // what the attempt waits for, when that lasts (WaitText)

    uint64_t BytesSent() const { return nDoneBytes + nSegmentSent; }
    std::string ResultText() const { return bCancelled ? "Cancelled" : ResultMessage(nResult); }
};

// The text output of the run: a board of one line per port on a terminal (stderr), or lines
// prefixed with their port; messages on stderr; the table on stdout. Quiet: only each failed
// port's result and detail, and the table. JSON: nothing (each port's events go to its own
// CJsonEvents).
class CFleetView {
public:
    enum Mode { LIVE, LINES, QUIET, JSON };

    CFleetView(std::vector<PortState>& ports, const ImageSummary& summary, Mode nMode)
        : m_ports(ports),
          m_nTotalBytes(summary.nTotalSegmentBytes),
          m_nFiles(summary.files.size()),
          m_nMode(nMode),
          m_bLive(nMode == LIVE) {}

    void Waiting(size_t i, uint64_t nNowMs) {
        if (m_nMode >= QUIET) {
            return;
        }
        if (m_bLive) {
            Draw(nNowMs, true);
        } else {
            Line(stdout, i, "Waiting for the projector's request");
        }
    }
    void SegmentStarted(size_t i, uint64_t nNowMs) {
        if (m_nMode >= QUIET) {
            return;
        }
        if (m_bLive) {
            Draw(nNowMs, true);
        } else {
            const PortState& port = m_ports[i];
            Line(stdout, i,
                 "Sending " + port.description + " (" + std::to_string(port.nSegmentLength) +
                     " bytes)");
        }
    }
    void BlockSent(uint64_t nNowMs) {
        if (m_bLive) {
            Draw(nNowMs, false);
        }
    }
    void Tick(uint64_t nNowMs) {
        if (m_bLive) {
            Draw(nNowMs, true);
        }
    }
    // What port i waits for now (empty: nothing that lasts). Lines mode says it once when
    // it begins, not every second.
    void WaitText(size_t i, const std::string& strText) {
        PortState& port = m_ports[i];
        const bool bBegins =
            !strText.empty() &&
            (port.waitText.empty() || strText.compare(0, 12, port.waitText, 0, 12) != 0);
        port.waitText = strText;
        if (m_nMode == LINES && bBegins) {
            Line(stdout, i, strText);
        }
    }
    // A message for the user about port i, above the board when there is one.
    void Message(size_t i, const std::string& strText, uint64_t nNowMs) {
        if (m_nMode >= QUIET) {
            return;
        }
        Clear();
        Line(stderr, i, strText);
        if (m_bLive) {
            Draw(nNowMs, true);
        }
    }
    void Ended(size_t i, const std::string& strDetail, bool bOpened, uint64_t nNowMs) {
        if (m_nMode == JSON) {
            return;
        }
        const PortState& port = m_ports[i];
        const bool bSuccess = port.nResult == RESULT_SUCCESS;
        if (m_nMode == LINES && bOpened) {
            if (bSuccess) {
                Line(stdout, i,
                     "Sent " + std::to_string(m_nFiles) + (m_nFiles == 1 ? " file, " : " files, ") +
                         std::to_string(m_nTotalBytes) + " bytes in " + Elapsed(port.nEndMs) +
                         Resent(port.nResent));
            } else {
                Line(stdout, i,
                     "Stopped after " + std::to_string(port.BytesSent()) + " of " +
                         std::to_string(m_nTotalBytes) + " bytes in " + Elapsed(port.nEndMs) +
                         Resent(port.nResent));
            }
        }
        if (bSuccess) {
            if (m_nMode == LINES) {
                Line(stdout, i, port.ResultText());
            }
        } else {
            Clear();
            if (!m_bLive) {
                Line(stderr, i, port.ResultText());
            }
            if (!strDetail.empty()) {
                Line(stderr, i, EscapeControls(strDetail));
            }
        }
        if (m_bLive) {
            Draw(nNowMs, true);
        }
    }
    void Cancelled(uint64_t nNowMs) {
        if (m_nMode == JSON) {
            return;
        }
        if (m_bLive) {
            Draw(nNowMs, true);
        }
        std::fprintf(stderr, "Cancelled\n");
        std::fflush(stderr);
    }
    // The closing table: port, result, time, blocks resent.
    void Table() const {
        if (m_nMode == JSON) {
            return;
        }
        size_t nPortWidth = 4, nResultWidth = 6;
        for (const PortState& port : m_ports) {
            nPortWidth = std::max(nPortWidth, port.name.size());
            nResultWidth = std::max(nResultWidth, port.ResultText().size());
        }
        const int nPort = static_cast<int>(nPortWidth), nText = static_cast<int>(nResultWidth);
        std::printf("%-*s  %-*s  %-5s  %s\n", nPort, "PORT", nText, "RESULT", "TIME", "RESENT");
        for (const PortState& port : m_ports) {
            std::printf("%-*s  %-*s  %-5s  %u\n", nPort, port.name.c_str(), nText,
                        port.ResultText().c_str(), Elapsed(port.nEndMs).c_str(), port.nResent);
        }
        std::fflush(stdout);
    }

private:
    void Line(FILE* pStream, size_t i, const std::string& strText) const {
        std::fprintf(pStream, "%s: %s\n", m_ports[i].name.c_str(), strText.c_str());
        std::fflush(pStream);
    }

    // Takes the board off the terminal so that other lines can be written; the next Draw puts
    // it back below them.
    void Clear() {
        if (m_bLive && m_bDrawn) {
            std::fprintf(stderr, "\033[%zuA\r\033[J", m_ports.size());
            m_bDrawn = false;
        }
    }

    void Draw(uint64_t nNowMs, bool bForce) {
        if (!bForce && m_bDrawn && nNowMs - m_nLastDrawMs < REDRAW_INTERVAL_MS) {
            return;
        }
        m_nLastDrawMs = nNowMs;
        std::string board = m_bDrawn ? "\033[" + std::to_string(m_ports.size()) + "A" : "";
        size_t nWidth = 0;
        for (const PortState& port : m_ports) {
            nWidth = std::max(nWidth, port.name.size());
        }
        const size_t nRoom = TerminalWidth();
        for (const PortState& port : m_ports) {
            std::string line =
                port.name + std::string(nWidth - port.name.size(), ' ') + "  " + Body(port, nNowMs);
            // A line that wraps could not be redrawn in place.
            if (nRoom > 0 && line.size() >= nRoom) {
                line.resize(nRoom - 1);
            }
            board += "\r" + line + "\033[K\n";
        }
        std::fputs(board.c_str(), stderr);
        std::fflush(stderr);
        m_bDrawn = true;
    }

    std::string Body(const PortState& port, uint64_t nNowMs) const {
        if (port.bEnded) {
            return port.ResultText() + "  " + Elapsed(port.nEndMs) + Resent(port.nResent);
        }
        if (!port.bOpened) {
            return "opening";
        }
        if (!port.bStarted) {
            return "waiting for the projector  " + Elapsed(nNowMs);
        }
        const uint64_t nSent = port.BytesSent();
        const double dSeconds = static_cast<double>(nNowMs - port.nFirstBlockMs) / 1000.0;
        const double dRate = dSeconds > 0.0 ? static_cast<double>(nSent) / dSeconds : 0.0;
        std::string left = "--:--";
        if (dRate > 0.0 && nSent <= m_nTotalBytes) {
            left = CXmodemSender::FormatElapsed(
                static_cast<uint32_t>(static_cast<double>(m_nTotalBytes - nSent) / dRate));
        }
        char figures[128];
        std::snprintf(figures, sizeof figures, "  %3u%%  %s  %s  %s left", port.nTotalPos / 10,
                      Elapsed(nNowMs).c_str(), FormatRate(dRate).c_str(), left.c_str());
        const std::string file =
            m_nFiles > 1 ? "[" + std::to_string(port.nFile) + "/" + std::to_string(m_nFiles) + "] "
                         : "";
        return file + port.description + figures +
               (port.waitText.empty() ? "" : "  " + port.waitText);
    }

    size_t TerminalWidth() const {
        struct winsize size {};
        return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    }

    std::vector<PortState>& m_ports;
    uint64_t m_nTotalBytes;
    size_t m_nFiles;
    Mode m_nMode;
    bool m_bLive;
    bool m_bDrawn = false;  // the board is on the terminal, the cursor below it
    uint64_t m_nLastDrawMs = 0;
};

// The attempts, one session per port on the one event loop.
class CFleetRun {
public:
    CFleetRun(const MultiSendOptions& options, const ImageSummary& summary)
        : m_options(options),
          m_summary(summary),
          m_ports(options.portNames.size()),
          m_view(m_ports, summary,
                 options.bJson               ? CFleetView::JSON
                 : options.bQuiet            ? CFleetView::QUIET
                 : isatty(STDERR_FILENO) > 0 ? CFleetView::LIVE
                                             : CFleetView::LINES) {}

    int Run(LoadedPackage& package) {
        const SharedImage pImage(std::move(package.pImage));
        const size_t nPorts = m_options.portNames.size();
        m_sessions.reserve(nPorts);
        for (size_t i = 0; i < nPorts; ++i) {
            m_ports[i].name = EscapeControls(m_options.portNames[i]);
            m_sessions.push_back(std::make_unique<Attempt>(m_summary, m_options.bJson));
            CQtSession* pSession = &m_sessions[i]->session;
            QObject::connect(pSession, &CQtSession::message, [this, i](const QString& text) {
                m_view.Message(i, EscapeControls(text.toStdString()), NowMs());
                Json(i, [&](CJsonEvents& json) { json.Message(text.toStdString()); });
            });
            QObject::connect(pSession, &CQtSession::progress,
                             [this, i](unsigned, unsigned nTotalPos) { OnProgress(i, nTotalPos); });
            QObject::connect(pSession, &CQtSession::finished,
                             [this, i](int nResult) { OnFinished(i, nResult); });
            QTimer& waitTimer = m_sessions[i]->waitTimer;
            waitTimer.setSingleShot(true);
            QObject::connect(&waitTimer, &QTimer::timeout, [this, i] { OnWaitTimeout(i); });
        }

        CInterruptWatch interrupts([this](int nSignal) { OnInterrupt(nSignal); });
        for (size_t i = 0; i < nPorts; ++i) {
            Attempt& attempt = *m_sessions[i];
            Json(i, [&](CJsonEvents& json) {
                json.SetPort(m_options.portNames[i]);
                json.Start(m_options.packagePath, m_options.portNames[i], m_options.nBaudRate,
                           m_options.nWaitSeconds);
            });
            if (m_options.nSilenceSeconds > 0) {
                attempt.session.SetSilenceLimit(
                    static_cast<uint32_t>(m_options.nSilenceSeconds * 1000));
            }
            if (attempt.session.Prepare(pImage, package.nSize) == 0) {
                // The loader already refuses images without files.
                const int nResult = package.bInf ? RESULT_INF_CORRUPT : RESULT_INVALID_INPUT;
                EndLater(i, nResult, m_options.packagePath + ": no file blocks: nothing to send");
                continue;
            }
            m_ports[i].description = EscapeControls(attempt.session.Sender().Cutter().m_strStatus);
            if (!attempt.session.OpenPort(m_options.portNames[i], m_options.nBaudRate)) {
                // Queued behind the port's message, which thus comes first.
                EndLater(i, RESULT_SERIAL_FAILED, attempt.session.FailureDetail());
                continue;
            }
            attempt.bOpened = true;
            m_ports[i].bOpened = true;
            if (m_options.nWaitSeconds > 0) {
                attempt.waitTimer.start(static_cast<int>(m_options.nWaitSeconds * 1000));
            }
            m_view.Waiting(i, NowMs());
            Json(i, [&](CJsonEvents& json) {
                json.Waiting(attempt.session.Sender().Cutter().m_strStatus, NowMs());
            });
        }
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [this] {
            for (size_t i = 0; i < m_sessions.size(); ++i) {
                if (!m_ports[i].bEnded) {
                    m_view.WaitText(i, m_sessions[i]->session.Sender().WaitText());
                }
            }
            m_view.Tick(NowMs());
        });
        tick.start(TICK_INTERVAL_MS);
        return QCoreApplication::exec();
    }

private:
    struct Attempt {
        Attempt(const ImageSummary& summary, bool bJson)
            : json(summary.nTotalSegmentBytes, summary.files.size()),
              session(bJson ? std::vector<IWireObserver*>{&json} : std::vector<IWireObserver*>{}) {}

        CJsonEvents json;  // used with --json only
        CQtSession session;
        QTimer waitTimer;
        bool bOpened = false;
        bool bAnySegment = false;
        uint32_t nSegmentImageOffset = 0;
        std::string strDetail;  // set by the run itself (the wait limit)
    };

    // Runs report on port i's JSON events when the run writes them.
    template <typename Report>
    void Json(size_t i, Report report) {
        if (m_options.bJson) {
            report(m_sessions[i]->json);
        }
    }

    uint64_t NowMs() const {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - m_start)
                                         .count());
    }

    // A block of port i is about to go out; see CSendRun::OnProgress for how a new segment
    // is told from the cutter.
    void OnProgress(size_t i, unsigned nTotalPos) {
        Attempt& attempt = *m_sessions[i];
        PortState& port = m_ports[i];
        attempt.waitTimer.stop();
        const CSegmentCutter& cutter = attempt.session.Sender().Cutter();
        const uint64_t nNowMs = NowMs();
        port.nTotalPos = nTotalPos;
        if (!attempt.bAnySegment || cutter.m_nImageOffset != attempt.nSegmentImageOffset) {
            attempt.bAnySegment = true;
            attempt.nSegmentImageOffset = cutter.m_nImageOffset;
            if (port.nFile > 0) {
                port.nDoneBytes += port.nSegmentLength;
            }
            ++port.nFile;
            port.description = EscapeControls(cutter.m_strStatus);
            port.nSegmentLength = cutter.m_nSegmentLength;
            port.nSegmentSent = 0;
            if (!port.bStarted) {
                port.bStarted = true;
                port.nFirstBlockMs = nNowMs;
            }
            m_view.SegmentStarted(i, nNowMs);
            Json(i, [&](CJsonEvents& json) {
                json.SegmentStarted(cutter.m_strStatus, cutter.m_nSegmentLength, nNowMs);
            });
        }
        port.nSegmentSent =
            cutter.m_nSegmentLength - std::min(cutter.m_nRemaining, cutter.m_nSegmentLength);
        m_view.BlockSent(nNowMs);
        Json(i, [&](CJsonEvents& json) { json.BlockSent(port.nSegmentSent, nTotalPos, nNowMs); });
    }

    void OnFinished(size_t i, int nResult) {
        Attempt& attempt = *m_sessions[i];
        End(i, nResult,
            attempt.strDetail.empty() ? attempt.session.FailureDetail() : attempt.strDetail);
    }

    void OnWaitTimeout(size_t i) {
        Attempt& attempt = *m_sessions[i];
        if (m_ports[i].bEnded || attempt.bAnySegment) {
            return;
        }
        attempt.strDetail =
            "no request from the projector within " + std::to_string(m_options.nWaitSeconds) + " s";
        attempt.session.Abort(RESULT_PROJECTOR_CANCELED, CFailure::SILENCE, attempt.strDetail);
    }

    void EndLater(size_t i, int nResult, const std::string& strDetail) {
        QMetaObject::invokeMethod(
            &m_sessions[i]->session, [this, i, nResult, strDetail] { End(i, nResult, strDetail); },
            Qt::QueuedConnection);
    }

    void End(size_t i, int nResult, const std::string& strDetail) {
        PortState& port = m_ports[i];
        if (port.bEnded || m_bCancelled) {
            return;
        }
        Attempt& attempt = *m_sessions[i];
        attempt.waitTimer.stop();
        port.bEnded = true;
        port.nResult = nResult;
        port.nEndMs = NowMs();
        port.nResent = attempt.session.Sender().ResentBlocks();
        if (nResult == RESULT_SUCCESS) {
            port.nDoneBytes += port.nSegmentLength;
            port.nSegmentSent = 0;
            port.nTotalPos = 1000;
        }
        m_view.Ended(i, strDetail, attempt.bOpened, port.nEndMs);
        Json(i,
             [&](CJsonEvents& json) { json.Ended(nResult, strDetail, port.nResent, port.nEndMs); });
        if (std::all_of(m_ports.begin(), m_ports.end(),
                        [](const PortState& p) { return p.bEnded; })) {
            std::vector<int> results;
            for (const PortState& p : m_ports) {
                results.push_back(p.nResult);
            }
            m_view.Table();
            QCoreApplication::exit(CombinedExitStatus(results));
        }
    }

    // Ctrl+C, SIGTERM or a closed terminal: every port still in an attempt is closed, as the
    // wizard's Cancel closes its one.
    void OnInterrupt(int nSignal) {
        if (m_bCancelled) {
            return;
        }
        m_bCancelled = true;
        const uint64_t nNowMs = NowMs();
        for (size_t i = 0; i < m_ports.size(); ++i) {
            if (!m_ports[i].bEnded) {
                m_sessions[i]->waitTimer.stop();
                m_sessions[i]->session.ClosePort();
                m_ports[i].bEnded = true;
                m_ports[i].bCancelled = true;
                m_ports[i].nEndMs = nNowMs;
                m_ports[i].nResent = m_sessions[i]->session.Sender().ResentBlocks();
                Json(i, [&](CJsonEvents& json) { json.Cancelled(nSignal, nNowMs); });
            }
        }
        m_view.Cancelled(nNowMs);
        m_view.Table();
        QCoreApplication::exit(128 + nSignal);
    }

    const MultiSendOptions& m_options;
    const ImageSummary& m_summary;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::vector<PortState> m_ports;
    CFleetView m_view;
    std::vector<std::unique_ptr<Attempt>> m_sessions;
    bool m_bCancelled = false;
};

}  // namespace

int CombinedExitStatus(const std::vector<int>& results) {
    if (results.empty()) {
        return RESULT_SUCCESS;
    }
    const bool bAlike = std::all_of(results.begin(), results.end(),
                                    [&](int nResult) { return nResult == results.front(); });
    return bAlike ? results.front() : EXIT_SOME_FAILED;
}

int RunMultiSend(const MultiSendOptions& options, LoadedPackage& package,
                 const ImageSummary& summary) {
    CFleetRun run(options, summary);
    return run.Run(package);
}
