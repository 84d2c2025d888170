// Network port names: how they parse, and the reason given for one that names no port.
#include <gtest/gtest.h>

#include <cstring>

#include "PortAddress.h"

namespace {

TEST(PortAddressTest, PortAddresses) {
    const struct {
        const char* pText;
        CPortAddress::Kind nKind;
        const char* pHost;
        uint16_t nPort;
    } parsed[] = {
        {"rfc2217://127.0.0.1:4001", CPortAddress::RFC2217, "127.0.0.1", 4001},
        {"RFC2217://projector-3.hall.example:65535", CPortAddress::RFC2217,
         "projector-3.hall.example", 65535},
        {"tcp://[::1]:7000", CPortAddress::RAW_TCP, "::1", 7000},
        {"tcp://host:1", CPortAddress::RAW_TCP, "host", 1},
        {"socket://10.0.0.7:4001", CPortAddress::RAW_TCP, "10.0.0.7", 4001},
        {"/dev/ttyUSB0", CPortAddress::LOCAL, "", 0},
        {"COM1", CPortAddress::LOCAL, "", 0},
    };
    for (const auto& row : parsed) {
        CPortAddress address, again;
        EXPECT_TRUE(CPortAddress::Parse(row.pText, address)) << row.pText;
        EXPECT_EQ(address.m_nKind, row.nKind) << row.pText;
        EXPECT_EQ(address.m_strHost, row.pHost) << row.pText;
        EXPECT_EQ(address.m_nPort, row.nPort) << row.pText;
        if (row.nKind != CPortAddress::LOCAL) {
            EXPECT_TRUE(CPortAddress::Parse(address.Text(), again));
            EXPECT_EQ(again.Text(), address.Text());
        }
    }
}

// Names judged before anything opens: what is accepted, and the reason given for the rest.
TEST(PortAddressTest, PortNamesCheckedBeforeOpening) {
    const std::pair<const char*, const char*> rows[] = {
        {"/dev/ttyUSB0", ""},
        {"COM1", ""},
        {"COM12", ""},
        {"socket://host:80", ""},
        {"TCP://[::1]:80", ""},
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
    for (const auto& [pText, pReason] : rows) {
        CPortAddress address;
        std::string reason;
        EXPECT_EQ(CPortAddress::Check(pText, address, reason), *pReason == '\0') << pText;
        EXPECT_EQ(reason.substr(0, std::strlen(pReason)), pReason) << pText;
    }
}

}  // namespace
