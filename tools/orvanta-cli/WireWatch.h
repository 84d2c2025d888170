// What went over the line during `send`, told as protocol events: the projector's requests and
// answers, and each packet or EOT the sender wrote, with resends told apart from new packets.
//
// CWatchedSession is the upgrade session with its two ends of the line observed: the bytes
// the sender writes (WritePort) and the reader's events (before the sender sees them). The session
// and the sender work exactly as without the watch. A packet is new when it carries the number
// after the newest block of the file, and otherwise a resend of an earlier block (the last one, or
// the one before it); an EOT is a resend when it follows an EOT. The cause is the NAK that came in
// between, or, when none came, no answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "UpgradeSession.h"

class IWireObserver {
public:
    virtual ~IWireObserver() = default;
    // The projector asked for the next file with 'C'.
    virtual void Request() {}
    // A data packet went out: 1-based file index, 1-based block index within the file (not
    // wrapping at 256), the bytes of the segment it carries.
    virtual void PacketSent(uint32_t /*nFile*/, uint32_t /*nBlock*/) {}
    // The last packet (or EOT when nBlock is 0) went out again; pCause is "NAK" or "no answer".
    virtual void Resent(uint32_t /*nFile*/, uint32_t /*nBlock*/, const char* /*pCause*/) {}
    // The EOT closing file nFile went out.
    virtual void EotSent(uint32_t /*nFile*/) {}
    // The projector acknowledged (bAck) or refused what went out last.
    virtual void Answer(bool /*bAck*/) {}
};

class CWatchedSession : public CUpgradeSession {
public:
    // Observers are told in the order given; they must outlive the session.
    CWatchedSession(ISessionObserver& observer, std::vector<IWireObserver*> observers)
        : CUpgradeSession(observer), m_observers(std::move(observers)) {}

    int WritePort(const void* pBuffer, uint32_t nLength) override;

protected:
    void OnCommEvent(const CCommEvent& event) override;

private:
    std::vector<IWireObserver*> m_observers;
    bool m_bWaitingForRequest = true;  // nothing of the next file written yet
    uint32_t m_nFile = 0;
    uint32_t m_nBlock = 0;    // index within the file of the last new packet
    int m_nLastWritten = -1;  // block number of the last packet, 256 for EOT, -1 for none
    bool m_bNakSinceWrite = false;
};

// The -v trace: one line per protocol event on a stream, with milliseconds since the start.
class CWireTrace : public IWireObserver {
public:
    explicit CWireTrace(FILE* pStream) : m_pStream(pStream) {}
    void Request() override;
    void PacketSent(uint32_t nFile, uint32_t nBlock) override;
    void Resent(uint32_t nFile, uint32_t nBlock, const char* pCause) override;
    void EotSent(uint32_t nFile) override;
    void Answer(bool bAck) override;

private:
    void Line(const std::string& text);
    FILE* m_pStream;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};
