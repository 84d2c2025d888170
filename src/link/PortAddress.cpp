#include "PortAddress.h"

#include <strings.h>

#include <charconv>

namespace {

struct Scheme {
    const char* pPrefix;
    CPortAddress::Kind nKind;
};
constexpr Scheme kSchemes[] = {{"rfc2217://", CPortAddress::RFC2217},
                               {"tcp://", CPortAddress::RAW_TCP}};

const Scheme* SchemeOf(const std::string& text) {
    for (const Scheme& scheme : kSchemes) {
        const size_t n = std::char_traits<char>::length(scheme.pPrefix);
        if (text.size() >= n && strncasecmp(text.c_str(), scheme.pPrefix, n) == 0) {
            return &scheme;
        }
    }
    return nullptr;
}

bool ParsePort(const std::string& text, uint16_t& nPort) {
    if (text.empty() || text.size() > 5 || text.front() < '0' || text.front() > '9') {
        return false;
    }
    unsigned n = 0;
    const auto [pEnd, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || pEnd != text.data() + text.size() || n == 0 || n > 65535) {
        return false;
    }
    nPort = static_cast<uint16_t>(n);
    return true;
}

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

}  // namespace

bool CPortAddress::IsNetwork(const std::string& text) {
    return SchemeOf(text) != nullptr;
}

bool CPortAddress::Parse(const std::string& text, CPortAddress& address) {
    address = CPortAddress{};
    const Scheme* pScheme = SchemeOf(text);
    if (pScheme == nullptr) {
        return true;
    }
    const std::string rest = text.substr(std::char_traits<char>::length(pScheme->pPrefix));
    std::string host;
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t nClose = rest.find(']');
        if (nClose == std::string::npos || nClose + 1 >= rest.size() || rest[nClose + 1] != ':') {
            return false;
        }
        host = rest.substr(1, nClose - 1);
        port = rest.substr(nClose + 2);
        for (const char c : host) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                  c == ':' || c == '.')) {
                return false;
            }
        }
    } else {
        const size_t nColon = rest.rfind(':');
        if (nColon == std::string::npos) {
            return false;
        }
        host = rest.substr(0, nColon);
        port = rest.substr(nColon + 1);
        for (const char c : host) {
            if (!IsHostChar(c)) {
                return false;
            }
        }
    }
    uint16_t nPort = 0;
    if (host.empty() || !ParsePort(port, nPort)) {
        return false;
    }
    address.m_nKind = pScheme->nKind;
    address.m_strHost = std::move(host);
    address.m_nPort = nPort;
    return true;
}

std::string CPortAddress::Text() const {
    const bool bV6 = m_strHost.find(':') != std::string::npos;
    const std::string host = bV6 ? "[" + m_strHost + "]" : m_strHost;
    const char* pScheme = m_nKind == RFC2217 ? "rfc2217://" : m_nKind == RAW_TCP ? "tcp://" : "";
    return pScheme + host + ":" + std::to_string(m_nPort);
}
