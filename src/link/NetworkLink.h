// CNetworkLink: a serial line behind a serial device server, reached over TCP: the connection
// around a CTelnetCodec. "rfc2217://" speaks telnet with the COM-PORT-OPTION (the codec sets
// the line at the requested rate, 8N1, no flow control, DTR and RTS off); "tcp://" passes the
// bytes unchanged and leaves the line to the server.
//
// Threads. The owner (the user-interface thread) sets the target and later closes the link;
// the reader thread connects it (Connect) and then runs the receive side (ReceiveFromSocket);
// the owner writes only once IsConnected holds, and closes only while no reader uses the link.
// IsConnected is the hand-over: everything Connect did is visible to whoever saw it true. The
// codec's receive side belongs to the reader, its encoder to the writer. Both send through one
// output queue whose mutex is held only around a non-blocking send, so that a negotiation
// answer never splits an escaped data write.
//
// Bounds. The output queue holds at most MAX_OUT_QUEUED bytes; a server that stops reading
// makes Write fail with ETIMEDOUT and negotiation answers are dropped. One receive step reads
// at most MAX_READ bytes. The reader takes data no faster than MAX_DATA_RATE bytes a second
// (ReceiveWait), far above any serial line, so a flooding server cannot queue more events than
// the user-interface thread handles.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PortAddress.h"
#include "TelnetCodec.h"

class CNetworkLink {
public:
    static constexpr size_t MAX_OUT_QUEUED = 64 * 1024;
    static constexpr size_t MAX_READ = 4096;
    static constexpr uint32_t MAX_DATA_RATE = 256 * 1024;
    static constexpr std::chrono::milliseconds CONNECT_TIMEOUT{5000};
    // How long Connect waits for each stage of the server's answers (the option, the settings).
    static constexpr std::chrono::milliseconds NEGOTIATION_WAIT{500};

    enum ReceiveOutcome { RECEIVED, CLOSED, FAILED };

    CNetworkLink();
    ~CNetworkLink();
    CNetworkLink(const CNetworkLink&) = delete;
    CNetworkLink& operator=(const CNetworkLink&) = delete;

    // What Connect opens, with the line rate the caller has already mapped; set by the owner
    // before handing the link to the reader.
    void SetTarget(const CPortAddress& address, int nLineRate);
    // Connects (at most CONNECT_TIMEOUT) and, for RFC 2217, sets the line before returning.
    // 1 when open; 0 with nothing left open, an errno value in nError (ECONNREFUSED,
    // EHOSTUNREACH for an unknown host, ETIMEDOUT...) and "ADDRESS: reason" in strDetail. The
    // connect and the negotiation give up as soon as nWakeFd (when >= 0) is readable
    // (ECANCELED; it is not read); the name lookup cannot be interrupted and is waited for.
    int Connect(int nWakeFd, int& nError, std::string& strDetail);
    // Set once Connect succeeded, cleared by Close.
    bool IsConnected() const { return m_bConnected.load(std::memory_order_acquire); }
    // Closes the socket and forgets the codec. 0 when close failed (errno in nError).
    int Close(int& nError);

    int Fd() const { return m_nFd; }
    const std::string& Address() const { return m_strAddress; }

    // Queues the bytes, telnet-escaped for RFC 2217, and sends what the socket takes at once;
    // never waits. 1 when queued; 0 with errno in LastWriteError (EBADF closed, ETIMEDOUT the
    // queue is full because the server stopped reading, EPIPE/ECONNRESET connection gone).
    int Write(const void* pBuffer, uint32_t nLength);
    int LastWriteError() const { return m_nWriteError; }

    // Receive side. How long to wait before the next read so as to stay under MAX_DATA_RATE
    // (zero: read now).
    std::chrono::milliseconds ReceiveWait();
    // Reads what the socket has (never waits) and appends the data bytes to data, starting
    // with any that arrived while Connect waited. CLOSED when the server closed the
    // connection, FAILED on a socket error or a broken telnet stream (errno in nError, reason
    // in strReason); RECEIVED otherwise, also when nothing was there.
    ReceiveOutcome ReceiveFromSocket(std::vector<uint8_t>& data, int& nError,
                                     std::string& strReason);

    // Whether the server is the wrong kind for the scheme, from what it sent so far: a raw
    // "tcp://" server that sends telnet negotiation, or an "rfc2217://" server that refused or
    // has not agreed to the COM-PORT-OPTION since the connection was made (the line settings
    // were then never applied). Empty when neither; else one line that says what to do. Any
    // thread; what the receive side learnt is published through atomics.
    std::string WrongScheme() const;

private:
    // Makes the connected socket nFd the link (owned from here on) and, for RFC 2217, sends
    // the opening negotiation without waiting for answers.
    void Attach(int nFd);
    // Runs the codec over raw bytes from the server, publishes what it learnt and queues its
    // answers. false once the telnet stream is broken.
    bool Decode(const uint8_t* pRaw, size_t nLength, std::vector<uint8_t>& data);
    void QueueCodecOutput();
    // Appends to the output queue and sends what fits; false when the queue would overflow.
    bool Enqueue(const uint8_t* pData, size_t nLength);
    bool FlushLocked();
    // Waits up to wait on the socket, receiving into m_pending, until done() holds; false when
    // nWakeFd became readable first.
    template <class Done>
    bool ReceiveUntil(std::chrono::milliseconds wait, int nWakeFd, Done done);
    void Reset();

    CPortAddress m_target;
    int m_nTargetRate = 57600;
    std::atomic<bool> m_bConnected{false};
    int m_nFd = -1;
    std::string m_strAddress;
    std::unique_ptr<CTelnetCodec> m_pCodec;  // set while a socket is attached

    // Receive side.
    std::vector<uint8_t> m_pending;  // data that arrived while Connect waited
    std::vector<uint8_t> m_answers;
    std::atomic<bool> m_bTelnetOnRaw{false};
    std::atomic<bool> m_bAgreedSeen{false};
    std::atomic<bool> m_bRefusedSeen{false};
    std::chrono::steady_clock::time_point m_tBucket{};  // when the rate budget was last filled
    double m_dBudget = 0;                               // data bytes that may be read now

    // Sending side (user-interface thread).
    std::vector<uint8_t> m_encoded;
    int m_nWriteError = 0;

    std::mutex m_outMutex;  // the output queue and the socket's sending side
    std::vector<uint8_t> m_out;
    bool m_bOutFailed = false;
    int m_nOutError = 0;
};
