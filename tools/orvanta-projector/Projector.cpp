#include "Projector.h"

#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include "ModbusCrc.h"
#include "PackageLoader.h"
#include "PseudoTerminal.h"
#include "SegmentCutter.h"
#include "SegmentParser.h"

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t REQUEST = 'C';

constexpr size_t PACKET_SIZE = 133;
constexpr size_t DATA_SIZE = 128;
constexpr size_t CRC_OFFSET = 3 + DATA_SIZE;

constexpr std::chrono::seconds kRequestInterval(1);
constexpr std::chrono::seconds kPacketTimeout(1);
// After the last requested segment, how long its final ACK may take to be read before the
// master is closed (closing it discards what the sender has not read yet).
constexpr std::chrono::milliseconds kFinishGrace(500);
// How often to look whether a sender has opened the device.
constexpr std::chrono::milliseconds kIdleProbe(10);
// A process that sleeps until a paced byte is due wakes some 50 to 200 us late on a busy or
// virtual machine, and every block on the simulated line would take that much longer. So the
// sleep ends this much earlier and the rest of the wait polls the line without sleeping.
constexpr std::chrono::microseconds kSpinMargin(300);

std::chrono::nanoseconds ByteTime(uint32_t nBaud) {
    // 8N1: a start bit, eight data bits and a stop bit.
    return std::chrono::nanoseconds(nBaud == 0 ? 0 : 10'000'000'000LL / nBaud);
}

// The rate the sender's side of the pseudo-terminal is set to (the two ends share their
// settings); 0 for a rate outside the table or when it cannot be read.
uint32_t LineRate(int nFd) {
    static constexpr std::pair<speed_t, uint32_t> kRates[] = {
        {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
        {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    termios settings{};
    if (tcgetattr(nFd, &settings) != 0) {
        return 0;
    }
    const speed_t speed = cfgetospeed(&settings);
    for (const auto& [code, nRate] : kRates) {
        if (code == speed) {
            return nRate;
        }
    }
    return 0;
}

timespec ToTimespec(std::chrono::nanoseconds span) {
    const auto nNs = std::max<int64_t>(0, span.count());
    return timespec{static_cast<time_t>(nNs / 1'000'000'000),
                    static_cast<long>(nNs % 1'000'000'000)};
}

}  // namespace

CProjector::CProjector(const ProjectorOptions& options, int nStopFd, const CDumpFolder* pDump)
    : m_options(options),
      m_nStopFd(nStopFd),
      m_pDump(pDump),
      m_byteTime(ByteTime(options.m_nBaud)),
      m_tStart(Clock::now()),
      m_random(options.m_nSeed) {}

bool CProjector::LoadExpected(std::string& strError) {
    if (m_options.m_strExpect.empty()) {
        return true;
    }
    // Loading a script may make another folder current; the dump folder may be relative.
    char cwd[4096];
    const bool bCwd = getcwd(cwd, sizeof cwd) != nullptr;
    // A script names its HEX files relative to its own folder.
    const std::filesystem::path path = std::filesystem::absolute(m_options.m_strExpect);
    LoadedPackage package;
    const int nResult =
        chdir(path.parent_path().c_str()) == 0 ? LoadPackage(path.string(), package) : 1;
    if (nResult == 1 && package.strDetail.empty()) {
        package.strDetail = "cannot enter the folder of " + path.string();
    }
    if (bCwd && chdir(cwd) != 0) {
        strError = std::string("cannot return to ") + cwd;
        return false;
    }
    if (nResult != 0) {
        strError = package.strDetail;
        return false;
    }
    CSegmentCutter cutter;
    const uint32_t nSize = package.nSize;
    cutter.SetImage(SharedImage(std::move(package.pImage)), nSize);
    while (cutter.PrepareNextSegment()) {
        const uint8_t* pSegment = cutter.m_pSegment.get();
        m_expected.emplace_back(pSegment, pSegment + cutter.m_nSegmentLength);
        cutter.ReleaseSegment();
    }
    m_summary.m_nExpectedFiles = static_cast<int64_t>(m_expected.size());
    return true;
}

int CProjector::Run(CPseudoTerminal& line) {
    m_pLine = &line;
    if (std::string strError; !LoadExpected(strError)) {
        Warn("--expect: %s", strError.c_str());
        return 1;
    }
    // Paced answers are due to the microsecond; the default slack would add 50 us to each.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    SaveSummary();

    while (!m_bStop) {
        const TimePoint now = Clock::now();
        if (!m_bConnected) {
            if (LineIsDown()) {
                WaitForStop(kIdleProbe);
            } else {
                OnConnected(now);
            }
            continue;
        }
        OnTimers(now);
        if (!m_bStop) {
            PollOnce(now);
        }
    }

    bool bAllValid = true;
    for (const SegmentInfo& segment : m_summary.m_segments) {
        bAllValid = bAllValid && segment.m_bValid;
    }
    m_summary.m_bComplete =
        !m_summary.m_segments.empty() && bAllValid && !m_bHungUp &&
        m_summary.m_nPackets == m_nPacketsAtLastSegment && m_nPacketFill == 0 &&
        (m_options.m_nSegments == 0 || m_summary.m_segments.size() >= m_options.m_nSegments);
    SaveSummary();
    Log("end: %zu segments, %llu packets, %llu NAKs sent, line rate %u, %s",
        m_summary.m_segments.size(), static_cast<unsigned long long>(m_summary.m_nPackets),
        static_cast<unsigned long long>(m_summary.m_nNaksSent), m_summary.m_nFirstPacketRate,
        m_summary.m_bComplete ? "complete" : "incomplete");
    return m_nStatus;
}

bool CProjector::LineIsDown() const {
    pollfd fd{m_pLine->MasterFd(), POLLIN, 0};
    if (poll(&fd, 1, 0) < 0) {
        return true;
    }
    return (fd.revents & (POLLHUP | POLLERR)) != 0 && (fd.revents & POLLIN) == 0;
}

void CProjector::WaitForStop(std::chrono::milliseconds wait) {
    pollfd fd{m_nStopFd, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(wait.count())) > 0) {
        Log("asked to stop");
        m_bStop = true;
    }
}

void CProjector::PollOnce(TimePoint now) {
    TimePoint tWake = TimePoint::max();
    if (!m_txQueue.empty() && !m_bWantWrite) {
        const TimePoint tDue = m_txQueue.front().m_tDue;
        tWake = std::min(tWake, m_byteTime.count() > 0 ? tDue - kSpinMargin : tDue);
    }
    if (m_bRequesting) {
        tWake = std::min(tWake, m_tNextRequest);
    }
    if (m_nPacketFill > 0) {
        tWake = std::min(tWake, m_tLastByte + kPacketTimeout);
    }
    if (m_bFinishing) {
        tWake = std::min(tWake, m_tFinishBy == TimePoint{} ? now : m_tFinishBy);
    }
    timespec timeout{};
    const timespec* pTimeout = nullptr;
    if (tWake != TimePoint::max()) {
        timeout = ToTimespec(tWake - now);
        pTimeout = &timeout;
    }

    const short nEvents = static_cast<short>(POLLIN | (m_bWantWrite ? POLLOUT : 0));
    pollfd fds[2] = {{m_pLine->MasterFd(), nEvents, 0}, {m_nStopFd, POLLIN, 0}};
    if (ppoll(fds, 2, pTimeout, nullptr) < 0) {
        if (errno != EINTR) {
            Warn("poll failed: %s", std::strerror(errno));
            m_nStatus = 1;
            m_bStop = true;
        }
        return;
    }
    if (fds[1].revents != 0) {
        Log("asked to stop");
        m_bStop = true;
        return;
    }

    const short nReady = fds[0].revents;
    if (nReady & POLLOUT) {
        m_bWantWrite = false;
    }
    if (nReady & POLLIN) {
        uint8_t buffer[4096];
        const ssize_t n = read(m_pLine->MasterFd(), buffer, sizeof buffer);
        if (n > 0) {
            OnBytes(buffer, static_cast<size_t>(n), Clock::now());
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // EIO: nobody holds the device any more (what it sent before was read first).
            OnLineDown();
        }
    } else if (nReady & (POLLHUP | POLLERR | POLLNVAL)) {
        OnLineDown();
    }
}

void CProjector::OnTimers(TimePoint now) {
    if (m_bRequesting && now >= m_tNextRequest) {
        Queue(REQUEST, now);
        Log("requesting segment %zu with C", m_summary.m_segments.size() + 1);
        m_tNextRequest = m_tTxFree + kRequestInterval;
    }
    if (m_nPacketFill > 0 && now - m_tLastByte >= kPacketTimeout) {
        char what[64];
        std::snprintf(what, sizeof what, "packet broken off after %zu bytes", m_nPacketFill);
        m_nPacketFill = 0;
        Answer(NAK, now, what);
    }
    FlushDue(now);
    if (m_bFinishing && m_txQueue.empty()) {
        if (m_tFinishBy == TimePoint{}) {
            m_tFinishBy = now + kFinishGrace;
        } else if (now >= m_tFinishBy) {
            m_bStop = true;
        }
    }
}

void CProjector::OnConnected(TimePoint now) {
    m_bConnected = true;
    Log("a sender opened the line");
    if (m_options.m_nHangupAfter == 0) {
        HangUp();
        return;
    }
    m_tTxFree = now;
    RequestSegment(now);
}

void CProjector::OnLineDown() {
    if (m_bDataReceived) {
        Log("the sender closed the line");
        m_bStop = true;
        return;
    }
    // Opened and closed without a word: wait for the next sender on a fresh device, which
    // holds nothing it would read and no exclusive mark a killed sender may have left.
    Log("the sender closed the line before sending anything");
    m_bConnected = false;
    m_txQueue.clear();
    m_bWantWrite = false;
    m_bRequesting = false;
    std::string strError;
    if (!m_pLine->Renew(strError)) {
        Warn("%s", strError.c_str());
        m_nStatus = 1;
        m_bStop = true;
        return;
    }
    std::printf("%s\n", m_pLine->DevicePath().c_str());
    std::fflush(stdout);
    Log("waiting for the next sender on %s", m_pLine->DevicePath().c_str());
}

void CProjector::OnBytes(const uint8_t* pData, size_t nLength, TimePoint now) {
    m_bDataReceived = true;
    for (size_t i = 0; i < nLength && !m_bStop && !m_bFinishing; ++i) {
        const uint8_t nByte = pData[i];
        if (m_nPacketFill > 0) {
            m_packet[m_nPacketFill++] = nByte;
            m_tLastByte = now;
            if (m_nPacketFill == PACKET_SIZE) {
                m_nPacketFill = 0;
                OnPacket(now);
            }
        } else if (nByte == SOH) {
            m_packet[0] = nByte;
            m_nPacketFill = 1;
            m_tPacketStart = now;
            if (m_summary.m_dFirstPacket < 0) {
                m_summary.m_dFirstPacket = SinceStart(now);
                m_summary.m_nFirstPacketRate = LineRate(m_pLine->MasterFd());
                Log("first packet at %u baud", m_summary.m_nFirstPacketRate);
            }
            m_tLastByte = now;
            m_bRequesting = false;
        } else if (nByte == EOT) {
            OnEot(now);
        } else {
            Log("ignored byte 0x%02x between packets", nByte);
        }
    }
    FlushDue(Clock::now());
}

void CProjector::OnPacket(TimePoint now) {
    const uint64_t nPacket = ++m_summary.m_nPackets;
    const unsigned nBlock = m_packet[1];
    if (m_options.m_nHangupAfter > 0 &&
        nPacket == static_cast<uint64_t>(m_options.m_nHangupAfter)) {
        Log("data packet %llu (block %u): hanging up", static_cast<unsigned long long>(nPacket),
            nBlock);
        HangUp();
        return;
    }
    if (m_options.m_nSilentAfter >= 0 &&
        nPacket > static_cast<uint64_t>(m_options.m_nSilentAfter)) {
        if (!m_bSilent) {
            Log("data packet %llu (block %u): silent from here on",
                static_cast<unsigned long long>(nPacket), nBlock);
        }
        m_bSilent = true;
        return;
    }

    // The bad line: the random choices are drawn for every packet, so that a seed gives the
    // same line whatever the sender does.
    const bool bRandomStray = std::bernoulli_distribution(m_options.m_dStrayRate)(m_random);
    const bool bStrayAfter = std::bernoulli_distribution(0.5)(m_random);
    const uint8_t nStrayKind = static_cast<uint8_t>(m_random() % 3);
    const bool bRandomDamage = std::bernoulli_distribution(m_options.m_dDamageRate)(m_random);
    const TimePoint tArrived = m_tPacketStart + PACKET_SIZE * m_byteTime;
    std::vector<uint8_t> before;
    for (const StrayByte& stray : m_options.m_strays) {
        if (stray.m_nPacket == nPacket) {
            before.push_back(stray.m_nByte);
        }
    }
    const uint8_t nRandomByte = nStrayKind == 0 ? ACK : nStrayKind == 1 ? NAK : 0xA5;
    if (bRandomStray && !bStrayAfter) {
        before.push_back(nRandomByte);
    }
    for (const uint8_t nByte : before) {
        Log("data packet %llu: stray byte 0x%02x", static_cast<unsigned long long>(nPacket), nByte);
        Queue(nByte, tArrived);
        ++m_summary.m_nStrays;
    }
    // A listed block is damaged the first time it arrives as the block expected.
    const auto listed =
        std::find(m_options.m_damageAt.begin(), m_options.m_damageAt.end(),
                  std::pair{static_cast<uint32_t>(m_summary.m_segments.size() + 1),
                            static_cast<uint32_t>(m_segmentData.size() / DATA_SIZE + 1)});
    const bool bListed = listed != m_options.m_damageAt.end() && m_packet[1] == m_nExpectedBlock &&
                         m_damagedDone.insert(*listed).second;
    m_bDamaged = bRandomDamage || bListed;
    AnswerPacket(nPacket, now);
    if (bRandomStray && bStrayAfter) {
        Log("data packet %llu: stray byte 0x%02x after the answer",
            static_cast<unsigned long long>(nPacket), nRandomByte);
        Queue(nRandomByte, tArrived);
        ++m_summary.m_nStrays;
    }
}

void CProjector::AnswerPacket(uint64_t nPacket, TimePoint now) {
    const unsigned nBlock = m_packet[1];
    // Not answered before its 133 bytes could have crossed the paced line.
    const TimePoint tArrived = m_tPacketStart + PACKET_SIZE * m_byteTime;
    const TimePoint tAckDue =
        std::max(tArrived, now) + std::chrono::milliseconds(m_options.m_nAckDelayMs);
    const uint16_t nCrc = ModbusCrc16(m_packet + 3, DATA_SIZE);
    const bool bCrcGood =
        m_packet[CRC_OFFSET] == (nCrc & 0xFF) && m_packet[CRC_OFFSET + 1] == (nCrc >> 8);

    char what[96];
    const char* pReason = nullptr;
    if (m_options.m_bNakAll) {
        pReason = "refusing everything";
    } else if (m_packet[2] != static_cast<uint8_t>(~m_packet[1])) {
        pReason = "block number and complement disagree";
    } else if (!bCrcGood) {
        pReason = "CRC mismatch";
    } else if ((m_options.m_nCorruptEvery != 0 && nPacket % m_options.m_nCorruptEvery == 0) ||
               m_bDamaged) {
        pReason = "taken as damaged on request";
        ++m_summary.m_nDamaged;
    } else if (nBlock == m_nExpectedBlock) {
        if (m_options.m_nNakEvery != 0 && !m_bHeldBack &&
            ++m_nFreshBlocks % m_options.m_nNakEvery == 0) {
            m_bHeldBack = true;
            pReason = "refused once on request";
        } else {
            m_bHeldBack = false;
            m_segmentData.insert(m_segmentData.end(), m_packet + 3, m_packet + 3 + DATA_SIZE);
            ++m_nExpectedBlock;
            std::snprintf(what, sizeof what, "block %u", nBlock);
            Answer(ACK, tAckDue, what);
            return;
        }
    } else if (nBlock == static_cast<uint8_t>(m_nExpectedBlock - 1) && !m_segmentData.empty()) {
        std::snprintf(what, sizeof what, "block %u (again, already stored)", nBlock);
        Answer(ACK, tAckDue, what);
        return;
    } else {
        std::snprintf(what, sizeof what, "block %u (expected block %u)", nBlock,
                      static_cast<unsigned>(m_nExpectedBlock));
        Answer(NAK, tArrived, what);
        return;
    }
    std::snprintf(what, sizeof what, "block %u (%s)", nBlock, pReason);
    Answer(NAK, tArrived, what);
}

void CProjector::OnEot(TimePoint now) {
    const TimePoint tArrived = now + m_byteTime;
    const TimePoint tAckDue = tArrived + std::chrono::milliseconds(m_options.m_nAckDelayMs);
    if (m_bSilent) {
        Log("EOT: not answered");
    } else if (m_options.m_bNakAll) {
        Answer(NAK, tArrived, "EOT (refusing everything)");
    } else if (!m_segmentData.empty()) {
        Answer(ACK, tAckDue, "EOT");
        FinishSegment(now);
    } else if (m_bSegmentJustClosed) {
        // The segment's EOT again: its ACK went astray.
        Answer(ACK, tAckDue, "EOT (again)");
    } else {
        Answer(NAK, tArrived, "EOT before any block");
    }
}

void CProjector::FinishSegment(TimePoint now) {
    SegmentInfo info = ParseSegment(m_segmentData.data(), m_segmentData.size());
    info.m_nIndex = static_cast<uint32_t>(m_summary.m_segments.size() + 1);
    if (!m_options.m_strExpect.empty()) {
        const bool bExact = info.m_bValid && info.m_nIndex <= m_expected.size() &&
                            m_expected[info.m_nIndex - 1].size() == info.m_nLength &&
                            std::equal(m_expected[info.m_nIndex - 1].begin(),
                                       m_expected[info.m_nIndex - 1].end(), m_segmentData.begin());
        info.m_nExact = bExact ? 1 : 0;
    }
    if (info.m_bValid) {
        Log("segment %u: %u bytes, flags 0x%02x, %zu load blocks", info.m_nIndex, info.m_nLength,
            info.m_nFlags, info.m_loadBlocks.size());
    } else {
        Warn("segment %u is no valid segment: %s", info.m_nIndex, info.m_strError.c_str());
    }
    std::string strError;
    if (m_pDump != nullptr &&
        !m_pDump->WriteSegment(info.m_nIndex, m_segmentData.data(), info.m_nLength, strError)) {
        Warn("%s", strError.c_str());
        m_nStatus = 1;
    }
    m_summary.m_segments.push_back(std::move(info));
    m_nPacketsAtLastSegment = m_summary.m_nPackets;
    m_segmentData.clear();
    m_nExpectedBlock = 1;
    m_bSegmentJustClosed = true;
    m_bHeldBack = false;
    SaveSummary();

    if (m_options.m_nStopAfterFiles >= 0 &&
        m_summary.m_segments.size() >= static_cast<uint64_t>(m_options.m_nStopAfterFiles)) {
        Log("%zu segments taken: asking for no more", m_summary.m_segments.size());
    } else if (m_options.m_nSegments != 0 && m_summary.m_segments.size() >= m_options.m_nSegments) {
        Log("all %u segments received", m_options.m_nSegments);
        m_bFinishing = true;
        m_tFinishBy = TimePoint{};
    } else {
        RequestSegment(now);
    }
}

void CProjector::HangUp() {
    m_pLine->Close();
    m_bHungUp = true;
    m_bStop = true;
    m_txQueue.clear();
}

void CProjector::RequestSegment(TimePoint now) {
    m_bRequesting = true;
    m_tNextRequest = now;
}

void CProjector::Answer(uint8_t nReply, TimePoint tNotBefore, const char* pWhat) {
    if (m_bSilent) {
        Log("%s: not answered", pWhat);
        return;
    }
    Log("%s: %s", pWhat, nReply == ACK ? "ACK" : "NAK");
    if (nReply == NAK) {
        ++m_summary.m_nNaksSent;
    }
    Queue(nReply, tNotBefore);
}

void CProjector::Queue(uint8_t nByte, TimePoint tNotBefore) {
    // A byte is there for the sender once its last bit has crossed the line, and with
    // --reply-latency once the adapter's timer has run out too; the line itself is free again
    // as soon as the byte has crossed it.
    m_tTxFree = std::max(tNotBefore, m_tTxFree) + m_byteTime;
    m_txQueue.push_back({nByte, m_tTxFree + std::chrono::milliseconds(m_options.m_nLatencyMs)});
}

void CProjector::FlushDue(TimePoint now) {
    while (!m_txQueue.empty() && !m_bWantWrite && m_txQueue.front().m_tDue <= now) {
        const ssize_t n = write(m_pLine->MasterFd(), &m_txQueue.front().m_nByte, 1);
        if (n == 1) {
            if (m_txQueue.front().m_nByte == ACK) {
                m_summary.m_dLastAck = SinceStart(Clock::now());
            }
            m_txQueue.pop_front();
        } else if (n < 0 && errno == EAGAIN) {
            m_bWantWrite = true;
        } else if (n < 0 && errno != EINTR) {
            // The line went down; the poll loop sees the hang-up.
            m_txQueue.clear();
        }
    }
}

void CProjector::SaveSummary() {
    std::string strError;
    if (m_pDump != nullptr && !m_pDump->WriteSummary(m_summary, strError)) {
        Warn("%s", strError.c_str());
        m_nStatus = 1;
    }
}

double CProjector::SinceStart(TimePoint t) const {
    return std::chrono::duration<double>(t - m_tStart).count();
}

void CProjector::Log(const char* pFormat, ...) {
    if (!m_options.m_bVerbose) {
        return;
    }
    char text[512];
    va_list args;
    va_start(args, pFormat);
    std::vsnprintf(text, sizeof text, pFormat, args);
    va_end(args);
    std::fprintf(stderr, "orvanta-projector %10.6f %s\n", SinceStart(Clock::now()), text);
}

void CProjector::Warn(const char* pFormat, ...) {
    char text[512];
    va_list args;
    va_start(args, pFormat);
    std::vsnprintf(text, sizeof text, pFormat, args);
    va_end(args);
    std::fprintf(stderr, "orvanta-projector: %s\n", text);
}
