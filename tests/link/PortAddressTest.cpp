// Port names judged before anything opens: the kind, host and port of what is accepted (a
// network address reads back as it parsed), and the reason given for the rest.
#include <gtest/gtest.h>

#include <cstring>

#include "PortAddress.h"

namespace {

TEST(PortAddressTest, PortNamesCheckedBeforeOpening) {
    const struct {
        const char* pText;
        const char* pReason;  // empty: accepted as nKind, pHost, nPort
        CPortAddress::Kind nKind = CPortAddress::LOCAL;
        const char* pHost = "";
        uint16_t nPort = 0;
    } rows[] = {
        {"rfc2217://127.0.0.1:4001", "", CPortAddress::RFC2217, "127.0.0.1", 4001},
        {"RFC2217://projector-3.hall.example:65535", "", CPortAddress::RFC2217,
         "projector-3.hall.example", 65535},
        {"tcp://[::1]:7000", "", CPortAddress::RAW_TCP, "::1", 7000},
        {"TCP://host:1", "", CPortAddress::RAW_TCP, "host", 1},
        {"socket://10.0.0.7:4001", "", CPortAddress::RAW_TCP, "10.0.0.7", 4001},
        {"/dev/ttyUSB0", ""},
        {"COM1", ""},
        {"COM12", ""},
        {"", "the port name is empty"},
        {"COM0", "COM0 names no port: COM ports are numbered from COM1"},
        {"COM", "\"COM\" names no port"},
        {"COM-1", "\"COM-1\" names no port"},
        {"ttyUSB0", "\"ttyUSB0\" names no port; give COMn, a device path"},
        {"http://x:1", "unknown scheme http:// in http://x:1; give rfc2217://HOST:PORT"},
        {"ssh+serial://x:1", "unknown scheme ssh+serial://"},
        {"rfc2217://", "rfc2217://: no HOST:PORT after the scheme"},
        {"tcp://127.0.0.1:99999", "tcp://127.0.0.1:99999: the TCP port \"99999\" is not a number"},
        {"tcp://:80", "tcp://:80: the host is missing"},
        {"socket://ho st:80", "socket://ho st:80: \"ho st\" is no host name or address"},
        {"tcp://[::1]80", "tcp://[::1]80: an IPv6 host goes in brackets, followed by :PORT"},
        {"tcp://[::g]:80", "tcp://[::g]:80: \"::g\" is no IPv6 address"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pText);
        CPortAddress address, again;
        std::string reason;
        EXPECT_EQ(CPortAddress::Check(row.pText, address, reason), *row.pReason == '\0');
        EXPECT_EQ(reason.substr(0, std::strlen(row.pReason)), row.pReason);
        if (*row.pReason == '\0') {
            EXPECT_EQ(address.m_nKind, row.nKind);
            EXPECT_EQ(address.m_strHost, row.pHost);
            EXPECT_EQ(address.m_nPort, row.nPort);
        }
        if (*row.pReason == '\0' && row.nKind != CPortAddress::LOCAL) {
            EXPECT_TRUE(CPortAddress::Parse(address.Text(), again));
            EXPECT_EQ(again.Text(), address.Text());
        }
    }
}

}  // namespace
