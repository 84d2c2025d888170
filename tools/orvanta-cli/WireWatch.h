// What went over the line during `send`, told as the sender's events (SenderEvent.h): the
// projector's requests and answers, and each packet or EOT the sender wrote, with resends told
// apart from new packets.
//
// CWatchedSession is the upgrade session with its two ends of the line observed: the bytes
// the sender writes (WritePort) and the bytes the reader delivers (before the sender sees
// them). The session and the sender work exactly as without the watch. A packet is new when it
// carries the number after the newest block of the file, and otherwise a resend of an earlier
// block (the last one, or the one before it); an EOT is a resend when it follows an EOT. A
// resend after a NAK is REFUSED, any other STEP_BACK.
#pragma once

#include <cstdint>
#include <functional>

#include "SenderEvent.h"
#include "UpgradeSession.h"

class CWatchedSession : public CUpgradeSession {
public:
    using EventSink = std::function<void(const CSenderEvent&)>;
    explicit CWatchedSession(EventSink sink) : m_sink(std::move(sink)) {}

    int WritePort(const void* pBuffer, uint32_t nLength) override;

protected:
    bool event(QEvent* pEvent) override;

private:
    EventSink m_sink;
    bool m_bWaitingForRequest = true;  // nothing of the next file written yet
    uint32_t m_nFile = 0;
    uint32_t m_nBlock = 0;    // index within the file of the last new packet
    int m_nLastWritten = -1;  // block number of the last packet, 256 for EOT, -1 for none
    bool m_bNakSinceWrite = false;
};
