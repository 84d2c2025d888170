// CSendRun: one `send` run, an upgrade attempt on each port given, all at once on one event
// loop. One port is simply a run of one. The image is loaded once and shared read-only; each
// port has its own session (port, reader thread, sender), silence limits, wait limit, messages
// and result, so one port's failure never touches another's attempt.
//
// The sessions run on one poll() loop (no Qt): every session's wake-up descriptor, the
// signal descriptor, and a time-out that is the earliest of every session's deadline, the
// views' tick (twice a second) and the wait limits.
//
// The run keeps what is known of each port's attempt in a PortState and tells every view
// (SendViews.h, JsonView.h) of each step with the same calls, in the order things happen; the
// views only format. What each port shows comes from its sender's events (SenderEvent.h) and
// its session's failure (Failure.h), never from the sender's insides. The run owns the clock
// (milliseconds since it began), the count of packets sent again, the start of each new file,
// the wait limit for the first request and the texts of lasting waits, so each of these
// exists once whatever the output.
//
// The run ends when every port's attempt has ended, or at once on SIGINT, SIGTERM or SIGHUP
// (every port still running is closed, like the wizard's Cancel). Its exit status: 0 when
// every port succeeded, the common result when all ended alike, EXIT_SOME_FAILED otherwise,
// 128 + the signal when cancelled.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Failure.h"
#include "ImageSummary.h"
#include "PackageLoader.h"
#include "SenderEvent.h"

struct SendOptions {
    std::string packagePath;
    std::string uploadFolder;            // for a script's HEX files, empty for none
    std::vector<std::string> portNames;  // every port, in the order given, all different
    int nBaudRate = 115200;
    long nWaitSeconds = 0;     // limit on the wait for the first request; 0: none
    long nSilenceSeconds = 0;  // answer and next-request limits; 0: the sender's defaults
    bool bJson = false;        // JSON events on stdout
    bool bVerbose = false;     // protocol trace on stderr (one port)
    bool bQuiet = false;       // results only
};

// What is known of one port's attempt, as the views show it.
struct PortState {
    size_t nIndex = 0;         // in the order the ports were given
    std::string name;          // the port as given
    std::string description;   // of the file being sent (the first file's before any block)
    size_t nFile = 0;          // 1-based index of that file, 0 before the first block
    size_t nFiles = 0;         // files in the image
    uint64_t nTotalBytes = 0;  // all segments' lengths
    uint32_t nSegmentLength = 0;
    uint64_t nBytesTaken = 0;  // segment bytes the projector acknowledged, all files
    uint32_t nTotalPos = 0;    // the wizard's total bar, 0..1000
    bool bOpened = false;      // the port opened and the first request was awaited
    bool bStarted = false;     // a block went out
    uint64_t nFirstBlockMs = 0;
    std::string waitText;  // what the attempt waits for when that lasts, else empty
    uint32_t nResent = 0;  // packets and EOTs sent again
    bool bEnded = false;
    // How the attempt ended; a signal ends it with result 128 + the signal, cause CANCELLED.
    CFailure failure;
    uint64_t nEndMs = 0;

    uint64_t BytesSent() const { return nBytesTaken; }
    // Segment bytes a second since the first block (0 before it).
    double BytesPerSecond(uint64_t nNowMs) const;
    // The Done page's text for the result, or "Cancelled".
    std::string ResultText() const;
};

// One port's state for each name, before anything is opened.
std::vector<PortState> MakePortStates(const std::vector<std::string>& names,
                                      const ImageSummary& summary);

// What a run tells its output. Every call concerns one port unless said otherwise; none comes
// for a port after its Ended or Cancelled. nNowMs counts from the start of the run.
class ISendView {
public:
    virtual ~ISendView() = default;
    // Before the port is opened.
    virtual void Start(const PortState& /*port*/, uint64_t /*nNowMs*/) {}
    // The port is open; the projector's first request is awaited.
    virtual void Waiting(const PortState& /*port*/, uint64_t /*nNowMs*/) {}
    // The first block of a file is going out (port.nFile, port.description).
    virtual void FileStarted(const PortState& /*port*/, uint64_t /*nNowMs*/) {}
    // A block is going out (port.nSegmentSent, port.nTotalPos).
    virtual void BlockSent(const PortState& /*port*/, uint64_t /*nNowMs*/) {}
    // What the sender did or saw on the line.
    virtual void SenderEvent(const PortState& /*port*/, const CSenderEvent& /*event*/,
                             uint64_t /*nNowMs*/) {}
    // port.waitText changed; bBegins when a new kind of wait began (not the seconds going up).
    virtual void WaitChanged(const PortState& /*port*/, bool /*bBegins*/, uint64_t /*nNowMs*/) {}
    // About twice a second, for every port at once.
    virtual void Tick(uint64_t /*nNowMs*/) {}
    // A message of the serial port (the wizard's message box): one or two lines.
    virtual void Message(const PortState& /*port*/, const std::string& /*strText*/,
                         uint64_t /*nNowMs*/) {}
    // The attempt ended as port.failure says.
    virtual void Ended(const PortState& /*port*/, uint64_t /*nNowMs*/) {}
    // A signal ended the port's running attempt (port.failure: result 128 + the signal, cause
    // CANCELLED, the signal's name as detail).
    virtual void Cancelled(const PortState& /*port*/, uint64_t /*nNowMs*/) {}
    // Once, after the ports' Cancelled calls.
    virtual void Interrupted(uint64_t /*nNowMs*/) {}
    // Once, when every port has ended (cancelled ones too).
    virtual void Closed(const std::vector<PortState>& /*ports*/) {}
};

// The exit status for the ports' results (each 0..6): see above.
int CombinedExitStatus(const std::vector<int>& results);

class CSendRun {
public:
    // ports from MakePortStates for the image summary describes; views are told in the order
    // given. All must outlive the run.
    CSendRun(const SendOptions& options, const ImageSummary& summary, std::vector<PortState>& ports,
             std::vector<ISendView*> views);
    ~CSendRun();
    CSendRun(const CSendRun&) = delete;
    CSendRun& operator=(const CSendRun&) = delete;

    // Runs every attempt to its end; package holds the loaded image (taken). Returns the exit
    // status above.
    int Run(LoadedPackage& package);

private:
    struct Attempt;

    uint64_t NowMs() const;
    // Each view in turn.
    template <typename Call>
    void Tell(Call call);

    void OnProgress(size_t i, uint32_t nTotalPos);
    void OnSenderEvent(size_t i, const CSenderEvent& event);
    void OnMessage(size_t i, const std::string& strText);
    void OnInterrupt(int nSignal);
    // The loop: every session's wake-up descriptor and the signals, until the run is closed.
    void Loop();
    // Ticks and wait limits that are due.
    void OnTime();
    // The earliest of every session's deadline, the next tick and the wait limits.
    std::chrono::steady_clock::time_point NextDeadline() const;
    void End(size_t i, const CFailure& failure);
    void CloseRun(int nExit);

    const SendOptions& m_options;
    const ImageSummary& m_summary;
    std::vector<PortState>& m_ports;
    std::vector<ISendView*> m_views;
    std::vector<std::unique_ptr<Attempt>> m_attempts;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point m_nextTick;
    bool m_bClosed = false;
    int m_nExit = 0;
};
