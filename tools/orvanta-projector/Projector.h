// CProjector: the receiving end of the upgrade protocol, run on the master of a pseudo-terminal.
//
// Per segment: it sends 'C' (again every second until a packet starts), takes 133-byte packets
// (SOH, block number, its complement, 128 data bytes, CRC-16/MODBUS low byte first) and
// answers each with ACK or NAK: a packet with the expected number is stored, a resend of the
// block just stored is acknowledged again without storing, anything else is refused. A packet
// whose bytes stop for a second is refused and forgotten. EOT is acknowledged, the stored
// bytes are read as a download segment and dumped, and the next segment is requested.
//
// Everything runs on one thread in one poll loop that never stops reading the line, so the
// sender's writes never block. Answers go through a queue with due times: that is where the
// line rate is paced (a packet is not answered before its 133 bytes could have arrived, each
// byte sent takes its time on the line), where --ack-delay waits and where --reply-latency
// holds each byte back as a USB adapter would. Faults from the options are applied on the way
// (see ProjectorOptions).
//
// A bad line, from the options and a random generator seeded with --seed: stray bytes toward
// the sender (queued with the answers, so they keep the line's pace) and packets taken as
// damaged (answered with NAK like a CRC mismatch). As a strict receiver it stores blocks in
// order only: a repeat of the block it last took is answered with ACK and dropped, any other
// unexpected number with NAK. --stop-after-files N takes N segments and then never asks again.
// With --expect, each segment is compared with the package's own, for the summary.
//
// A sender that closes the line without having sent anything is followed by a fresh device
// (its path printed on stdout, the link moved), since a killed sender can leave the old one
// marked exclusive. The run ends when the sender closes the line after sending anything, after
// the requested number of segments, on --hangup-after, or when the stop descriptor becomes
// readable (a signalfd). summary.json is written after each segment and at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "DumpFolder.h"
#include "ProjectorOptions.h"

class CPseudoTerminal;

class CProjector {
public:
    // nStopFd: a descriptor that becomes readable when the run must end (not owned).
    // pDump: where to dump, or null for no dump (not owned; must outlive Run).
    CProjector(const ProjectorOptions& options, int nStopFd, const CDumpFolder* pDump);

    // Serves the line until the run ends. Returns 0, or 1 when the line or the dump failed.
    int Run(CPseudoTerminal& line);

private:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    struct PendingByte {
        uint8_t m_nByte;
        TimePoint m_tDue;
    };

    bool LineIsDown() const;
    void WaitForStop(std::chrono::milliseconds wait);
    void PollOnce(TimePoint now);
    void OnTimers(TimePoint now);
    void OnConnected(TimePoint now);
    void OnLineDown();
    void OnBytes(const uint8_t* pData, size_t nLength, TimePoint now);
    void OnPacket(TimePoint now);
    void AnswerPacket(uint64_t nPacket, TimePoint now);
    // With --expect: the package's segments into m_expected. false with the reason.
    bool LoadExpected(std::string& strError);
    void OnEot(TimePoint now);
    void FinishSegment(TimePoint now);
    void HangUp();
    void RequestSegment(TimePoint now);
    // Queues ACK or NAK (pWhat says for what) no earlier than tNotBefore; nothing once silent.
    void Answer(uint8_t nReply, TimePoint tNotBefore, const char* pWhat);
    void Queue(uint8_t nByte, TimePoint tNotBefore);
    void FlushDue(TimePoint now);
    void SaveSummary();
    // Seconds from the program's start to t.
    double SinceStart(TimePoint t) const;
    // One line on stderr with --verbose.
    void Log(const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
    // One line on stderr always.
    void Warn(const char* pFormat, ...) __attribute__((format(printf, 2, 3)));

    const ProjectorOptions m_options;
    const int m_nStopFd;
    const CDumpFolder* m_pDump;
    CPseudoTerminal* m_pLine = nullptr;
    const Clock::duration m_byteTime;  // one byte at the paced rate, 0 when unpaced
    const TimePoint m_tStart;

    // The line and the run.
    bool m_bConnected = false;     // a sender holds the device
    bool m_bDataReceived = false;  // the sender has sent anything at all
    bool m_bStop = false;
    bool m_bHungUp = false;
    bool m_bSilent = false;
    bool m_bFinishing = false;  // --segments reached: waiting for the last answer to go out
    TimePoint m_tFinishBy{};
    int m_nStatus = 0;

    // What goes out.
    std::deque<PendingByte> m_txQueue;
    TimePoint m_tTxFree{};  // when the paced line is free for the next byte
    bool m_bWantWrite = false;
    bool m_bRequesting = false;  // sending 'C' until a packet starts
    TimePoint m_tNextRequest{};

    // What comes in.
    uint8_t m_packet[133] = {};
    size_t m_nPacketFill = 0;
    TimePoint m_tPacketStart{};
    TimePoint m_tLastByte{};

    // The segment being received.
    std::vector<uint8_t> m_segmentData;
    uint8_t m_nExpectedBlock = 1;
    bool m_bSegmentJustClosed = false;     // its EOT acknowledged, no block of the next one yet
    uint64_t m_nPacketsAtLastSegment = 0;  // packets received when the last segment closed

    // Faults.
    uint64_t m_nFreshBlocks = 0;  // intact new blocks, each counted once for --nak-every
    bool m_bHeldBack = false;     // the current block was refused once by --nak-every
    bool m_bDamaged = false;      // the packet being answered is taken as damaged
    std::set<std::pair<uint32_t, uint32_t>> m_damagedDone;  // listed blocks already damaged

    std::mt19937_64 m_random;
    std::vector<std::vector<uint8_t>> m_expected;  // the package's segments, with --expect

    RunSummary m_summary;
};
