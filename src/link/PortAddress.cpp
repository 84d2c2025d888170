#include "PortAddress.h"

#include <strings.h>

#include <charconv>

namespace {

struct Scheme {
    const char* pPrefix;
    CPortAddress::Kind nKind;
};
constexpr Scheme kSchemes[] = {{"rfc2217://", CPortAddress::RFC2217},
                               {"tcp://", CPortAddress::RAW_TCP},
                               {"socket://", CPortAddress::RAW_TCP}};
constexpr char kForms[] = "rfc2217://HOST:PORT, tcp://HOST:PORT or socket://HOST:PORT";

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

bool IsSchemeName(const std::string& name) {
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (name.empty() || !letter(name.front())) {
        return false;
    }
    for (const char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

// Parse for a text with a network scheme (a text without one is LOCAL and fine), with the
// reason of a refusal.
bool ParseNetwork(const std::string& text, CPortAddress& address, std::string& strReason) {
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
            strReason = text + ": an IPv6 host goes in brackets, followed by :PORT";
            return false;
        }
        host = rest.substr(1, nClose - 1);
        port = rest.substr(nClose + 2);
        for (const char c : host) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                  c == ':' || c == '.')) {
                strReason = text + ": \"" + host + "\" is no IPv6 address";
                return false;
            }
        }
    } else {
        const size_t nColon = rest.rfind(':');
        if (nColon == std::string::npos) {
            strReason = text + ": no HOST:PORT after the scheme; give " + kForms;
            return false;
        }
        host = rest.substr(0, nColon);
        port = rest.substr(nColon + 1);
        for (const char c : host) {
            if (!IsHostChar(c)) {
                strReason = text + ": \"" + host +
                            "\" is no host name or address (an IPv6 address goes in brackets)";
                return false;
            }
        }
    }
    uint16_t nPort = 0;
    if (host.empty()) {
        strReason = text + ": the host is missing";
        return false;
    }
    if (!ParsePort(port, nPort)) {
        strReason = text + ": the TCP port \"" + port + "\" is not a number from 1 to 65535";
        return false;
    }
    address.m_nKind = pScheme->nKind;
    address.m_strHost = std::move(host);
    address.m_nPort = nPort;
    return true;
}

}  // namespace

bool CPortAddress::IsNetwork(const std::string& text) {
    return SchemeOf(text) != nullptr;
}

bool CPortAddress::Parse(const std::string& text, CPortAddress& address) {
    std::string strReason;
    return ParseNetwork(text, address, strReason);
}

bool CPortAddress::Check(const std::string& text, CPortAddress& address, std::string& strReason) {
    address = CPortAddress{};
    if (text.empty()) {
        strReason = "the port name is empty";
        return false;
    }
    if (SchemeOf(text) != nullptr) {
        return ParseNetwork(text, address, strReason);
    }
    // Any other "scheme://" is a network form this program does not speak, not a device.
    const size_t nSep = text.find("://");
    if (nSep != std::string::npos && nSep > 0 && IsSchemeName(text.substr(0, nSep))) {
        strReason =
            "unknown scheme " + text.substr(0, nSep + 3) + " in " + text + "; give " + kForms;
        return false;
    }
    if (text.front() == '/') {
        return true;
    }
    if (text.size() > 3 && text.compare(0, 3, "COM") == 0) {
        const char* pFirst = text.data() + 3;
        const char* pLast = text.data() + text.size();
        unsigned n = 0;
        const auto [pEnd, ec] = std::from_chars(pFirst, pLast, n);
        if (*pFirst >= '0' && *pFirst <= '9' && ec == std::errc() && pEnd == pLast) {
            if (n >= 1) {
                return true;
            }
            strReason = text + " names no port: COM ports are numbered from COM1";
            return false;
        }
    }
    strReason = "\"" + text +
                "\" names no port; give COMn, a device path such as /dev/ttyUSB0, or " + kForms;
    return false;
}

std::string CPortAddress::Text() const {
    const bool bV6 = m_strHost.find(':') != std::string::npos;
    const std::string host = bV6 ? "[" + m_strHost + "]" : m_strHost;
    const char* pScheme = m_nKind == RFC2217 ? "rfc2217://" : m_nKind == RAW_TCP ? "tcp://" : "";
    return pScheme + host + ":" + std::to_string(m_nPort);
}
