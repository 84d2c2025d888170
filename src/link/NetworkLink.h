// CNetworkLink: a serial line behind a serial device server, reached over TCP. For
// "rfc2217://" the connection speaks telnet (libtelnet) with the COM-PORT-OPTION of RFC 2217:
// the line is set to the requested rate, 8 data bits, no parity, one stop bit and no flow
// control, DTR and RTS off; data bytes 0xFF are doubled on the way out and undoubled on the
// way in, and every other telnet command, negotiation or subnegotiation from the server is
// consumed here. For "tcp://" the bytes pass unchanged and the line is the server's business.
//
// Threads. The owner (the user-interface thread) sets the target and later closes the link;
// the reader thread connects it (Connect) and then runs the receive side (ReceiveFromSocket,
// Receive); the owner writes only once IsConnected holds, and closes only while no reader uses
// the link. IsConnected is the hand-over: everything Connect did is visible to whoever saw it
// true. The telnet decoder and everything it learns belong to the receive side alone; the
// writer encodes with a telnet state of its own. Both sides send through one output queue whose
// mutex is held only around a non-blocking send, so that a negotiation answer never splits an
// escaped data write.
//
// Bounds. The output queue holds at most MAX_OUT_QUEUED bytes; a server that stops reading
// makes Write fail with ETIMEDOUT and negotiation answers are dropped. One receive step reads
// at most MAX_READ bytes and yields at most MAX_DATA_PER_STEP data bytes; subnegotiations are
// capped by libtelnet (16 KiB, then dropped). The reader takes data no faster than
// MAX_DATA_RATE bytes a second (ReceiveWait), far above any serial line, so a flooding server
// cannot queue more events than the user-interface thread handles. A server that starts
// compression, which is never asked for, breaks the link.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "PortAddress.h"

struct telnet_t;
union telnet_event_t;

class CNetworkLink {
public:
    static constexpr size_t MAX_OUT_QUEUED = 64 * 1024;
    static constexpr size_t MAX_READ = 4096;
    static constexpr size_t MAX_DATA_PER_STEP = 64 * 1024;
    static constexpr uint32_t MAX_DATA_RATE = 256 * 1024;
    static constexpr std::chrono::milliseconds CONNECT_TIMEOUT{5000};
    // How long Open waits for each stage of the server's answers (the option, the settings).
    static constexpr std::chrono::milliseconds NEGOTIATION_WAIT{500};

    enum ReceiveOutcome { RECEIVED, CLOSED, FAILED };

    CNetworkLink();
    ~CNetworkLink();
    CNetworkLink(const CNetworkLink&) = delete;
    CNetworkLink& operator=(const CNetworkLink&) = delete;

    // Connects (at most CONNECT_TIMEOUT) and, for RFC 2217, sets the line at nLineRate (a rate
    // the caller has already mapped) before returning. 1 when open; 0 with nothing left open,
    // an errno value in nError (ECONNREFUSED, EHOSTUNREACH for an unknown host, ETIMEDOUT...)
    // and "ADDRESS: reason" in strDetail. With nWakeFd, the connect and the negotiation give
    // up as soon as that descriptor is readable (ECANCELED; it is not read); the name lookup
    // cannot be interrupted and is waited for.
    int Open(const CPortAddress& address, int nLineRate, int& nError, std::string& strDetail,
             int nWakeFd = -1);
    // What Connect opens; set by the owner before handing the link to the reader.
    void SetTarget(const CPortAddress& address, int nLineRate);
    // Open on the target set before.
    int Connect(int nWakeFd, int& nError, std::string& strDetail);
    // Set once Open succeeded, cleared by Close.
    bool IsConnected() const { return m_bConnected.load(std::memory_order_acquire); }
    // Makes the connected socket nFd the link (owned from here on) and, for RFC 2217, starts
    // the negotiation without waiting for answers. Open uses it; so do tests.
    void Attach(int nFd, CPortAddress::Kind nKind, const std::string& strAddress);
    // Sends the line settings (RFC 2217 only; nothing for raw TCP).
    void SendLineSettings(uint32_t nLineRate);
    // Closes the socket and forgets the telnet states. 0 when close failed (errno in nError).
    int Close(int& nError);

    int Fd() const { return m_nFd; }
    bool IsOpen() const { return m_nFd >= 0; }
    const std::string& Address() const { return m_strAddress; }

    // Queues the bytes, telnet-escaped for RFC 2217, and sends what the socket takes at once;
    // never waits. 1 when queued; 0 with errno in LastWriteError (EBADF closed, ETIMEDOUT the
    // queue is full because the server stopped reading, EPIPE/ECONNRESET connection gone).
    int Write(const void* pBuffer, uint32_t nLength);
    int LastWriteError() const { return m_nWriteError; }
    // Bytes waiting to go out.
    size_t OutQueued();

    // Receive side. How long to wait before the next read so as to stay under MAX_DATA_RATE
    // (zero: read now).
    std::chrono::milliseconds ReceiveWait();
    // Reads what the socket has (never waits) and appends the data bytes to data, starting
    // with any that arrived while Open waited. CLOSED when the server closed the connection,
    // FAILED on a socket error or a broken telnet stream (errno in nError, reason in
    // strReason); RECEIVED otherwise, also when nothing was there.
    ReceiveOutcome ReceiveFromSocket(std::vector<uint8_t>& data, int& nError,
                                     std::string& strReason);
    // The receive step: raw bytes from the server to data bytes, answering negotiation through
    // the output queue. false once the telnet stream is broken.
    bool Receive(const uint8_t* pRaw, size_t nLength, std::vector<uint8_t>& data);

    // Whether the server is the wrong kind for the scheme, from what it sent so far: a raw
    // "tcp://" server that sends telnet negotiation (IAC WILL, WONT, DO, DONT or SB), or an
    // "rfc2217://" server that has not agreed to the COM-PORT-OPTION since the connection was
    // made (the line settings were then never applied). Empty when neither; else one line
    // that says what to use instead. Any thread; what the receive side learnt is published
    // through atomics.
    std::string WrongScheme() const;

    // What the server said (receive side): whether it agreed to the COM-PORT-OPTION, and the
    // rate it acknowledged (0 until then).
    bool ComPortAgreed() const { return m_bComPortAgreed; }
    uint32_t AcknowledgedRate() const { return m_nAckedRate; }

private:
    static void OnDecoderEvent(telnet_t* pTelnet, telnet_event_t* pEvent, void* pThis);
    static void OnEncoderEvent(telnet_t* pTelnet, telnet_event_t* pEvent, void* pThis);
    void OnSubnegotiation(const uint8_t* pData, size_t nLength);
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
    CPortAddress::Kind m_nKind = CPortAddress::RAW_TCP;
    std::string m_strAddress;

    // Receive side.
    telnet_t* m_pDecoder = nullptr;
    std::vector<uint8_t>* m_pData = nullptr;  // where the decoder's data goes during a step
    size_t m_nDataLimit = 0;                  // the size m_pData may reach in this step
    std::vector<uint8_t> m_pending;           // data that arrived while Open waited
    bool m_bBroken = false;
    bool m_bComPortAgreed = false;
    bool m_bComPortRefused = false;
    bool m_bRawIac = false;  // raw TCP: the last byte received was IAC
    std::atomic<bool> m_bTelnetOnRaw{false};
    std::atomic<bool> m_bAgreedSeen{false};
    unsigned m_nAcks = 0;  // bit n: the answer to COM-PORT command n arrived
    uint32_t m_nAckedRate = 0;
    std::chrono::steady_clock::time_point m_tBucket{};  // when the rate budget was last filled
    double m_dBudget = 0;                               // data bytes that may be read now

    // Sending side (user-interface thread).
    telnet_t* m_pEncoder = nullptr;
    std::vector<uint8_t> m_encoded;
    int m_nWriteError = 0;

    std::mutex m_outMutex;  // the output queue and the socket's sending side
    std::vector<uint8_t> m_out;
    bool m_bOutFailed = false;
    int m_nOutError = 0;
};
