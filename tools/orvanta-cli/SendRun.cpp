#include "SendRun.h"

#include <poll.h>
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <cerrno>

#include "InterruptWatch.h"
#include "ResultText.h"
#include "UpgradeSession.h"

namespace {

using Clock = std::chrono::steady_clock;

// Lasting waits and the live views' clocks are refreshed this often.
constexpr auto TICK_INTERVAL = std::chrono::milliseconds(500);
// The silence text counts up each second; its first words tell one kind of wait from another.
constexpr size_t WAIT_KIND_LENGTH = 12;

const char* SignalName(int nSignal) {
    return nSignal == SIGHUP ? "SIGHUP" : nSignal == SIGTERM ? "SIGTERM" : "SIGINT";
}

}  // namespace

double PortState::BytesPerSecond(uint64_t nNowMs) const {
    if (!bStarted || nNowMs <= nFirstBlockMs) {
        return 0.0;
    }
    return static_cast<double>(BytesSent()) /
           (static_cast<double>(nNowMs - nFirstBlockMs) / 1000.0);
}

std::string PortState::ResultText() const {
    return failure.nCause == CFailure::CANCELLED ? "Cancelled" : failure.Text();
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

// One port's attempt: its session, the session's observer, and what the run itself decides
// about it.
struct CSendRun::Attempt : ISessionObserver {
    Attempt(CSendRun& run, size_t i) : m_run(run), m_nIndex(i), session(*this) {}

    void OnProgress(uint32_t, uint32_t nTotalPos) override {
        m_run.OnProgress(m_nIndex, nTotalPos);
    }
    void OnSenderEvent(const CSenderEvent& event) override { m_run.OnSenderEvent(m_nIndex, event); }
    void OnMessage(const std::string& strText) override { m_run.OnMessage(m_nIndex, strText); }
    void OnFinished(const CFailure& failure) override { m_run.End(m_nIndex, failure); }

    CSendRun& m_run;
    const size_t m_nIndex;
    CUpgradeSession session;
    Clock::time_point waitDeadline = Clock::time_point::max();  // for the first request
    bool bRunning = false;                                      // opened, not yet ended
};

CSendRun::CSendRun(const SendOptions& options, const ImageSummary& summary,
                   std::vector<PortState>& ports, std::vector<ISendView*> views)
    : m_options(options), m_summary(summary), m_ports(ports), m_views(std::move(views)) {}

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
    CInterruptWatch interrupts;
    m_nextTick = Clock::now() + TICK_INTERVAL;
    for (size_t i = 0; i < m_ports.size(); ++i) {
        m_attempts.push_back(std::make_unique<Attempt>(*this, i));
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
            End(i, {package.bInf ? RESULT_INF_CORRUPT : RESULT_INVALID_INPUT,
                    CFailure::LOAD,
                    {},
                    m_options.packagePath + ": no file blocks: nothing to send"});
            continue;
        }
        if (!attempt.session.OpenPort(port.name, m_options.nBaudRate)) {
            // Delivers the port's message, which comes before the end it caused.
            attempt.session.Service();
            End(i, attempt.session.Failure());
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
    while (!m_bClosed) {
        std::vector<pollfd> fds{{interrupts.Fd(), POLLIN, 0}};
        for (const auto& pAttempt : m_attempts) {
            fds.push_back({pAttempt->session.WakeFd(), POLLIN, 0});
        }
        const auto wait = std::max(NextDeadline() - Clock::now(), Clock::duration::zero());
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(wait);
        const timespec timeout{static_cast<time_t>(nanoseconds.count() / 1000000000),
                               static_cast<long>(nanoseconds.count() % 1000000000)};
        if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) {
            std::fprintf(stderr, "orvanta-cli: poll: %s\n", strerror(errno));
            OnInterrupt(SIGTERM);
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            if (const int nSignal = interrupts.Take(); nSignal != 0) {
                OnInterrupt(nSignal);
                break;
            }
        }
        for (size_t i = 0; i < m_attempts.size() && !m_bClosed; ++i) {
            CUpgradeSession& session = m_attempts[i]->session;
            if ((fds[i + 1].revents & POLLIN) != 0 || Clock::now() >= session.NextDeadline()) {
                session.Service();
            }
        }
        if (!m_bClosed) {
            OnTime();
        }
    }
    return m_nExit;
}

void CSendRun::OnProgress(size_t i, uint32_t nTotalPos) {
    m_ports[i].nTotalPos = nTotalPos;
}

void CSendRun::OnSenderEvent(size_t i, const CSenderEvent& event) {
    Attempt& attempt = *m_attempts[i];
    PortState& port = m_ports[i];
    if (port.bEnded) {
        return;
    }
    const uint64_t nNowMs = NowMs();
    if (event.nKind == CSenderEvent::REQUEST) {
        attempt.waitDeadline = Clock::time_point::max();
    }
    port.nBytesTaken = event.nBytesTaken;
    const bool bSent = event.nKind == CSenderEvent::PACKET || event.nKind == CSenderEvent::EOT_SENT;
    port.nResent += bSent && event.nWhy != CSenderEvent::FIRST ? 1 : 0;
    // A new file starts with its first packet.
    const bool bNewFile = event.nKind == CSenderEvent::PACKET && event.nFile != port.nFile;
    if (bNewFile) {
        port.nFile = event.nFile;
        port.nSegmentLength = event.nFileBytes;
        if (event.nFile >= 1 && event.nFile <= m_summary.files.size()) {
            port.description = m_summary.files[event.nFile - 1].strDescription;
        }
        if (!port.bStarted) {
            port.bStarted = true;
            port.nFirstBlockMs = nNowMs;
        }
    }
    if (bNewFile) {
        Tell([&](ISendView& view) { view.FileStarted(port, nNowMs); });
    }
    Tell([&](ISendView& view) { view.SenderEvent(port, event, nNowMs); });
    if (event.nKind == CSenderEvent::PACKET) {
        Tell([&](ISendView& view) { view.BlockSent(port, nNowMs); });
    }
}

void CSendRun::OnMessage(size_t i, const std::string& strText) {
    if (!m_bClosed) {
        Tell([&](ISendView& view) { view.Message(m_ports[i], strText, NowMs()); });
    }
}

void CSendRun::OnTime() {
    const Clock::time_point now = Clock::now();
    for (const auto& pAttempt : m_attempts) {
        if (pAttempt->bRunning && now >= pAttempt->waitDeadline) {
            pAttempt->waitDeadline = Clock::time_point::max();
            pAttempt->session.Abort(RESULT_PROJECTOR_CANCELED, CFailure::SILENCE,
                                    "no request from the projector within " +
                                        std::to_string(m_options.nWaitSeconds) + " s");
        }
    }
    if (now < m_nextTick) {
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
        next = std::min(next, pAttempt->session.NextDeadline());
        if (pAttempt->bRunning) {
            next = std::min(next, pAttempt->waitDeadline);
        }
    }
    return next;
}

void CSendRun::End(size_t i, const CFailure& failure) {
    PortState& port = m_ports[i];
    if (port.bEnded || m_bClosed) {
        return;
    }
    m_attempts[i]->bRunning = false;
    port.bEnded = true;
    port.failure = failure;
    port.nEndMs = NowMs();
    if (!failure.Failed()) {
        port.nBytesTaken = port.nTotalBytes;
        port.nTotalPos = 1000;
    }
    Tell([&](ISendView& view) { view.Ended(port, port.nEndMs); });
    if (std::all_of(m_ports.begin(), m_ports.end(), [](const PortState& p) { return p.bEnded; })) {
        std::vector<int> results;
        for (const PortState& each : m_ports) {
            results.push_back(each.failure.nResult);
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
        if (port.bEnded) {
            continue;
        }
        const CFailure cancelled{
            128 + nSignal, CFailure::CANCELLED, {}, std::string("signal ") + SignalName(nSignal)};
        m_attempts[i]->bRunning = false;
        m_attempts[i]->session.Abort(cancelled.nResult, cancelled.nCause, cancelled.strDetail);
        port.bEnded = true;
        port.failure = cancelled;
        port.nEndMs = nNowMs;
        Tell([&](ISendView& view) { view.Cancelled(port, nNowMs); });
    }
    Tell([&](ISendView& view) { view.Interrupted(nNowMs); });
    CloseRun(128 + nSignal);
}

void CSendRun::CloseRun(int nExit) {
    m_bClosed = true;
    m_nExit = nExit;
    Tell([&](ISendView& view) { view.Closed(m_ports); });
}
