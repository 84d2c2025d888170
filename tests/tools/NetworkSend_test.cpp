// orvanta-cli send through a real ser2net on loopback, with orvanta-projector on a
// pseudo-terminal as the server's serial device: RFC 2217 and raw TCP deliver every segment
// byte for byte, the rate asked for over RFC 2217 reaches the line (raw TCP keeps the
// server's), and an unanswered connection holds up no other port of the same send.
#include <gtest/gtest.h>

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
        WritePackage(m_dir, "p.inf",
                     {{"p1.hex",
                       "",
                       {{0, 0x0100, PatternBytes(3000, 1)},
                        {0x1000, 0, Bytes(300, 0xFF)},
                        {0x2000, 0, {0x0D, 0x00, 0x0D, 0x0A, 0xFF, 0x11}}}},
                      {"p2.hex", "", {{0, 0, PatternBytes(700, 2)}}}});
    }
    TempDir m_dir;
};

// Bytes that telnet and line ends treat specially arrive unchanged either way.
TEST_F(NetworkSendTest, ByteForByteThroughSer2net) {
    const std::vector<Bytes> expected = PackageSegments(m_dir.Path(), "p.inf");
    ASSERT_EQ(expected.size(), 2u);
    for (const bool bRaw : {false, true}) {
        SCOPED_TRACE(bRaw ? "raw TCP at 115200" : "RFC 2217 at 57600");
        std::filesystem::remove_all(m_dir / "dump");
        CSimulatedProjector projector({"--link", m_dir / "dev", "--dump", m_dir / "dump"});
        CSer2net ser2net;
        ASSERT_TRUE(ser2net.Start(m_dir, m_dir / "dev"))
            << "ser2net is installed by scripts/install-deps";
        const std::string url = bRaw ? ser2net.RawUrl() : ser2net.Rfc2217Url();
        const ToolResult cli =
            RunTool(kCli, {"send", "p.inf", "--port", url, "--baud", bRaw ? "115200" : "57600"},
                    {{"HOME", m_dir / "home"}}, m_dir.Path(), 120000);
        EXPECT_EQ(cli.nExit, 0) << cli.err;
        // -b cannot set a raw line, and says so.
        EXPECT_EQ(cli.err, bRaw ? "orvanta-cli: warning: --baud does not apply to " + url +
                                      ": over raw TCP the server's own line rate applies\n"
                                : "");
        EXPECT_TRUE(cli.out.ends_with("\nUpgrade successful!\n")) << cli.out;
        EXPECT_EQ(projector.Wait(30000).nExit, 0);
        ser2net.Stop();
        const QJsonObject summary = DumpSummary(m_dir / "dump");
        EXPECT_TRUE(summary["complete"].toBool());
        // The rate asked for over RFC 2217; the server's own over raw TCP.
        EXPECT_EQ(summary["line_rate"].toInt(), bRaw ? 9600 : 57600);
        EXPECT_TRUE(Dumped(m_dir / "dump", expected));
    }
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
    const auto lines = [](const std::string& port, const std::string& detail) {
        return port + ": " + kOpenFailed + port + ": Serial failed\n" + port + ": " + port + detail;
    };
    EXPECT_EQ(cli.err, lines(refused, ": connection refused\n") +
                           lines(unanswered, ": no answer within 5 s\n"));
}

}  // namespace
