// CTelnetCodec: the byte stream of a serial device server, without the connection. Raw bytes
// from the server go in; out come the data bytes, what the codec learnt (events) and the bytes
// it must send back. No sockets, threads or clocks: the caller moves the bytes.
//
// In telnet mode (the "rfc2217://" scheme) it speaks telnet (libtelnet) with the COM-PORT-OPTION
// of RFC 2217: it offers the option and binary both ways, accepts binary and suppressed go-ahead
// when the server asks, undoubles 0xFF in the data and consumes every other command, negotiation
// or subnegotiation; the line settings it sends are the requested rate, 8 data bits, no parity,
// one stop bit, no flow control, DTR and RTS off. In raw mode (the "tcp://" scheme) data passes
// unchanged and the codec only watches for telnet negotiation, the sign of a server of the wrong
// kind.
//
// Bounds. One Receive yields at most MAX_DATA_PER_STEP data bytes (only an inflating stream
// would give more; the rest is dropped). Answers the caller has not taken are kept up to
// MAX_OUTPUT bytes, then dropped. libtelnet keeps at most 16 KiB of a subnegotiation; it
// drops a longer one and reads what follows as data. A server that starts compression, which
// is never asked for, breaks the stream.
//
// Threads. The receive side (Receive, SendLineSettings, TakeOutput, the events) and Encode keep
// separate telnet states: one thread may encode while another receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct telnet_t;
union telnet_event_t;

class CTelnetCodec {
public:
    static constexpr size_t MAX_DATA_PER_STEP = 64 * 1024;
    static constexpr size_t MAX_OUTPUT = 64 * 1024;

    // What the server's bytes told so far; each is raised once and then stays.
    enum Event : unsigned {
        COM_PORT_AGREED = 1u << 0,        // telnet: the server said DO COM-PORT-OPTION
        COM_PORT_REFUSED = 1u << 1,       // telnet: DONT COM-PORT-OPTION before any agreement
        SETTINGS_ACKNOWLEDGED = 1u << 2,  // telnet: every line setting was answered
        TELNET_ON_RAW = 1u << 3,          // raw: IAC followed by SB, WILL, WONT, DO or DONT
        BROKEN = 1u << 4,  // telnet: a stream libtelnet cannot decode, or compression
    };

    // bTelnet picks the mode. In telnet mode the opening negotiation waits in the output.
    explicit CTelnetCodec(bool bTelnet);
    ~CTelnetCodec();
    CTelnetCodec(const CTelnetCodec&) = delete;
    CTelnetCodec& operator=(const CTelnetCodec&) = delete;

    bool IsTelnet() const { return m_bTelnet; }

    // Decodes nLength raw bytes and appends their data bytes to data; answers to the server's
    // negotiation go to the output. The events this step raised (a mask of Event).
    unsigned Receive(const uint8_t* pRaw, size_t nLength, std::vector<uint8_t>& data);
    // Every event raised so far.
    unsigned Events() const { return m_nEvents; }
    bool Has(Event nEvent) const { return (m_nEvents & nEvent) != 0; }

    // Queues the line settings at nLineRate in the output (telnet mode; nothing in raw mode).
    void SendLineSettings(uint32_t nLineRate);
    // Moves the bytes waiting to go to the server to the end of out.
    void TakeOutput(std::vector<uint8_t>& out);
    size_t OutputSize() const { return m_output.size(); }

    // Appends nLength data bytes to out as they go on the wire: 0xFF doubled in telnet mode.
    void Encode(const uint8_t* pData, size_t nLength, std::vector<uint8_t>& out);

private:
    static void OnDecoderEvent(telnet_t* pTelnet, telnet_event_t* pEvent, void* pThis);
    static void OnWatcherEvent(telnet_t* pTelnet, telnet_event_t* pEvent, void* pThis);
    static void OnEncoderEvent(telnet_t* pTelnet, telnet_event_t* pEvent, void* pThis);
    void OnSubnegotiation(const uint8_t* pData, size_t nLength);
    void Raise(unsigned nEvents);

    bool m_bTelnet;
    unsigned m_nEvents = 0;
    unsigned m_nStepEvents = 0;

    // Receive side.
    telnet_t* m_pDecoder = nullptr;
    // The same bytes again, in libtelnet's proxy mode: the decoder keeps a refusal of an option
    // we offered to itself, the watcher reports every negotiation as it came.
    telnet_t* m_pWatcher = nullptr;
    std::vector<uint8_t>* m_pData = nullptr;  // where the decoder's data goes during a step
    size_t m_nDataLimit = 0;                  // the size m_pData may reach in this step
    std::vector<uint8_t> m_output;
    unsigned m_nAcks = 0;    // bit n: the answer to COM-PORT command n arrived
    bool m_bRawIac = false;  // raw: the last byte received was IAC

    // Encoding side.
    telnet_t* m_pEncoder = nullptr;
    std::vector<uint8_t>* m_pEncoded = nullptr;
};
