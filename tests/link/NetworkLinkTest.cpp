// Network ports: the telnet codec fed the server's bytes directly, and the connection against
// a server played by the test on loopback.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>


#include "LinkTestSupport.h"
#include "NetworkLink.h"
#include "Ser2net.h"
#include "TelnetCodec.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;
constexpr uint8_t NOP = 241, BINARY = 0, SGA = 3, TTYPE = 24, COM_PORT = 44, COMPRESS2 = 86;

// A server's bytes, cut into chunks wherever the network may cut them, through a fresh codec:
// the data bytes, the events and the answers that come out. Every telnet codec first offers
// the COM-PORT-OPTION and binary both ways.
TEST(TelnetCodecTest, ServerConversations) {
    using E = CTelnetCodec::Event;
    const Bytes kOpening = {IAC, WILL, COM_PORT, IAC, WILL, BINARY, IAC, DO, BINARY};
    // clang-format off
    const Bytes kAcks = {IAC, SB, COM_PORT, 101, 0, 0, 0xE1, 0, IAC, SE,
                         IAC, SB, COM_PORT, 102, 8, IAC, SE,  IAC, SB, COM_PORT, 103, 1, IAC, SE,
                         IAC, SB, COM_PORT, 104, 1, IAC, SE,  IAC, SB, COM_PORT, 105, 1, IAC, SE};
    // clang-format on
    const struct {
        const char* pName;
        bool bTelnet;
        std::vector<Bytes> chunks;
        Bytes data;
        unsigned nEvents;
        Bytes answers;  // after the opening
    } rows[] = {
        // clang-format off
        {"agrees, then acknowledges every setting", true,
         {{IAC, DO, COM_PORT, IAC, DO, BINARY, IAC, WILL, BINARY}, kAcks},
         {}, E::COM_PORT_AGREED | E::SETTINGS_ACKNOWLEDGED, {}},
        {"acknowledges before agreeing, data between", true,
         {kAcks, {0x43, IAC, DO, COM_PORT, 0x06}},
         {0x43, 0x06}, E::COM_PORT_AGREED | E::SETTINGS_ACKNOWLEDGED, {}},
        {"four of five settings acknowledged", true,
         {{IAC, DO, COM_PORT}, Bytes(kAcks.begin(), kAcks.end() - 7)},
         {}, E::COM_PORT_AGREED, {}},
        {"refuses the COM-PORT-OPTION", true, {{IAC, DONT, COM_PORT}},
         {}, E::COM_PORT_REFUSED, {}},
        {"withdraws an agreement: no refusal", true, {{IAC, DO, COM_PORT, IAC, DONT, COM_PORT}},
         {}, E::COM_PORT_AGREED, {IAC, WONT, COM_PORT}},
        {"asks for options: some accepted, others not", true,
         {{IAC, DO, SGA, IAC, DO, TTYPE, IAC, WILL, SGA}},
         {}, 0, {IAC, WILL, SGA, IAC, WONT, TTYPE, IAC, DO, SGA}},
        {"0xFF doubled, commands inside the data, cut anywhere", true,
         {{0x43, IAC}, {IAC, IAC}, {NOP, 0x06, IAC, SB, COM_PORT}, {107, 0, IAC}, {SE, 0x0D, 0},
          {IAC}, {IAC}},
         {0x43, 0xFF, 0x06, 0x0D, 0x00, 0xFF}, 0, {}},
        {"a raw server behind rfc2217:// never agrees", true, {{0x43, 0x15, 0x06}},
         {0x43, 0x15, 0x06}, 0, {}},
        {"compression, never asked for, breaks the stream", true,
         {{0x43, IAC, SB, COMPRESS2, IAC, SE}, {0x06}},
         {0x43}, E::BROKEN, {}},
        {"a telnet server behind tcp://", false, {{0x43, IAC}, {WILL, SGA, 0x06}},
         {0x43, IAC, WILL, SGA, 0x06}, E::TELNET_ON_RAW, {}},
        {"raw 0xFF bytes are data", false, {{IAC, IAC, 0x01, IAC}, {0x00, IAC, NOP}},
         {IAC, IAC, 0x01, IAC, 0x00, IAC, NOP}, 0, {}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pName);
        CTelnetCodec codec(row.bTelnet);
        Bytes data, answers;
        unsigned nRaised = 0;
        for (const Bytes& chunk : row.chunks) {
            const unsigned nStep = codec.Receive(chunk.data(), chunk.size(), data);
            EXPECT_EQ(nStep & nRaised, 0u) << "raised twice";
            nRaised |= nStep;
        }
        codec.TakeOutput(answers);
        EXPECT_EQ(data, row.data);
        EXPECT_EQ(nRaised, row.nEvents);
        EXPECT_EQ(codec.Events(), row.nEvents);
        Bytes expected = row.bTelnet ? kOpening : Bytes{};
        expected.insert(expected.end(), row.answers.begin(), row.answers.end());
        EXPECT_EQ(answers, expected);
    }
}

// What the codec writes: data with 0xFF doubled (raw TCP unchanged), and the line settings,
// a rate holding 0xFF bytes escaped inside its subnegotiation.
TEST(TelnetCodecTest, BytesToTheServer) {
    const Bytes data = {0x01, 0xFF, 0x02, 0xFF};
    for (const bool bTelnet : {true, false}) {
        CTelnetCodec codec(bTelnet);
        Bytes wire;
        codec.Encode(data.data(), data.size(), wire);
        EXPECT_EQ(wire, bTelnet ? Bytes({0x01, IAC, IAC, 0x02, IAC, IAC}) : data);
    }
    CTelnetCodec codec(true);
    Bytes opening, settings;
    codec.TakeOutput(opening);
    codec.SendLineSettings(0x0001FFFF);
    codec.TakeOutput(settings);
    const Bytes expected = {
        IAC, SB, COM_PORT, 1, 0,  1,   IAC, IAC, IAC, IAC, IAC, SE,  // rate 131071
        IAC, SB, COM_PORT, 2, 8,  IAC, SE,                           // 8 data bits
        IAC, SB, COM_PORT, 3, 1,  IAC, SE,                           // no parity
        IAC, SB, COM_PORT, 4, 1,  IAC, SE,                           // one stop bit
        IAC, SB, COM_PORT, 5, 1,  IAC, SE,                           // no flow control
        IAC, SB, COM_PORT, 5, 14, IAC, SE,                           // none inbound either
        IAC, SB, COM_PORT, 5, 9,  IAC, SE,                           // DTR off
        IAC, SB, COM_PORT, 5, 12, IAC, SE,                           // RTS off
    };
    EXPECT_EQ(settings, expected);
}

// A subnegotiation that never ends costs bounded memory: libtelnet gives up on it after 16 KiB
// (what follows is data to it), no step yields more than it was given, and decoding goes on.
TEST(TelnetCodecTest, EndlessSubnegotiationIsBounded) {
    CTelnetCodec codec(true);
    Bytes data = {IAC, SB, COM_PORT}, step;
    codec.Receive(data.data(), data.size(), step);
    const Bytes filler(4096, 0x07);
    for (int i = 0; i < 64; ++i, step.clear()) {
        codec.Receive(filler.data(), filler.size(), step);
        ASSERT_LE(step.size(), filler.size());
    }
    data = {IAC, SE, IAC, DO, COM_PORT, 0x43};
    codec.Receive(data.data(), data.size(), step);
    EXPECT_EQ(step, Bytes{0x43});
    EXPECT_EQ(codec.Events(), CTelnetCodec::COM_PORT_AGREED);
    EXPECT_EQ(codec.OutputSize(), 9u) << "the opening, no answer";
}

// One connection on a loopback port, accepted when the test first uses it (the kernel completes
// the client's connect before that).
class CTestServer {
public:
    CTestServer() {
        sockaddr_in addr;
        m_nListen = orvtest::LoopbackSocket(1, addr, m_nPort);
    }
    ~CTestServer() {
        close(m_nConn);
        close(m_nListen);
    }
    std::string Url(const char* pScheme) const {
        return std::string(pScheme) + "://127.0.0.1:" + std::to_string(m_nPort);
    }
    // Writes what the socket takes without waiting; the bytes written.
    size_t Offer(const Bytes& bytes) {
        const ssize_t n = send(Conn(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }
    // Waits until a byte arrives; -1 when none does.
    int ReadByte() {
        pollfd pfd{Conn(), POLLIN, 0};
        uint8_t byte = 0;
        return poll(&pfd, 1, 20000) == 1 && read(pfd.fd, &byte, 1) == 1 ? byte : -1;
    }

private:
    int Conn() {
        pollfd pfd{m_nListen, POLLIN, 0};
        if (m_nConn < 0 && poll(&pfd, 1, 20000) == 1) {
            m_nConn = accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
        }
        return m_nConn;
    }
    int m_nListen = -1;
    int m_nConn = -1;
    uint16_t m_nPort = 0;
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
    CTestServer mute;  // takes the connection, then says nothing: the telnet negotiation waits
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
    ASSERT_EQ(server.Offer({0x43}), 1u);
    ASSERT_TRUE(DeliverEvents([&] { return !p.m_events.empty(); }));
    EXPECT_EQ(DataBytes(p.m_events), Bytes{0x43});
    EXPECT_EQ(p.m_port.WritePort("\x06", 1), 1);
    EXPECT_EQ(server.ReadByte(), 0x06);
    EXPECT_EQ(p.m_port.ClosePort(), 1);
}

// A server that floods the line gets its bytes read no faster than MAX_DATA_RATE, so the
// events waiting for the user-interface thread stay bounded; the port still closes at once.
TEST(NetworkLinkTest, FloodIsReadAtABoundedRate) {
    using Clock = std::chrono::steady_clock;
    CTestServer server;
    CPortUnderTest p;
    ASSERT_EQ(p.m_port.OpenPort(server.Url("tcp"), 115200), 1);
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
