// `send PACKAGE [--port PORT] [--baud N] [--wait-timeout SECONDS] [--silence-timeout SECONDS]
// [--json|-v|-q]`: one upgrade
// attempt run like the wizard's transfer page, headless. The package is loaded with the same checks
// and result codes; an image without files ends the attempt at once. The session's reader thread
// and sender run under a QCoreApplication event loop until the attempt finishes, the wait for
// the projector's first request times out (result 6; by default only when stdin is no
// terminal, as when run by a script), or Ctrl+C or a hang-up of the terminal closes the port
// (128 + the signal). Every event goes to an ISendReport: the text of
// SendProgress.h, the JSON events or the quiet result of SendReports.h; -v adds the protocol
// trace of WireWatch.h on stderr. With several ports (-p given more than once) the attempts
// run side by side (MultiSend.h).
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "CommandLine.h"
#include "Commands.h"
#include "ImageSummary.h"
#include "InterruptWatch.h"
#include "MultiSend.h"
#include "PackageOpen.h"
#include "PortAddress.h"
#include "PortList.h"
#include "QtSession.h"
#include "ResultText.h"
#include "SendProgress.h"
#include "SendReports.h"
#include "WireWatch.h"

namespace {

constexpr long DEFAULT_BAUD_RATE = 115200;
constexpr long MAX_WAIT_SECONDS = 2000000;  // fits a QTimer interval in milliseconds
// The wait for the first request when nobody is at a terminal to end it: long enough to walk
// to a projector and switch it to its upgrade mode, short enough that a script moves on.
constexpr long UNATTENDED_WAIT_SECONDS = 600;
constexpr int TICK_INTERVAL_MS = 500;

struct SendOptions {
    std::string packagePath;
    std::string portName;                // the first (or only) port
    std::vector<std::string> portNames;  // every port, in the order given
    int nBaudRate = DEFAULT_BAUD_RATE;
    long nWaitSeconds = 0;     // 0: wait for the first request without a limit
    std::string uploadFolder;  // for a script's HEX files, empty for none
    long nSilenceSeconds = 0;  // answer and next-request limits; 0: the sender's defaults
    bool bJson = false;        // JSON events on stdout
    bool bVerbose = false;     // protocol trace on stderr
    bool bQuiet = false;       // the result alone
    std::string portNote;      // how the port was chosen when none was given
};

// Fills options from the command line; false after the usage error went out (nExit set).
// Everything is checked before anything is opened.
bool ParseSendOptions(const std::vector<std::string>& args, SendOptions& options, int& nExit) {
    CommandArgs parsed;
    std::string strError;
    if (!ParseCommandArgs(args, CommandOptions("send"), parsed, strError)) {
        nExit = UsageError(strError);
        return false;
    }
    if (parsed.positional.size() != 1) {
        nExit = UsageError(parsed.positional.empty() ? "send needs a PACKAGE"
                                                     : "send takes one PACKAGE");
        return false;
    }
    options.packagePath = parsed.positional.front();
    options.bJson = parsed.Has("--json");
    options.bVerbose = parsed.Has("--verbose");
    options.bQuiet = parsed.Has("--quiet");
    if (options.bQuiet && (options.bJson || options.bVerbose)) {
        nExit = UsageError("-q goes with neither --json nor -v");
        return false;
    }
    if (parsed.Has("--baud")) {
        const std::string& rate = parsed.values["--baud"];
        if (rate != "115200" && rate != "57600") {
            nExit = UsageError("--baud takes 115200 or 57600, not \"" + rate + "\"");
            return false;
        }
        options.nBaudRate = rate == "115200" ? 115200 : 57600;
    }
    long nValue = 0;
    options.nWaitSeconds = isatty(STDIN_FILENO) ? 0 : UNATTENDED_WAIT_SECONDS;
    if (parsed.Has("--wait-timeout")) {
        if (!ParseNumber(parsed.values["--wait-timeout"], 0, MAX_WAIT_SECONDS, nValue)) {
            nExit = UsageError("--wait-timeout needs a number of seconds (0 for no limit)");
            return false;
        }
        options.nWaitSeconds = nValue;
    }
    if (!ChooseUploadFolder(parsed, options.uploadFolder, strError)) {
        nExit = UsageError(strError);
        return false;
    }
    if (parsed.Has("--silence-timeout")) {
        if (!ParseNumber(parsed.values["--silence-timeout"], 1, MAX_WAIT_SECONDS, nValue)) {
            nExit = UsageError("--silence-timeout needs a whole number of seconds from 1");
            return false;
        }
        options.nSilenceSeconds = nValue;
    }
    if (parsed.Has("--port")) {
        options.portNames = parsed.all["--port"];
        for (size_t i = 0; i < options.portNames.size(); ++i) {
            const std::string& port = options.portNames[i];
            if (port.empty()) {
                nExit = UsageError("--port needs a PORT");
                return false;
            }
            if (std::find(options.portNames.begin(), options.portNames.begin() + i, port) !=
                options.portNames.begin() + i) {
                nExit = UsageError("port " + port + " given twice");
                return false;
            }
        }
        options.portName = options.portNames.front();
        if (options.portNames.size() > 1 && options.bVerbose) {
            nExit = UsageError("-v traces a single port");
            return false;
        }
    } else {
        // Port discovery needs Qt's serial port enumeration, which needs no application object.
        if (!ChooseDefaultPort(options.portName, options.portNote, strError)) {
            nExit = UsageError(strError);
            return false;
        }
        options.portNames = {options.portName};
    }
    // Every name is judged before any port opens: a mistyped address is the command line's
    // fault, not the port's.
    std::vector<std::string> rawPorts;
    const char* pSource = parsed.Has("--port") ? "" : "ORVANTA_PORT: ";
    for (const std::string& port : options.portNames) {
        CPortAddress address;
        if (!CPortAddress::Check(port, address, strError)) {
            nExit = UsageError(pSource + EscapeControls(strError));
            return false;
        }
        if (address.m_nKind == CPortAddress::RAW_TCP) {
            rawPorts.push_back(port);
        }
    }
    if (parsed.Has("--baud") && !rawPorts.empty()) {
        std::string list;
        for (const std::string& port : rawPorts) {
            list += (list.empty() ? "" : ", ") + EscapeControls(port);
        }
        std::fprintf(stderr,
                     "orvanta-cli: warning: --baud does not apply to %s: over raw TCP the "
                     "server's own line rate applies\n",
                     list.c_str());
    }
    return true;
}

// The run's text output: progress on stdout (or one redrawn line on a terminal's stderr),
// messages on stderr, the result on stdout after success and on stderr, with its detail line,
// after a failure.
class CSendText : public ISendReport {
public:
    explicit CSendText(const ImageSummary& summary)
        : m_progress(isatty(STDERR_FILENO) ? stderr : stdout,
                     isatty(STDERR_FILENO) || isatty(STDOUT_FILENO), summary.nTotalSegmentBytes,
                     summary.files.size()) {}

    void Waiting(const std::string& strDescription, uint64_t nNowMs) override {
        m_bWaited = true;
        m_progress.Waiting(strDescription, nNowMs);
    }
    void SegmentStarted(const std::string& strDescription, uint32_t nSegmentLength,
                        uint64_t nNowMs) override {
        m_progress.SegmentStarted(strDescription, nSegmentLength, nNowMs);
    }
    void BlockSent(uint32_t nSegmentSent, uint32_t nTotalPos, uint64_t nNowMs) override {
        m_progress.BlockSent(nSegmentSent, nTotalPos, nNowMs);
    }
    void Tick(uint64_t nNowMs) override { m_progress.Tick(nNowMs); }
    void WaitText(const std::string& strText, uint64_t nNowMs) override {
        m_progress.SetWaitText(strText, nNowMs);
    }
    void Message(const std::string& strText) override {
        m_progress.Suspend();
        std::fprintf(stderr, "%s\n", strText.c_str());
        std::fflush(stderr);
    }
    void Ended(int nResult, const std::string& strDetail, uint32_t nResent,
               uint64_t nNowMs) override {
        if (m_bWaited) {
            m_progress.Finish(nResult == RESULT_SUCCESS, nNowMs, nResent);
        }
        if (nResult == RESULT_SUCCESS) {
            std::printf("%s\n", ResultMessage(RESULT_SUCCESS).c_str());
            std::fflush(stdout);
        } else {
            ReportFailure(nResult, strDetail);
        }
    }
    void Cancelled(int, uint64_t) override {
        m_progress.Suspend();
        std::fprintf(stderr, "Cancelled\n");
    }

private:
    CSendProgress m_progress;
    bool m_bWaited = false;
};

// Drives one attempt on the event loop and turns the session's signals into report events.
class CSendRun {
public:
    CSendRun(const SendOptions& options, ISendReport& report, std::vector<IWireObserver*> observers)
        : m_options(options), m_report(report), m_session(std::move(observers)) {}

    int Run(LoadedPackage& package) {
        QObject::connect(&m_session, &CQtSession::message,
                         [this](const QString& text) { m_report.Message(text.toStdString()); });
        QObject::connect(&m_session, &CQtSession::progress,
                         [this](unsigned, unsigned nTotalPos) { OnProgress(nTotalPos); });
        QObject::connect(&m_session, &CQtSession::finished,
                         [this](int nResult) { OnFinished(nResult); });

        const bool bInf = package.bInf;
        if (m_options.nSilenceSeconds > 0) {
            m_session.SetSilenceLimit(static_cast<uint32_t>(m_options.nSilenceSeconds * 1000));
        }
        if (m_session.Prepare(std::move(package.pImage), package.nSize) == 0) {
            // The loader already refuses images without files; kept so that nothing is
            // awaited that can never come.
            const int nResult = bInf ? RESULT_INF_CORRUPT : RESULT_INVALID_INPUT;
            m_report.Ended(nResult, m_options.packagePath + ": no file blocks: nothing to send", 0,
                           NowMs());
            return nResult;
        }
        const std::string firstDescription = m_session.Sender().Cutter().m_strStatus;
        if (!m_session.OpenPort(m_options.portName, m_options.nBaudRate)) {
            m_report.Ended(RESULT_SERIAL_FAILED, m_session.FailureDetail(), 0, NowMs());
            return RESULT_SERIAL_FAILED;
        }
        if (m_options.bVerbose && !m_session.Port().LatencyNote().empty()) {
            std::fprintf(stderr, "orvanta-cli: %s\n", m_session.Port().LatencyNote().c_str());
        }

        CInterruptWatch interrupts([this](int nSignal) { OnInterrupt(nSignal); });
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [this] {
            m_report.WaitText(m_session.Sender().WaitText(), NowMs());
            m_report.Tick(NowMs());
        });
        tick.start(TICK_INTERVAL_MS);
        if (m_options.nWaitSeconds > 0) {
            m_waitTimer.setSingleShot(true);
            QObject::connect(&m_waitTimer, &QTimer::timeout, [this] { OnWaitTimeout(); });
            m_waitTimer.start(static_cast<int>(m_options.nWaitSeconds * 1000));
        }
        m_report.Waiting(firstDescription, NowMs());
        QCoreApplication::exec();
        tick.stop();
        return m_nResult;
    }

private:
    uint64_t NowMs() const {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - m_start)
                                         .count());
    }

    // A block is about to go out. The cutter still counts its bytes as remaining, and rests
    // on the end record of the file being sent, which tells one segment from the next.
    void OnProgress(unsigned nTotalPos) {
        m_waitTimer.stop();
        const CSegmentCutter& cutter = m_session.Sender().Cutter();
        if (!m_bAnySegment || cutter.m_nImageOffset != m_nSegmentImageOffset) {
            m_bAnySegment = true;
            m_nSegmentImageOffset = cutter.m_nImageOffset;
            m_report.SegmentStarted(cutter.m_strStatus, cutter.m_nSegmentLength, NowMs());
        }
        const uint32_t nRemaining = std::min(cutter.m_nRemaining, cutter.m_nSegmentLength);
        m_report.BlockSent(cutter.m_nSegmentLength - nRemaining, nTotalPos, NowMs());
    }

    void OnFinished(int nResult) {
        if (m_bEnded) {
            return;
        }
        m_bEnded = true;
        m_nResult = nResult;
        m_waitTimer.stop();
        const std::string detail = m_strDetail.empty() ? m_session.FailureDetail() : m_strDetail;
        m_report.Ended(nResult, detail, m_session.Sender().ResentBlocks(), NowMs());
        QCoreApplication::exit(nResult);
    }

    void OnWaitTimeout() {
        if (m_bEnded || m_bAnySegment) {
            return;
        }
        m_strDetail =
            "no request from the projector within " + std::to_string(m_options.nWaitSeconds) + " s";
        m_session.Abort(RESULT_PROJECTOR_CANCELED, CFailure::SILENCE, m_strDetail);
    }

    // Ctrl+C (and a closed terminal) acts like the wizard's Cancel: the port is closed and
    // nothing is reported as the attempt's result.
    void OnInterrupt(int nSignal) {
        if (m_bEnded) {
            return;
        }
        m_bEnded = true;
        m_nResult = 128 + nSignal;
        m_waitTimer.stop();
        m_session.ClosePort();
        m_report.Cancelled(nSignal, NowMs());
        QCoreApplication::exit(m_nResult);
    }

    const SendOptions& m_options;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    ISendReport& m_report;
    CQtSession m_session;
    QTimer m_waitTimer;
    bool m_bAnySegment = false;
    uint32_t m_nSegmentImageOffset = 0;
    bool m_bEnded = false;
    int m_nResult = RESULT_SUCCESS;
    std::string m_strDetail;
};

}  // namespace

int RunSend(const std::vector<std::string>& args) {
    SendOptions options;
    int nExit = 0;
    if (!ParseSendOptions(args, options, nExit)) {
        return nExit;
    }
    // The program's other output (the chosen port, a load failure) goes to stderr; with --json
    // the load failure also ends the event stream.
    if (!options.portNote.empty() && !options.bQuiet) {
        std::fprintf(stderr, "orvanta-cli: %s\n", options.portNote.c_str());
    }
    LoadedPackage package;
    const int nResult = OpenPackage(options.packagePath, package, true, options.uploadFolder);
    if (nResult != RESULT_SUCCESS) {
        ReportFailure(nResult, package.strDetail);
        // Each port's stream ends, as every port's does, with its own done.
        for (size_t i = 0; options.bJson && i < options.portNames.size(); ++i) {
            CJsonEvents json(0, 0);
            json.SetPort(options.portNames[i]);
            json.EndedEarly(nResult, package.strDetail);
        }
        return nResult;
    }
    const ImageSummary summary = SummarizeImage(package.pImage.get(), package.nSize);

    // A reader of the output that goes away (`| head -1`) must not stop the upgrade: what
    // cannot be written is dropped.
    signal(SIGPIPE, SIG_IGN);
    int argc = 1;
    char name[] = "orvanta-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    if (options.portNames.size() > 1) {
        return RunMultiSend(
            {options.packagePath, options.portNames, options.nBaudRate, options.nWaitSeconds,
             options.bJson, options.bQuiet, options.nSilenceSeconds},
            package, summary);
    }
    CJsonEvents json(summary.nTotalSegmentBytes, summary.files.size());
    CQuietReport quiet;
    CSendText text(summary);
    CWireTrace trace(stderr);
    std::vector<IWireObserver*> observers;
    if (options.bJson) {
        observers.push_back(&json);
        json.SetPort(options.portName);
        json.Start(options.packagePath, options.portName, options.nBaudRate, options.nWaitSeconds);
    }
    if (options.bVerbose) {
        observers.push_back(&trace);
    }
    ISendReport& report = options.bJson    ? static_cast<ISendReport&>(json)
                          : options.bQuiet ? static_cast<ISendReport&>(quiet)
                                           : static_cast<ISendReport&>(text);
    CSendRun run(options, report, observers);
    return run.Run(package);
}
