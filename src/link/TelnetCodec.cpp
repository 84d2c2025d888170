#include "TelnetCodec.h"

#include <libtelnet.h>

#include <algorithm>

namespace {

constexpr unsigned char TELOPT_COM_PORT = 44;
// Client commands of the COM-PORT-OPTION; the server answers each with the code plus 100.
constexpr unsigned char SET_BAUDRATE = 1;
constexpr unsigned char SET_DATASIZE = 2;
constexpr unsigned char SET_PARITY = 3;
constexpr unsigned char SET_STOPSIZE = 4;
constexpr unsigned char SET_CONTROL = 5;
constexpr unsigned char SERVER_OFFSET = 100;
constexpr unsigned char PARITY_NONE = 1;
constexpr unsigned char STOPSIZE_ONE = 1;
constexpr unsigned char CONTROL_NO_FLOW = 1;
constexpr unsigned char CONTROL_DTR_OFF = 9;
constexpr unsigned char CONTROL_RTS_OFF = 12;
constexpr unsigned char CONTROL_NO_FLOW_INBOUND = 14;
constexpr unsigned kAllSettingsAcked = (1u << SET_BAUDRATE) | (1u << SET_DATASIZE) |
                                       (1u << SET_PARITY) | (1u << SET_STOPSIZE) |
                                       (1u << SET_CONTROL);

// What the decoder accepts when the server asks: binary both ways (so CR and NUL pass as
// data) and suppressed go-ahead; the COM-PORT-OPTION we offer ourselves.
constexpr telnet_telopt_t kDecoderOptions[] = {
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {TELOPT_COM_PORT, TELNET_WILL, TELNET_DONT},
    {-1, 0, 0},
};
constexpr telnet_telopt_t kNoOptions[] = {{-1, 0, 0}};

void Append(std::vector<uint8_t>& to, const char* pBuffer, size_t nSize) {
    const auto* p = reinterpret_cast<const uint8_t*>(pBuffer);
    to.insert(to.end(), p, p + nSize);
}

}  // namespace

CTelnetCodec::CTelnetCodec(bool bTelnet) : m_bTelnet(bTelnet) {
    if (!m_bTelnet) {
        return;
    }
    m_pDecoder = telnet_init(kDecoderOptions, &CTelnetCodec::OnDecoderEvent, 0, this);
    m_pWatcher = telnet_init(kNoOptions, &CTelnetCodec::OnWatcherEvent, TELNET_FLAG_PROXY, this);
    m_pEncoder = telnet_init(kNoOptions, &CTelnetCodec::OnEncoderEvent, 0, this);
    if (m_pDecoder == nullptr || m_pWatcher == nullptr || m_pEncoder == nullptr) {
        Raise(BROKEN);
        return;
    }
    telnet_negotiate(m_pDecoder, TELNET_WILL, TELOPT_COM_PORT);
    telnet_negotiate(m_pDecoder, TELNET_WILL, TELNET_TELOPT_BINARY);
    telnet_negotiate(m_pDecoder, TELNET_DO, TELNET_TELOPT_BINARY);
}

CTelnetCodec::~CTelnetCodec() {
    if (m_pDecoder != nullptr) {
        telnet_free(m_pDecoder);
    }
    if (m_pWatcher != nullptr) {
        telnet_free(m_pWatcher);
    }
    if (m_pEncoder != nullptr) {
        telnet_free(m_pEncoder);
    }
}

void CTelnetCodec::Raise(unsigned nEvents) {
    m_nStepEvents |= nEvents & ~m_nEvents;
    m_nEvents |= nEvents;
}

unsigned CTelnetCodec::Receive(const uint8_t* pRaw, size_t nLength, std::vector<uint8_t>& data) {
    m_nStepEvents = 0;
    if (Has(BROKEN)) {
        return 0;
    }
    if (!m_bTelnet) {
        const size_t nTake = std::min(nLength, MAX_DATA_PER_STEP);
        for (size_t i = 0; i < nTake; ++i) {
            if (m_bRawIac && pRaw[i] >= TELNET_SB && pRaw[i] <= TELNET_DONT) {
                Raise(TELNET_ON_RAW);
            }
            m_bRawIac = pRaw[i] == TELNET_IAC;
        }
        data.insert(data.end(), pRaw, pRaw + nTake);
        return m_nStepEvents;
    }
    m_pData = &data;
    m_nDataLimit = data.size() + MAX_DATA_PER_STEP;
    telnet_recv(m_pDecoder, reinterpret_cast<const char*>(pRaw), nLength);
    m_pData = nullptr;
    // After the decoder, so that an agreement and a withdrawal in one step are no refusal.
    if (!Has(BROKEN)) {
        telnet_recv(m_pWatcher, reinterpret_cast<const char*>(pRaw), nLength);
    }
    return m_nStepEvents;
}

void CTelnetCodec::SendLineSettings(uint32_t nLineRate) {
    if (m_pDecoder == nullptr || Has(BROKEN)) {
        return;
    }
    const unsigned char rate[] = {SET_BAUDRATE, static_cast<unsigned char>(nLineRate >> 24),
                                  static_cast<unsigned char>(nLineRate >> 16),
                                  static_cast<unsigned char>(nLineRate >> 8),
                                  static_cast<unsigned char>(nLineRate)};
    telnet_subnegotiation(m_pDecoder, TELOPT_COM_PORT, reinterpret_cast<const char*>(rate),
                          sizeof rate);
    const unsigned char settings[][2] = {
        {SET_DATASIZE, 8},
        {SET_PARITY, PARITY_NONE},
        {SET_STOPSIZE, STOPSIZE_ONE},
        {SET_CONTROL, CONTROL_NO_FLOW},
        {SET_CONTROL, CONTROL_NO_FLOW_INBOUND},
        {SET_CONTROL, CONTROL_DTR_OFF},
        {SET_CONTROL, CONTROL_RTS_OFF},
    };
    for (const auto& setting : settings) {
        telnet_subnegotiation(m_pDecoder, TELOPT_COM_PORT, reinterpret_cast<const char*>(setting),
                              sizeof setting);
    }
}

void CTelnetCodec::TakeOutput(std::vector<uint8_t>& out) {
    out.insert(out.end(), m_output.begin(), m_output.end());
    m_output.clear();
}

void CTelnetCodec::Encode(const uint8_t* pData, size_t nLength, std::vector<uint8_t>& out) {
    if (m_pEncoder == nullptr) {
        if (!m_bTelnet) {
            out.insert(out.end(), pData, pData + nLength);
        }
        return;
    }
    m_pEncoded = &out;
    telnet_send(m_pEncoder, reinterpret_cast<const char*>(pData), nLength);
    m_pEncoded = nullptr;
}

void CTelnetCodec::OnDecoderEvent(telnet_t*, telnet_event_t* pEvent, void* pThis) {
    auto* self = static_cast<CTelnetCodec*>(pThis);
    switch (pEvent->type) {
        case TELNET_EV_DATA:
            if (self->m_pData != nullptr && self->m_pData->size() < self->m_nDataLimit) {
                Append(*self->m_pData, pEvent->data.buffer,
                       std::min(pEvent->data.size, self->m_nDataLimit - self->m_pData->size()));
            }
            break;
        case TELNET_EV_SEND:
            // Kept whole or not at all, so that no command is ever split.
            if (self->m_output.size() + pEvent->data.size <= MAX_OUTPUT) {
                Append(self->m_output, pEvent->data.buffer, pEvent->data.size);
            }
            break;
        case TELNET_EV_DO:
            if (pEvent->neg.telopt == TELOPT_COM_PORT) {
                self->Raise(COM_PORT_AGREED);
            }
            break;
        case TELNET_EV_SUBNEGOTIATION:
            if (pEvent->sub.telopt == TELOPT_COM_PORT) {
                self->OnSubnegotiation(reinterpret_cast<const uint8_t*>(pEvent->sub.buffer),
                                       pEvent->sub.size);
            }
            break;
        case TELNET_EV_COMPRESS:
        case TELNET_EV_ERROR:
            self->Raise(BROKEN);
            break;
        default:
            break;  // other commands, options and warnings (an over-long subnegotiation)
    }
}

void CTelnetCodec::OnSubnegotiation(const uint8_t* pData, size_t nLength) {
    if (nLength == 0 || pData[0] <= SERVER_OFFSET || pData[0] > SERVER_OFFSET + 31) {
        return;
    }
    m_nAcks |= 1u << (pData[0] - SERVER_OFFSET);
    if ((m_nAcks & kAllSettingsAcked) == kAllSettingsAcked) {
        Raise(SETTINGS_ACKNOWLEDGED);
    }
}

void CTelnetCodec::OnWatcherEvent(telnet_t*, telnet_event_t* pEvent, void* pThis) {
    auto* self = static_cast<CTelnetCodec*>(pThis);
    if (pEvent->type == TELNET_EV_DONT && pEvent->neg.telopt == TELOPT_COM_PORT &&
        !self->Has(COM_PORT_AGREED)) {
        self->Raise(COM_PORT_REFUSED);
    }
}

void CTelnetCodec::OnEncoderEvent(telnet_t*, telnet_event_t* pEvent, void* pThis) {
    auto* self = static_cast<CTelnetCodec*>(pThis);
    if (pEvent->type == TELNET_EV_SEND && self->m_pEncoded != nullptr) {
        Append(*self->m_pEncoded, pEvent->data.buffer, pEvent->data.size);
    }
}
