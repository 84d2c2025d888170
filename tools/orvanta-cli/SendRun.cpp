#include "SendRun.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>

#include "InterruptWatch.h"
#include "ResultText.h"
#include "WireWatch.h"

namespace {

using Clock = std::chrono::steady_clock;

// Lasting waits and the live views' clocks are refreshed this often.
constexpr auto TICK_INTERVAL = std::chrono::milliseconds(500);
// The silence text counts up each second; its first words tell one kind of wait from another.
constexpr size_t WAIT_KIND_LENGTH = 12;

}  // namespace

double PortState::BytesPerSecond(uint64_t nNowMs) const {
    if (!bStarted || nNowMs <= nFirstBlockMs) {
        return 0.0;
    }
    return static_cast<double>(BytesSent()) /
           (static_cast<double>(nNowMs - nFirstBlockMs) / 1000.0);
}

std::string PortState::ResultText() const {
    return bCancelled ? "Cancelled" : ResultMessage(nResult);
}

std::vector<PortState> MakePortStates(const std::vector<std::string>& names,
                                      const ImageSummary& summary) {
    std::vector<PortState> ports(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        ports[i].nIndex = i;
        ports[i].name = names[i];
        ports[i].nFiles = summary.files.size();
        ports[i].nTotalBytes = summary.nTotalSegmentBytes;
        if (!summary.files.empty()) {
            ports[i].description = summary.files.front().strDescription;
        }
    }
    return ports;
}

int CombinedExitStatus(const std::vector<int>& results) {
    if (results.empty()) {
        return RESULT_SUCCESS;
    }
    const bool bAlike = std::all_of(results.begin(), results.end(),
                                    [&](int nResult) { return nResult == results.front(); });
    return bAlike ? results.front() : EXIT_SOME_FAILED;
}

// One port's attempt: its session and what the run itself decides about it.
struct CSendRun::Attempt {
    Attempt(CSendRun& run, size_t i)
        : session([&run, i](const CSenderEvent& event) { run.OnSenderEvent(i, event); }) {}

    CWatchedSession session;
    Clock::time_point waitDeadline = Clock::time_point::max();  // for the first request
    bool bAnySegment = false;
    uint32_t nSegmentImageOffset = 0;  // where the cutter stood for the current file
    bool bRunning = false;             // opened, not yet ended
};

// Runs the event loop: the sessions' events, the signals, and the run's own deadlines.
class CSendRun::CDriver {
public:
    explicit CDriver(CSendRun& run) : m_run(run) {
        if (m_interrupts.Fd() >= 0) {
            m_pNotifier =
                std::make_unique<QSocketNotifier>(m_interrupts.Fd(), QSocketNotifier::Read);
            QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, [this] {
                if (const int nSignal = m_interrupts.Take(); nSignal != 0) {
                    m_run.OnInterrupt(nSignal);
                }
            });
        }
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_run.OnTime();
            Arm();
        });
    }
    void Arm() {
        const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(
            m_run.NextDeadline() - Clock::now());
        m_timer.start(static_cast<int>(std::clamp<int64_t>(delay.count(), 0, INT32_MAX)));
    }
    int Exec() {
        Arm();
        return QCoreApplication::exec();
    }
    void Exit(int nExit) {
        m_timer.stop();
        QCoreApplication::exit(nExit);
    }

private:
    CSendRun& m_run;
    CInterruptWatch m_interrupts;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    QTimer m_timer;
};

CSendRun::CSendRun(const SendOptions& options, std::vector<PortState>& ports,
                   std::vector<ISendView*> views)
    : m_options(options), m_ports(ports), m_views(std::move(views)) {}

CSendRun::~CSendRun() = default;

uint64_t CSendRun::NowMs() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
}

template <typename Call>
void CSendRun::Tell(Call call) {
    for (ISendView* pView : m_views) {
        call(*pView);
    }
}

int CSendRun::Run(LoadedPackage& package) {
    const SharedImage pImage(std::move(package.pImage));
    m_pDriver = std::make_unique<CDriver>(*this);
    m_nextTick = Clock::now() + TICK_INTERVAL;
    for (size_t i = 0; i < m_ports.size(); ++i) {
        m_attempts.push_back(std::make_unique<Attempt>(*this, i));
        CUpgradeSession& session = m_attempts[i]->session;
        QObject::connect(&session, &CUpgradeSession::message,
                         [this, i](const QString& text) { OnMessage(i, text.toStdString()); });
        QObject::connect(&session, &CUpgradeSession::progress,
                         [this, i](unsigned, unsigned nTotalPos) { OnProgress(i, nTotalPos); });
        QObject::connect(&session, &CUpgradeSession::finished,
                         [this, i](int nResult) { OnFinished(i, nResult); });
    }
    for (size_t i = 0; i < m_ports.size() && !m_bClosed; ++i) {
        Attempt& attempt = *m_attempts[i];
        PortState& port = m_ports[i];
        Tell([&](ISendView& view) { view.Start(port, NowMs()); });
        if (m_options.nSilenceSeconds > 0) {
            attempt.session.SetSilenceLimit(
                static_cast<uint32_t>(m_options.nSilenceSeconds * 1000));
        }
        if (attempt.session.Prepare(pImage, package.nSize) == 0) {
            // The loader already refuses images without files; kept so that nothing is
            // awaited that can never come.
            End(i, package.bInf ? RESULT_INF_CORRUPT : RESULT_INVALID_INPUT,
                m_options.packagePath + ": no file blocks: nothing to send");
            continue;
        }
        if (!attempt.session.OpenPort(port.name, m_options.nBaudRate)) {
            // The port's message comes before the end it caused.
            QCoreApplication::sendPostedEvents(&attempt.session);
            End(i, RESULT_SERIAL_FAILED, attempt.session.FailureDetail());
            continue;
        }
        if (m_options.bVerbose && !attempt.session.Port().LatencyNote().empty()) {
            std::fprintf(stderr, "orvanta-cli: %s\n", attempt.session.Port().LatencyNote().c_str());
        }
        attempt.bRunning = true;
        port.bOpened = true;
        if (m_options.nWaitSeconds > 0) {
            attempt.waitDeadline = Clock::now() + std::chrono::seconds(m_options.nWaitSeconds);
        }
        Tell([&](ISendView& view) { view.Waiting(port, NowMs()); });
    }
    if (m_bClosed) {
        return m_nExit;
    }
    return m_pDriver->Exec();
}

// A block is about to go out. The cutter still counts its bytes as remaining, and rests on the
// end record of the file being sent, which tells one file from the next.
void CSendRun::OnProgress(size_t i, uint32_t nTotalPos) {
    Attempt& attempt = *m_attempts[i];
    PortState& port = m_ports[i];
    if (port.bEnded) {
        return;
    }
    const uint64_t nNowMs = NowMs();
    attempt.waitDeadline = Clock::time_point::max();
    const CSegmentCutter& cutter = attempt.session.Sender().Cutter();
    port.nTotalPos = nTotalPos;
    if (!attempt.bAnySegment || cutter.m_nImageOffset != attempt.nSegmentImageOffset) {
        attempt.bAnySegment = true;
        attempt.nSegmentImageOffset = cutter.m_nImageOffset;
        if (port.nFile > 0) {
            port.nDoneBytes += port.nSegmentLength;
        }
        ++port.nFile;
        port.description = cutter.m_strStatus;
        port.nSegmentLength = cutter.m_nSegmentLength;
        port.nSegmentSent = 0;
        if (!port.bStarted) {
            port.bStarted = true;
            port.nFirstBlockMs = nNowMs;
        }
        Tell([&](ISendView& view) { view.FileStarted(port, nNowMs); });
    }
    port.nSegmentSent =
        cutter.m_nSegmentLength - std::min(cutter.m_nRemaining, cutter.m_nSegmentLength);
    Tell([&](ISendView& view) { view.BlockSent(port, nNowMs); });
}

void CSendRun::OnSenderEvent(size_t i, const CSenderEvent& event) {
    PortState& port = m_ports[i];
    if (port.bEnded) {
        return;
    }
    const bool bResend =
        (event.nKind == CSenderEvent::PACKET || event.nKind == CSenderEvent::EOT_SENT) &&
        event.nWhy != CSenderEvent::FIRST;
    port.nResent += bResend ? 1 : 0;
    Tell([&](ISendView& view) { view.SenderEvent(port, event, NowMs()); });
}

void CSendRun::OnMessage(size_t i, const std::string& strText) {
    if (!m_bClosed) {
        Tell([&](ISendView& view) { view.Message(m_ports[i], strText, NowMs()); });
    }
}

void CSendRun::OnFinished(size_t i, int nResult) {
    End(i, nResult, m_attempts[i]->session.FailureDetail());
}

void CSendRun::OnTime() {
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < m_attempts.size(); ++i) {
        Attempt& attempt = *m_attempts[i];
        if (attempt.bRunning && now >= attempt.waitDeadline) {
            attempt.waitDeadline = Clock::time_point::max();
            attempt.session.Sender().Abort(RESULT_PROJECTOR_CANCELED, CFailure::SILENCE,
                                           "no request from the projector within " +
                                               std::to_string(m_options.nWaitSeconds) + " s");
        }
    }
    if (now < m_nextTick || m_bClosed) {
        return;
    }
    m_nextTick = now + TICK_INTERVAL;
    const uint64_t nNowMs = NowMs();
    for (size_t i = 0; i < m_attempts.size(); ++i) {
        PortState& port = m_ports[i];
        if (!m_attempts[i]->bRunning) {
            continue;
        }
        const std::string text = m_attempts[i]->session.Sender().WaitText();
        if (text == port.waitText) {
            continue;
        }
        const bool bBegins = !text.empty() && (port.waitText.empty() ||
                                               text.compare(0, WAIT_KIND_LENGTH, port.waitText, 0,
                                                            WAIT_KIND_LENGTH) != 0);
        port.waitText = text;
        Tell([&](ISendView& view) { view.WaitChanged(port, bBegins, nNowMs); });
    }
    Tell([&](ISendView& view) { view.Tick(nNowMs); });
}

Clock::time_point CSendRun::NextDeadline() const {
    Clock::time_point next = m_nextTick;
    for (const auto& pAttempt : m_attempts) {
        if (pAttempt->bRunning) {
            next = std::min(next, pAttempt->waitDeadline);
        }
    }
    return next;
}

void CSendRun::End(size_t i, int nResult, const std::string& strDetail) {
    PortState& port = m_ports[i];
    Attempt& attempt = *m_attempts[i];
    if (port.bEnded || m_bClosed) {
        return;
    }
    attempt.bRunning = false;
    port.bEnded = true;
    port.nResult = nResult;
    port.strDetail = strDetail;
    port.nEndMs = NowMs();
    port.nResent = attempt.session.Sender().ResentBlocks();
    if (nResult == RESULT_SUCCESS) {
        port.nDoneBytes += port.nSegmentLength;
        port.nSegmentSent = 0;
        port.nTotalPos = 1000;
    }
    Tell([&](ISendView& view) { view.Ended(port, port.nEndMs); });
    if (std::all_of(m_ports.begin(), m_ports.end(), [](const PortState& p) { return p.bEnded; })) {
        std::vector<int> results;
        for (const PortState& each : m_ports) {
            results.push_back(each.nResult);
        }
        CloseRun(CombinedExitStatus(results));
    }
}

void CSendRun::OnInterrupt(int nSignal) {
    if (m_bClosed) {
        return;
    }
    const uint64_t nNowMs = NowMs();
    for (size_t i = 0; i < m_ports.size(); ++i) {
        PortState& port = m_ports[i];
        Attempt& attempt = *m_attempts[i];
        if (port.bEnded) {
            continue;
        }
        attempt.bRunning = false;
        attempt.session.ClosePort();
        port.bEnded = true;
        port.bCancelled = true;
        port.nResult = 128 + nSignal;
        port.nEndMs = nNowMs;
        port.nResent = attempt.session.Sender().ResentBlocks();
        Tell([&](ISendView& view) { view.Cancelled(port, nSignal, nNowMs); });
    }
    Tell([&](ISendView& view) { view.Interrupted(nNowMs); });
    CloseRun(128 + nSignal);
}

void CSendRun::CloseRun(int nExit) {
    m_bClosed = true;
    m_nExit = nExit;
    Tell([&](ISendView& view) { view.Closed(m_ports); });
    m_pDriver->Exit(nExit);
}
