// orvanta-cli send through a real ser2net on loopback, with orvanta-projector on a
// pseudo-terminal as the server's serial device: RFC 2217 and raw TCP deliver every segment
// byte for byte, the rate asked for over RFC 2217 reaches the line (raw TCP keeps the
// server's), and a refused or dropped connection ends with the serial failure and a line
// naming the address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>

#include "PackageLoader.h"
#include "SegmentCutter.h"
#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;
const char kOpenFailed[] = "Port already open (by another application) or does not exist!\n";

// A loopback port nobody listens on (the kernel's pick, released again).
uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLength);
    close(fd);
    return ntohs(addr.sin_port);
}

// Whether something listens on the loopback port (read from /proc, without connecting:
// a connection would make ser2net open the device).
bool Listening(uint16_t nPort) {
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", nPort);
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
        if (line.find(wanted) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class NetworkSendTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir.Write("p1.hex", MakeHexText({{0, 0x0100, PatternBytes(3000, 1)},
                                           {0x1000, 0, Bytes(300, 0xFF)},
                                           {0x2000, 0, {0x0D, 0x00, 0x0D, 0x0A, 0xFF, 0x11}}}));
        m_dir.Write("p2.hex", MakeHexText({{0, 0, PatternBytes(700, 2)}}));
        m_dir.Write("p.inf",
                    "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=p1.hex\nFile=p2.hex\n");
        CwdGuard cwd(m_dir.Path());
        EnvGuard home("HOME", m_dir / "home");
        LoadedPackage loaded;
        ASSERT_EQ(LoadPackage("p.inf", loaded), RESULT_SUCCESS) << loaded.strDetail;
        CSegmentCutter cutter;
        cutter.SetImage(std::move(loaded.pImage), loaded.nSize);
        while (cutter.PrepareNextSegment() == 1) {
            m_expected.emplace_back(cutter.m_pSegment.get(),
                                    cutter.m_pSegment.get() + cutter.m_nSegmentLength);
        }
        ASSERT_EQ(m_expected.size(), 2u);
    }

    // Starts the projector (args added) on dir/dev and ser2net in front of it: RFC 2217 on
    // m_nTelnetPort, raw TCP on m_nRawPort, both with the device set to 9600 baud.
    void StartServer(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--link", m_dir / "dev", "--dump", m_dir / "dump"});
        ASSERT_TRUE(m_projector.Start(ORVANTA_PROJECTOR_PATH, args));
        ASSERT_FALSE(m_projector.ReadLine(30000).empty());
        m_nTelnetPort = FreePort();
        m_nRawPort = FreePort();
        const std::string device = m_dir / "dev";
        m_dir.Write("ser2net.yaml",
                    "connection: &telnet\n"
                    "  accepter: telnet(rfc2217),tcp,127.0.0.1," +
                        std::to_string(m_nTelnetPort) +
                        "\n"
                        "  connector: serialdev," +
                        device +
                        ",9600n81,local\n"
                        "connection: &raw\n"
                        "  accepter: tcp,127.0.0.1," +
                        std::to_string(m_nRawPort) +
                        "\n"
                        "  connector: serialdev," +
                        device + ",9600n81,local\n");
        ASSERT_TRUE(m_ser2net.Start("/usr/sbin/ser2net", {"-n", "-u", "-P", m_dir / "ser2net.pid",
                                                          "-c", m_dir / "ser2net.yaml"}))
            << "ser2net is installed by scripts/install-deps";
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!(Listening(m_nTelnetPort) && Listening(m_nRawPort)) &&
               std::chrono::steady_clock::now() < tEnd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(Listening(m_nTelnetPort) && Listening(m_nRawPort));
    }

    ToolResult Send(const std::string& port, const std::string& baud) {
        return RunTool(kCli, {"send", "p.inf", "--port", port, "--baud", baud},
                       {{"HOME", m_dir / "home"}}, m_dir.Path(), 120000);
    }

    // Ends the projector and ser2net; the projector's summary.
    QJsonObject Finish() {
        const ToolResult projector = m_projector.Wait(30000);
        EXPECT_EQ(projector.nExit, 0) << projector.err;
        kill(m_ser2net.Pid(), SIGTERM);
        m_ser2net.Wait(10000);
        return QJsonDocument::fromJson(
                   QByteArray::fromStdString(ReadText(m_dir / "dump/summary.json")))
            .object();
    }

    TempDir m_dir;
    std::vector<Bytes> m_expected;
    CToolProcess m_projector, m_ser2net;
    uint16_t m_nTelnetPort = 0, m_nRawPort = 0;
};

TEST_F(NetworkSendTest, ByteForByteThroughSer2net) {
    const struct {
        const char* pScheme;
        const char* pBaud;
        int nLineRate;  // what the projector's line was set to at the first packet
    } rows[] = {
        {"rfc2217", "57600", 57600},
        {"rfc2217", "115200", 115200},
        {"tcp", "115200", 9600},  // the server's own setting
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.pScheme) + " " + row.pBaud);
        std::filesystem::remove_all(m_dir / "dump");
        StartServer();
        const uint16_t nPort = row.pScheme == std::string("tcp") ? m_nRawPort : m_nTelnetPort;
        const ToolResult cli =
            Send(std::string(row.pScheme) + "://127.0.0.1:" + std::to_string(nPort), row.pBaud);
        EXPECT_EQ(cli.nExit, 0) << cli.err;
        EXPECT_EQ(cli.err, "");
        EXPECT_TRUE(cli.out.ends_with("\nUpgrade successful!\n")) << cli.out;
        const QJsonObject summary = Finish();
        EXPECT_TRUE(summary["complete"].toBool());
        EXPECT_EQ(summary["line_rate"].toInt(), row.nLineRate);
        for (size_t i = 0; i <= m_expected.size(); ++i) {
            const std::string path = m_dir / ("dump/segment-" + std::to_string(i + 1) + ".bin");
            EXPECT_EQ(ReadBytes(path), i < m_expected.size() ? m_expected[i] : Bytes{}) << path;
        }
    }
}

// The projector hangs up on its third packet: ser2net drops the connection, and the send
// ends with the serial failure, the read message and a line naming the address. A port
// nobody listens on is refused at once.
TEST_F(NetworkSendTest, DroppedAndRefusedConnections) {
    StartServer({"--hangup-after", "3"});
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(m_nTelnetPort);
    const ToolResult dropped = Send(url, "115200");
    EXPECT_EQ(dropped.nExit, 5);
    EXPECT_EQ(dropped.err,
              "A problem occured while trying to read from the Com Port: 5\nSerial "
              "failed\n" +
                  url +
                  ": connection closed by the server; check the network, the "
                  "server and the projector's power\n");
    Finish();

    const std::string refused = "tcp://127.0.0.1:" + std::to_string(FreePort());
    const ToolResult cli = Send(refused, "115200");
    EXPECT_EQ(cli.nExit, 5);
    EXPECT_EQ(cli.err,
              kOpenFailed + std::string("Serial failed\n") + refused + ": connection refused\n");
}

}  // namespace
