// orvanta-cli send through a real ser2net on loopback, with orvanta-projector on a
// pseudo-terminal as the server's serial device: RFC 2217 and raw TCP deliver every segment
// byte for byte, the rate asked for over RFC 2217 reaches the line (raw TCP keeps the
// server's), a dropped connection ends with the serial failure and a line naming the
// address, and an unanswered connection holds up no other port of the same send.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "PackageLoader.h"
#include "PackageSegments.h"
#include "Ser2net.h"
#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;
const char kOpenFailed[] = "Port already open (by another application) or does not exist!\n";

class NetworkSendTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir.Write("p1.hex", MakeHexText({{0, 0x0100, PatternBytes(3000, 1)},
                                           {0x1000, 0, Bytes(300, 0xFF)},
                                           {0x2000, 0, {0x0D, 0x00, 0x0D, 0x0A, 0xFF, 0x11}}}));
        m_dir.Write("p2.hex", MakeHexText({{0, 0, PatternBytes(700, 2)}}));
        m_dir.Write("p.inf",
                    "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=p1.hex\nFile=p2.hex\n");
        m_expected = PackageSegments(m_dir.Path(), "p.inf");
        ASSERT_EQ(m_expected.size(), 2u);
    }

    // Starts the projector (args added) on dir/dev and ser2net in front of it.
    void StartServer(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--link", m_dir / "dev", "--dump", m_dir / "dump"});
        ASSERT_TRUE(m_projector.Start(ORVANTA_PROJECTOR_PATH, args));
        ASSERT_FALSE(m_projector.ReadLine(30000).empty());
        ASSERT_TRUE(m_ser2net.Start(m_dir, m_dir / "dev"))
            << "ser2net is installed by scripts/install-deps";
    }

    ToolResult Send(const std::string& port, const std::string& baud) {
        return RunTool(kCli, {"send", "p.inf", "--port", port, "--baud", baud},
                       {{"HOME", m_dir / "home"}}, m_dir.Path(), 120000);
    }

    // Ends the projector and ser2net; the projector's summary.
    QJsonObject Finish() {
        const ToolResult projector = m_projector.Wait(30000);
        EXPECT_EQ(projector.nExit, 0) << projector.err;
        m_ser2net.Stop();
        return QJsonDocument::fromJson(
                   QByteArray::fromStdString(ReadText(m_dir / "dump/summary.json")))
            .object();
    }

    TempDir m_dir;
    std::vector<Bytes> m_expected;
    CToolProcess m_projector;
    CSer2net m_ser2net;
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
        const bool bRaw = row.pScheme == std::string("tcp");
        const std::string url = bRaw ? m_ser2net.RawUrl() : m_ser2net.Rfc2217Url();
        const ToolResult cli = Send(url, row.pBaud);
        EXPECT_EQ(cli.nExit, 0) << cli.err;
        // -b cannot set a raw line, and says so.
        EXPECT_EQ(cli.err, bRaw ? "orvanta-cli: warning: --baud does not apply to " + url +
                                      ": over raw TCP the server's own line rate applies\n"
                                : "");
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
// ends with the serial failure, the read message and a line naming the address.
TEST_F(NetworkSendTest, DroppedConnection) {
    StartServer({"--hangup-after", "3"});
    const std::string url = m_ser2net.Rfc2217Url();
    const ToolResult dropped = Send(url, "115200");
    EXPECT_EQ(dropped.nExit, 5);
    EXPECT_EQ(dropped.err,
              "A problem occured while trying to read from the Com Port: 5\nSerial "
              "failed\n" +
                  url +
                  ": connection closed by the server; check the network, the "
                  "server and the projector's power\n");
    Finish();
}

// Ports in one send connect side by side: a server that never answers holds up nobody, so
// the refused port given after it has failed, with its own lines, while the first one still
// waits out its connection.
TEST_F(NetworkSendTest, PortsConnectSideBySide) {
    CSilentListener silent;
    ASSERT_TRUE(silent.Silent()) << "the listener's queue could not be filled";
    const std::string unanswered = silent.Url("tcp");
    const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const ToolResult cli = RunTool(kCli, {"send", "p.inf", "-p", unanswered, "-p", refused},
                                   {{"HOME", m_dir / "home"}}, m_dir.Path(), 120000);
    EXPECT_EQ(cli.nExit, 5);
    const std::string refusedLines = refused + ": " + kOpenFailed + refused + ": Serial failed\n" +
                                     refused + ": " + refused + ": connection refused\n";
    const std::string unansweredLines = unanswered + ": " + kOpenFailed + unanswered +
                                        ": Serial failed\n" + unanswered + ": " + unanswered +
                                        ": no answer within 5 s\n";
    EXPECT_EQ(cli.err, refusedLines + unansweredLines);
}

}  // namespace
