// Network ports against a server played by the test on loopback: what the port posts and what
// the server receives, byte for byte, for telnet with the COM-PORT-OPTION and for raw TCP.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "LinkTestSupport.h"
#include "NetworkLink.h"
#include "PortAddress.h"
#include "Ser2net.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253, NOP = 241;
constexpr uint8_t COM_PORT = 44;

TEST(NetworkLinkTest, PortAddresses) {
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
    for (const char* pText : {"tcp://host", "tcp://host:0", "tcp://host:65536", "tcp://host:+80",
                              "tcp://host:80x", "tcp://:80", "tcp://ho st:80", "tcp://::1:80",
                              "tcp://[::1]80", "tcp://[::g]:80", "rfc2217://"}) {
        CPortAddress address;
        EXPECT_FALSE(CPortAddress::Parse(pText, address)) << pText;
        EXPECT_EQ(address.m_nKind, CPortAddress::LOCAL) << pText;
        EXPECT_EQ(address.m_strHost, "") << pText;
        EXPECT_EQ(address.m_nPort, 0) << pText;
    }
}

// Names judged before anything opens: what is accepted, and the reason given for the rest.
TEST(NetworkLinkTest, PortNamesCheckedBeforeOpening) {
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

// One connection on a loopback port: a thread accepts it and keeps everything it receives;
// the test sends through Send and hangs up with Close.
class CTestServer {
public:
    CTestServer() {
        sockaddr_in addr;
        m_nListen = orvtest::LoopbackSocket(1, addr, m_nPort);
        m_thread = std::thread([this] {
            m_nConn = accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
            uint8_t buffer[4096];
            for (ssize_t n; m_nConn >= 0 && (n = read(m_nConn, buffer, sizeof buffer)) > 0;) {
                std::lock_guard lock(m_mutex);
                m_received.insert(m_received.end(), buffer, buffer + n);
            }
        });
    }
    ~CTestServer() {
        Close();
        shutdown(m_nListen, SHUT_RDWR);
        m_thread.join();
        close(m_nListen);
        close(m_nConn);
    }
    std::string Url(const char* pScheme) const {
        return std::string(pScheme) + "://127.0.0.1:" + std::to_string(m_nPort);
    }
    // Once the connection is accepted (the client's connect may return before that).
    bool Send(const Bytes& bytes) {
        DeliverEvents([this] { return m_nConn >= 0; });
        return write(m_nConn, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Writes what the socket takes without waiting; the bytes written.
    size_t Offer(const Bytes& bytes) {
        const ssize_t n = send(m_nConn, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }
    void Close() { shutdown(m_nConn, SHUT_RDWR); }
    Bytes Received() {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    // Waits until the bytes received end with tail.
    bool ReceivedEndsWith(const Bytes& tail) {
        return DeliverEvents([&] {
            const Bytes got = Received();
            return got.size() >= tail.size() &&
                   std::equal(tail.begin(), tail.end(), got.end() - tail.size());
        });
    }

private:
    int m_nListen = -1;
    std::atomic<int> m_nConn = -1;
    uint16_t m_nPort = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    Bytes m_received;
};

Bytes DataBytes(const std::vector<Received>& events) {
    Bytes bytes;
    for (const Received& event : events) {
        if (event.nMessage == WM_COMM_BYTE) {
            bytes.push_back(static_cast<uint8_t>(event.wParam));
        }
    }
    return bytes;
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// A telnet server that answers no option at all still gets the line settings, the open goes
// on after its short waits, and data crosses both ways with 0xFF doubled on the wire while
// the server's commands between the data are consumed. Raw TCP passes every byte unchanged.
// A server that hangs up ends the port with one WM_COMM_FAILED naming the address.
TEST(NetworkLinkTest, BytesBothWaysAndHangUp) {
    const Bytes data = {0x43, 0xFF, 0x06, 0x0D, 0x00, 0x15, 0xFF};
    for (const char* pScheme : {"rfc2217", "tcp"}) {
        SCOPED_TRACE(pScheme);
        const bool bTelnet = pScheme == std::string("rfc2217");
        CTestServer server;
        CPortUnderTest p;
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(p.m_port.OpenPort(server.Url(pScheme), 57600), 1) << p.m_messages.at(0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0,
                  4 * CNetworkLink::NEGOTIATION_WAIT + std::chrono::seconds(1));
        if (bTelnet) {
            ASSERT_TRUE(server.ReceivedEndsWith({IAC, SB, COM_PORT, 5, 12, IAC, SE}));
            const Bytes settings = server.Received();
            for (const Bytes& command : {Bytes{IAC, WILL, COM_PORT},
                                         {IAC, SB, COM_PORT, 1, 0, 0, 0xE1, 0x00, IAC, SE},
                                         {IAC, SB, COM_PORT, 2, 8, IAC, SE},
                                         {IAC, SB, COM_PORT, 3, 1, IAC, SE},
                                         {IAC, SB, COM_PORT, 4, 1, IAC, SE},
                                         {IAC, SB, COM_PORT, 5, 1, IAC, SE}}) {
                EXPECT_TRUE(Contains(settings, command)) << testing::PrintToString(command);
            }
            ASSERT_TRUE(
                server.Send({0x43, IAC, IAC,      IAC, NOP, 0x06, IAC, DO,   3,   0x0D, 0x00,
                             IAC,  SB,  COM_PORT, 107, 0,   IAC,  SE,  0x15, IAC, IAC}));
        } else {
            EXPECT_TRUE(server.Received().empty());
            ASSERT_TRUE(server.Send(data));
        }
        ASSERT_TRUE(DeliverEvents([&] { return DataBytes(p.m_events).size() >= data.size(); }));
        EXPECT_EQ(DataBytes(p.m_events), data);

        EXPECT_EQ(p.m_port.WritePort("\x01\xFF\x02\xFF", 4), 1);
        EXPECT_TRUE(server.ReceivedEndsWith(bTelnet ? Bytes{0x01, IAC, IAC, 0x02, IAC, IAC}
                                                    : Bytes{0x01, 0xFF, 0x02, 0xFF}));
        server.Close();
        ASSERT_TRUE(DeliverEvents([&] { return p.m_events.back().nMessage == WM_COMM_FAILED; }));
        EXPECT_EQ(p.m_events.back().text,
                  "A problem occured while trying to read from the Com Port: 5");
        EXPECT_EQ(p.m_events.back().detail,
                  server.Url(pScheme) + ": connection closed by the server");
        EXPECT_EQ(p.m_port.ClosePort(), 1);
        EXPECT_TRUE(p.m_messages.empty());
    }
}

// A bad address fails OpenPort itself. A connection that cannot be made is the reader's:
// OpenPort succeeds, and the failure comes as one WM_COMM_FAILED with the open message and a
// line naming the address and the reason; writes fail until then, and nothing stays open.
TEST(NetworkLinkTest, FailedOpens) {
    sockaddr_in addr;
    uint16_t nPort = 0;
    const int nBound = orvtest::LoopbackSocket(-1, addr, nPort);  // held, so refused
    const std::string closedPort = "127.0.0.1:" + std::to_string(nPort);
    const std::string kOpenFailed = "Port already open (by another application) or does not exist!";
    const struct {
        std::string name;
        std::string detail;
        int nError;  // of the reader's WM_COMM_FAILED; 0: OpenPort fails
    } rows[] = {
        {"rfc2217://" + closedPort, "rfc2217://" + closedPort + ": connection refused",
         ECONNREFUSED},
        {"tcp://" + closedPort, "tcp://" + closedPort + ": connection refused", ECONNREFUSED},
        {"rfc2217://no-such-projector.invalid:4001",
         "rfc2217://no-such-projector.invalid:4001: unknown host", EHOSTUNREACH},
        {"tcp://127.0.0.1:99999",
         "tcp://127.0.0.1:99999: not HOST:PORT; give rfc2217://HOST:PORT or tcp://HOST:PORT", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CPortUnderTest p;
        const long nFds = CountOf("/proc/self/fd");
        if (row.nError == 0) {
            EXPECT_EQ(p.m_port.OpenPort(row.name, 115200), 0);
            EXPECT_EQ(p.m_messages, std::vector<std::string>{kOpenFailed});
            EXPECT_EQ(p.m_port.LastDetail(), row.detail);
            EXPECT_FALSE(p.m_port.IsOpen());
        } else {
            ASSERT_EQ(p.m_port.OpenPort(row.name, 115200), 1);
            EXPECT_EQ(p.m_port.LastDetail(), "");
            ASSERT_TRUE(DeliverEvents([&] { return !p.m_events.empty(); }));
            ASSERT_EQ(p.m_events.size(), 1u);
            EXPECT_EQ(p.m_events[0].nMessage, WM_COMM_FAILED);
            EXPECT_EQ(p.m_events[0].wParam, static_cast<uintptr_t>(row.nError));
            EXPECT_EQ(p.m_events[0].text, kOpenFailed);
            EXPECT_EQ(p.m_events[0].detail, row.detail);
            EXPECT_EQ(p.m_port.WritePort("x", 1), 0);
            EXPECT_EQ(p.m_port.ClosePort(), 1);
            EXPECT_TRUE(p.m_messages.empty());
        }
        EXPECT_EQ(p.m_port.WritePort("x", 1), 0);
        EXPECT_EQ(CountOf("/proc/self/fd"), nFds);
    }
    close(nBound);
}

// A server that never answers costs the caller nothing: OpenPort returns at once, writes are
// refused while the reader connects, and ClosePort interrupts the connection or the
// negotiation without waiting them out, posting nothing. The port then opens again normally.
TEST(NetworkLinkTest, ClosingWhileConnecting) {
    using Clock = std::chrono::steady_clock;
    orvtest::CSilentListener silent;
    ASSERT_TRUE(silent.Silent()) << "the listener's queue could not be filled";
    CTestServer mute;  // accepts, then says nothing: the telnet negotiation waits
    CPortUnderTest p;
    const long nFds = CountOf("/proc/self/fd");
    for (const std::string& url : {silent.Url("tcp"), silent.Url("rfc2217"), mute.Url("rfc2217")}) {
        SCOPED_TRACE(url);
        const auto t0 = Clock::now();
        ASSERT_EQ(p.m_port.OpenPort(url, 115200), 1);
        EXPECT_LT(Clock::now() - t0, CNetworkLink::NEGOTIATION_WAIT);
        EXPECT_TRUE(p.m_port.IsOpen());
        EXPECT_EQ(p.m_port.WritePort("x", 1), 0);
        EXPECT_EQ(p.m_port.LastWriteError(), ENOTCONN);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the reader is waiting
        const auto tClose = Clock::now();
        EXPECT_EQ(p.m_port.ClosePort(), 1);
        EXPECT_LT(Clock::now() - tClose, CNetworkLink::NEGOTIATION_WAIT);
        DeliverEvents([] { return false; }, 50);
        EXPECT_TRUE(p.m_events.empty());
        EXPECT_TRUE(p.m_messages.empty());
        if (url != mute.Url("rfc2217")) {  // whose end of the connection is in this process
            EXPECT_EQ(CountOf("/proc/self/fd"), nFds);
        }
    }

    CTestServer server;
    ASSERT_EQ(p.m_port.OpenPort(server.Url("tcp"), 115200), 1);
    ASSERT_TRUE(server.Send({0x43}));
    ASSERT_TRUE(DeliverEvents([&] { return !p.m_events.empty(); }));
    EXPECT_EQ(DataBytes(p.m_events), Bytes{0x43});
    EXPECT_EQ(p.m_port.WritePort("\x06", 1), 1);
    EXPECT_TRUE(server.ReceivedEndsWith({0x06}));
    EXPECT_EQ(p.m_port.ClosePort(), 1);
}

// A server that floods the line gets its bytes read no faster than MAX_DATA_RATE, so the
// events waiting for the user-interface thread stay bounded; the port still closes at once.
TEST(NetworkLinkTest, FloodIsReadAtABoundedRate) {
    using Clock = std::chrono::steady_clock;
    CTestServer server;
    CPortUnderTest p;
    ASSERT_EQ(p.m_port.OpenPort(server.Url("tcp"), 115200), 1);
    ASSERT_TRUE(server.Send({0x43}));
    const Bytes flood(64 * 1024, 0x5A);
    size_t nOffered = 0;
    const auto t0 = Clock::now();
    DeliverEvents(
        [&] {
            nOffered += server.Offer(flood);
            return false;
        },
        1000);
    const double dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const size_t nPosted = DataBytes(p.m_events).size();
    EXPECT_GT(nOffered, 2 * nPosted) << "the server must offer more than is read";
    EXPECT_GT(nPosted, 1000u);
    EXPECT_LE(nPosted, CNetworkLink::MAX_DATA_RATE * dSeconds + CNetworkLink::MAX_DATA_RATE / 8 +
                           2 * CNetworkLink::MAX_READ);
    const auto tClose = Clock::now();
    EXPECT_EQ(p.m_port.ClosePort(), 1);
    EXPECT_LT(Clock::now() - tClose, std::chrono::seconds(1));
}

}  // namespace
