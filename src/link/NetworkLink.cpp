#include "NetworkLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libtelnet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

std::string Reason(int nError) {
    switch (nError) {
        case ECONNREFUSED:
            return "connection refused";
        case ETIMEDOUT:
            return "no answer within " +
                   std::to_string(CNetworkLink::CONNECT_TIMEOUT.count() / 1000) + " s";
        case EHOSTUNREACH:
            return "host unreachable";
        case ENETUNREACH:
            return "network unreachable";
        default:
            return std::strerror(nError);
    }
}

// Waits up to left for events on fd, or until nWakeFd (when >= 0) is readable. Like poll,
// with ECANCELED in errno when the wake-up came.
int PollOrWake(int fd, short events, milliseconds left, int nWakeFd) {
    pollfd fds[2] = {{fd, events, 0}, {nWakeFd, POLLIN, 0}};
    const int rc = poll(fds, nWakeFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (rc > 0 && fds[1].revents != 0) {
        errno = ECANCELED;
        return -1;
    }
    return rc;
}

// Connects a non-blocking socket to one address by tEnd. The socket, or -1 with nError set
// (ECANCELED when nWakeFd became readable first).
int ConnectOne(const addrinfo& info, Clock::time_point tEnd, int nWakeFd, int& nError) {
    const int fd =
        socket(info.ai_family, info.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, info.ai_protocol);
    if (fd < 0) {
        nError = errno;
        return -1;
    }
    if (connect(fd, info.ai_addr, info.ai_addrlen) == 0) {
        return fd;
    }
    nError = errno;
    while (nError == EINPROGRESS || nError == EINTR) {
        const auto left = std::chrono::ceil<milliseconds>(tEnd - Clock::now());
        if (left.count() <= 0) {
            nError = ETIMEDOUT;
            break;
        }
        const int rc = PollOrWake(fd, POLLOUT, left, nWakeFd);
        if (rc < 0) {
            nError = errno;
            if (nError == ECANCELED) {
                break;
            }
            continue;
        }
        if (rc == 0) {
            nError = ETIMEDOUT;
            break;
        }
        socklen_t nLength = sizeof nError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &nLength) != 0) {
            nError = errno;
        }
        if (nError == 0) {
            return fd;
        }
    }
    close(fd);
    return -1;
}

}  // namespace

CNetworkLink::CNetworkLink() = default;

CNetworkLink::~CNetworkLink() {
    int nError = 0;
    Close(nError);
}

void CNetworkLink::Reset() {
    if (m_pDecoder != nullptr) {
        telnet_free(m_pDecoder);
        m_pDecoder = nullptr;
    }
    if (m_pEncoder != nullptr) {
        telnet_free(m_pEncoder);
        m_pEncoder = nullptr;
    }
    m_pending.clear();
    m_bBroken = false;
    m_bComPortAgreed = false;
    m_bComPortRefused = false;
    m_bRawIac = false;
    m_bTelnetOnRaw.store(false);
    m_bAgreedSeen.store(false);
    m_nAcks = 0;
    m_nAckedRate = 0;
    m_dBudget = MAX_READ;
    m_tBucket = Clock::now();
    m_nWriteError = 0;
    std::lock_guard lock(m_outMutex);
    m_out.clear();
    m_bOutFailed = false;
    m_nOutError = 0;
}

void CNetworkLink::SetTarget(const CPortAddress& address, int nLineRate) {
    m_target = address;
    m_nTargetRate = nLineRate;
}

int CNetworkLink::Connect(int nWakeFd, int& nError, std::string& strDetail) {
    return Open(m_target, m_nTargetRate, nError, strDetail, nWakeFd);
}

int CNetworkLink::Open(const CPortAddress& address, int nLineRate, int& nError,
                       std::string& strDetail, int nWakeFd) {
    nError = 0;
    Close(nError);
    const std::string strAddress = address.Text();
    auto fail = [&](int nCode, const std::string& reason) {
        nError = nCode;
        strDetail = strAddress + ": " + reason;
        int nIgnored = 0;
        Close(nIgnored);
        return 0;
    };

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* pList = nullptr;
    const std::string port = std::to_string(address.m_nPort);
    const int rc = getaddrinfo(address.m_strHost.c_str(), port.c_str(), &hints, &pList);
    if (rc != 0) {
        const bool bUnknown = rc == EAI_NONAME || rc == EAI_FAIL || rc == EAI_AGAIN ||
                              rc == EAI_NODATA || rc == EAI_ADDRFAMILY;
        return fail(EHOSTUNREACH, bUnknown ? "unknown host" : gai_strerror(rc));
    }
    const auto tEnd = Clock::now() + CONNECT_TIMEOUT;
    int fd = -1;
    int nConnectError = ECONNREFUSED;
    for (const addrinfo* p = pList; p != nullptr && fd < 0 && nConnectError != ECANCELED;
         p = p->ai_next) {
        fd = ConnectOne(*p, tEnd, nWakeFd, nConnectError);
    }
    freeaddrinfo(pList);
    if (fd < 0) {
        return fail(nConnectError,
                    nConnectError == ECANCELED ? "closed while connecting" : Reason(nConnectError));
    }
    // Stop-and-wait: every packet is a short write that must leave at once.
    const int nOne = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);

    Attach(fd, address.m_nKind, strAddress);
    bool bCancelled = false;
    if (m_nKind == CPortAddress::RFC2217) {
        // A server that never answers costs at most two short waits; the settings go out
        // either way unless the server refused the option.
        bCancelled = !ReceiveUntil(NEGOTIATION_WAIT, nWakeFd,
                                   [this] { return m_bComPortAgreed || m_bComPortRefused; });
        if (!bCancelled && !m_bComPortRefused) {
            SendLineSettings(static_cast<uint32_t>(nLineRate));
            bCancelled = !ReceiveUntil(NEGOTIATION_WAIT, nWakeFd, [this] {
                return (m_nAcks & kAllSettingsAcked) == kAllSettingsAcked;
            });
        }
    }
    if (bCancelled) {
        return fail(ECANCELED, "closed while connecting");
    }
    if (m_nFd < 0 || m_bBroken) {
        return fail(ECONNRESET, m_bBroken ? "the server broke the telnet stream"
                                          : "connection closed by the server");
    }
    m_bConnected.store(true, std::memory_order_release);
    return 1;
}

void CNetworkLink::Attach(int nFd, CPortAddress::Kind nKind, const std::string& strAddress) {
    int nIgnored = 0;
    Close(nIgnored);
    Reset();
    m_nFd = nFd;
    m_nKind = nKind;
    m_strAddress = strAddress;
    if (m_nKind != CPortAddress::RFC2217) {
        return;
    }
    m_pDecoder = telnet_init(kDecoderOptions, &CNetworkLink::OnDecoderEvent, 0, this);
    m_pEncoder = telnet_init(kNoOptions, &CNetworkLink::OnEncoderEvent, 0, this);
    if (m_pDecoder == nullptr || m_pEncoder == nullptr) {
        m_bBroken = true;
        return;
    }
    telnet_negotiate(m_pDecoder, TELNET_WILL, TELOPT_COM_PORT);
    telnet_negotiate(m_pDecoder, TELNET_WILL, TELNET_TELOPT_BINARY);
    telnet_negotiate(m_pDecoder, TELNET_DO, TELNET_TELOPT_BINARY);
}

void CNetworkLink::SendLineSettings(uint32_t nLineRate) {
    if (m_nKind != CPortAddress::RFC2217 || m_pDecoder == nullptr) {
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

template <class Done>
bool CNetworkLink::ReceiveUntil(milliseconds wait, int nWakeFd, Done done) {
    const auto tEnd = Clock::now() + wait;
    while (m_nFd >= 0 && !m_bBroken && !done()) {
        const auto left = std::chrono::ceil<milliseconds>(tEnd - Clock::now());
        if (left.count() <= 0) {
            return true;
        }
        const int rc = PollOrWake(m_nFd, POLLIN, left, nWakeFd);
        if (rc < 0 && errno == ECANCELED) {
            return false;
        }
        if (rc <= 0) {
            continue;
        }
        std::vector<uint8_t> data;
        int nError = 0;
        std::string reason;
        const ReceiveOutcome outcome = ReceiveFromSocket(data, nError, reason);
        // Kept for the reader: a projector's first 'C' may come this early.
        const size_t nRoom = MAX_DATA_PER_STEP - std::min(MAX_DATA_PER_STEP, m_pending.size());
        m_pending.insert(m_pending.end(), data.begin(),
                         data.begin() + static_cast<std::ptrdiff_t>(std::min(nRoom, data.size())));
        if (outcome != RECEIVED) {
            close(m_nFd);
            m_nFd = -1;
        }
    }
    return true;
}

int CNetworkLink::Close(int& nError) {
    m_bConnected.store(false, std::memory_order_relaxed);
    nError = 0;
    int nResult = 1;
    if (m_nFd >= 0) {
        if (close(m_nFd) != 0) {
            nError = errno;
            nResult = 0;
        }
        m_nFd = -1;
    }
    Reset();
    return nResult;
}

int CNetworkLink::Write(const void* pBuffer, uint32_t nLength) {
    m_nWriteError = 0;
    if (m_nFd < 0 || (pBuffer == nullptr && nLength > 0)) {
        m_nWriteError = EBADF;
        return 0;
    }
    const auto* p = static_cast<const uint8_t*>(pBuffer);
    bool bQueued = false;
    if (m_pEncoder != nullptr) {
        m_encoded.clear();
        telnet_send(m_pEncoder, reinterpret_cast<const char*>(p), nLength);
        bQueued = Enqueue(m_encoded.data(), m_encoded.size());
    } else {
        bQueued = Enqueue(p, nLength);
    }
    if (!bQueued) {
        std::lock_guard lock(m_outMutex);
        m_nWriteError = m_bOutFailed ? m_nOutError : ETIMEDOUT;
        return 0;
    }
    return 1;
}

size_t CNetworkLink::OutQueued() {
    std::lock_guard lock(m_outMutex);
    return m_out.size();
}

bool CNetworkLink::Enqueue(const uint8_t* pData, size_t nLength) {
    std::lock_guard lock(m_outMutex);
    if (m_bOutFailed || m_out.size() + nLength > MAX_OUT_QUEUED) {
        // What is already queued is the first to go; nothing may be split.
        FlushLocked();
        if (m_bOutFailed || m_out.size() + nLength > MAX_OUT_QUEUED) {
            return false;
        }
    }
    m_out.insert(m_out.end(), pData, pData + nLength);
    return FlushLocked();
}

bool CNetworkLink::FlushLocked() {
    size_t nSent = 0;
    while (!m_bOutFailed && nSent < m_out.size() && m_nFd >= 0) {
        const ssize_t n =
            send(m_nFd, m_out.data() + nSent, m_out.size() - nSent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            nSent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            m_bOutFailed = true;
            m_nOutError = n < 0 ? errno : EPIPE;
        }
    }
    m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(nSent));
    return !m_bOutFailed;
}

milliseconds CNetworkLink::ReceiveWait() {
    const auto now = Clock::now();
    const double dSeconds = std::chrono::duration<double>(now - m_tBucket).count();
    m_tBucket = now;
    m_dBudget = std::min<double>(m_dBudget + dSeconds * MAX_DATA_RATE, MAX_DATA_RATE / 8.0);
    if (m_dBudget >= 1) {
        return milliseconds(0);
    }
    return milliseconds(1 + static_cast<int64_t>((1 - m_dBudget) * 1000 / MAX_DATA_RATE));
}

CNetworkLink::ReceiveOutcome CNetworkLink::ReceiveFromSocket(std::vector<uint8_t>& data,
                                                             int& nError, std::string& strReason) {
    nError = 0;
    if (!m_pending.empty()) {
        data.insert(data.end(), m_pending.begin(), m_pending.end());
        m_pending.clear();
    }
    uint8_t buffer[MAX_READ];
    // The budget may go a little below zero: a read smaller than this costs more in system
    // calls than it saves.
    const size_t nWant =
        std::clamp<size_t>(static_cast<size_t>(std::max(m_dBudget, 0.0)), 256, MAX_READ);
    const ssize_t n = recv(m_nFd, buffer, nWant, MSG_DONTWAIT);
    ReceiveOutcome outcome = RECEIVED;
    if (n > 0) {
        m_dBudget -= static_cast<double>(n);
        if (!Receive(buffer, static_cast<size_t>(n), data)) {
            nError = EPROTO;
            strReason = "the server broke the telnet stream";
            return FAILED;
        }
    } else if (n == 0) {
        nError = EIO;
        strReason = "connection closed by the server";
        outcome = CLOSED;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        nError = errno;
        strReason = std::strerror(nError);
        outcome = errno == ECONNRESET ? CLOSED : FAILED;
    }
    // Room in the socket may have come back for what waits to go out.
    std::lock_guard lock(m_outMutex);
    FlushLocked();
    return outcome;
}

bool CNetworkLink::Receive(const uint8_t* pRaw, size_t nLength, std::vector<uint8_t>& data) {
    if (m_bBroken) {
        return false;
    }
    if (m_pDecoder == nullptr) {
        const size_t nTake = std::min(nLength, MAX_DATA_PER_STEP);
        // IAC followed by SB, WILL, WONT, DO or DONT: a telnet server behind a raw address.
        for (size_t i = 0; i < nTake; ++i) {
            if (m_bRawIac && pRaw[i] >= TELNET_SB && pRaw[i] <= TELNET_DONT) {
                m_bTelnetOnRaw.store(true);
            }
            m_bRawIac = pRaw[i] == TELNET_IAC;
        }
        data.insert(data.end(), pRaw, pRaw + nTake);
        return true;
    }
    m_pData = &data;
    m_nDataLimit = data.size() + MAX_DATA_PER_STEP;
    telnet_recv(m_pDecoder, reinterpret_cast<const char*>(pRaw), nLength);
    m_pData = nullptr;
    return !m_bBroken;
}

void CNetworkLink::OnDecoderEvent(telnet_t*, telnet_event_t* pEvent, void* pThis) {
    auto* self = static_cast<CNetworkLink*>(pThis);
    switch (pEvent->type) {
        case TELNET_EV_DATA:
            // Beyond the step's limit (only an inflating stream gets there) data is dropped.
            if (self->m_pData != nullptr && self->m_pData->size() < self->m_nDataLimit) {
                const auto* p = reinterpret_cast<const uint8_t*>(pEvent->data.buffer);
                const size_t nTake =
                    std::min(pEvent->data.size, self->m_nDataLimit - self->m_pData->size());
                self->m_pData->insert(self->m_pData->end(), p, p + nTake);
            }
            break;
        case TELNET_EV_SEND:
            // A server that does not read its answers loses them; the data path notices.
            self->Enqueue(reinterpret_cast<const uint8_t*>(pEvent->data.buffer), pEvent->data.size);
            break;
        case TELNET_EV_DO:
            if (pEvent->neg.telopt == TELOPT_COM_PORT) {
                self->m_bComPortAgreed = true;
                self->m_bAgreedSeen.store(true);
            }
            break;
        case TELNET_EV_DONT:
            if (pEvent->neg.telopt == TELOPT_COM_PORT) {
                self->m_bComPortRefused = !self->m_bComPortAgreed;
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
            self->m_bBroken = true;
            break;
        default:
            break;  // other commands, options and warnings (an over-long subnegotiation)
    }
}

void CNetworkLink::OnSubnegotiation(const uint8_t* pData, size_t nLength) {
    if (nLength == 0 || pData[0] <= SERVER_OFFSET || pData[0] > SERVER_OFFSET + 31) {
        return;
    }
    const unsigned nCommand = pData[0] - SERVER_OFFSET;
    m_nAcks |= 1u << nCommand;
    if (nCommand == SET_BAUDRATE && nLength >= 5) {
        m_nAckedRate = (uint32_t{pData[1]} << 24) | (uint32_t{pData[2]} << 16) |
                       (uint32_t{pData[3]} << 8) | pData[4];
    }
}

void CNetworkLink::OnEncoderEvent(telnet_t*, telnet_event_t* pEvent, void* pThis) {
    if (pEvent->type == TELNET_EV_SEND) {
        auto* self = static_cast<CNetworkLink*>(pThis);
        const auto* p = reinterpret_cast<const uint8_t*>(pEvent->data.buffer);
        self->m_encoded.insert(self->m_encoded.end(), p, p + pEvent->data.size);
    }
}

std::string CNetworkLink::WrongScheme() const {
    CPortAddress other = m_target;
    if (m_target.m_nKind == CPortAddress::RAW_TCP && m_bTelnetOnRaw.load()) {
        other.m_nKind = CPortAddress::RFC2217;
        return "the server at " + m_target.Text() + " speaks telnet; use " + other.Text();
    }
    if (m_target.m_nKind == CPortAddress::RFC2217 && IsConnected() && !m_bAgreedSeen.load()) {
        other.m_nKind = CPortAddress::RAW_TCP;
        return "the server at " + m_target.Text() +
               " never agreed to the COM-PORT option, so the line settings were not applied; "
               "try " +
               other.Text();
    }
    return {};
}
