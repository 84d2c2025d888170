#include "NetworkLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
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
    m_pCodec.reset();
    m_pending.clear();
    m_bTelnetOnRaw.store(false);
    m_bAgreedSeen.store(false);
    m_bRefusedSeen.store(false);
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
    const CPortAddress& address = m_target;
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

    m_strAddress = strAddress;
    Attach(fd);
    bool bCancelled = false;
    if (m_pCodec->IsTelnet()) {
        // A server that never answers costs at most two short waits; the settings go out
        // either way unless the server refused the option.
        const CTelnetCodec& codec = *m_pCodec;
        bCancelled = !ReceiveUntil(NEGOTIATION_WAIT, nWakeFd, [&codec] {
            return codec.Has(CTelnetCodec::COM_PORT_AGREED) ||
                   codec.Has(CTelnetCodec::COM_PORT_REFUSED);
        });
        if (!bCancelled && !codec.Has(CTelnetCodec::COM_PORT_REFUSED)) {
            m_pCodec->SendLineSettings(static_cast<uint32_t>(m_nTargetRate));
            QueueCodecOutput();
            bCancelled = !ReceiveUntil(NEGOTIATION_WAIT, nWakeFd, [&codec] {
                return codec.Has(CTelnetCodec::SETTINGS_ACKNOWLEDGED);
            });
        }
    }
    if (bCancelled) {
        return fail(ECANCELED, "closed while connecting");
    }
    const bool bBroken = m_pCodec->Has(CTelnetCodec::BROKEN);
    if (m_nFd < 0 || bBroken) {
        return fail(ECONNRESET, bBroken ? "the server broke the telnet stream"
                                        : "connection closed by the server");
    }
    m_bConnected.store(true, std::memory_order_release);
    return 1;
}

void CNetworkLink::Attach(int nFd) {
    m_nFd = nFd;
    m_pCodec = std::make_unique<CTelnetCodec>(m_target.m_nKind == CPortAddress::RFC2217);
    QueueCodecOutput();
}

void CNetworkLink::QueueCodecOutput() {
    m_answers.clear();
    m_pCodec->TakeOutput(m_answers);
    // A server that does not read its answers loses them; the data path notices.
    if (!m_answers.empty()) {
        Enqueue(m_answers.data(), m_answers.size());
    }
}

template <class Done>
bool CNetworkLink::ReceiveUntil(milliseconds wait, int nWakeFd, Done done) {
    const auto tEnd = Clock::now() + wait;
    while (m_nFd >= 0 && !m_pCodec->Has(CTelnetCodec::BROKEN) && !done()) {
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
        constexpr size_t nMax = CTelnetCodec::MAX_DATA_PER_STEP;
        const size_t nRoom = nMax - std::min(nMax, m_pending.size());
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
    m_encoded.clear();
    m_pCodec->Encode(p, nLength, m_encoded);
    if (!Enqueue(m_encoded.data(), m_encoded.size())) {
        std::lock_guard lock(m_outMutex);
        m_nWriteError = m_bOutFailed ? m_nOutError : ETIMEDOUT;
        return 0;
    }
    return 1;
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
        if (!Decode(buffer, static_cast<size_t>(n), data)) {
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

bool CNetworkLink::Decode(const uint8_t* pRaw, size_t nLength, std::vector<uint8_t>& data) {
    const unsigned nEvents = m_pCodec->Receive(pRaw, nLength, data);
    if ((nEvents & CTelnetCodec::TELNET_ON_RAW) != 0) {
        m_bTelnetOnRaw.store(true);
    }
    if ((nEvents & CTelnetCodec::COM_PORT_AGREED) != 0) {
        m_bAgreedSeen.store(true);
    }
    if ((nEvents & CTelnetCodec::COM_PORT_REFUSED) != 0) {
        m_bRefusedSeen.store(true);
    }
    QueueCodecOutput();
    return !m_pCodec->Has(CTelnetCodec::BROKEN);
}

std::string CNetworkLink::WrongScheme() const {
    CPortAddress other = m_target;
    if (m_target.m_nKind == CPortAddress::RAW_TCP && m_bTelnetOnRaw.load()) {
        other.m_nKind = CPortAddress::RFC2217;
        return "the server at " + m_target.Text() + " speaks telnet; use " + other.Text();
    }
    if (m_target.m_nKind == CPortAddress::RFC2217 && IsConnected() && m_bRefusedSeen.load()) {
        // A telnet server without RFC 2217: raw TCP would meet its telnet commands, so neither
        // scheme reaches the projector until the server's port is set up differently.
        return "the server at " + m_target.Text() +
               " speaks telnet but refused the COM-PORT option, so the line settings were not "
               "applied; set up the server's port for RFC 2217, or for raw TCP and use " +
               [&] {
                   other.m_nKind = CPortAddress::RAW_TCP;
                   return other.Text();
               }();
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
