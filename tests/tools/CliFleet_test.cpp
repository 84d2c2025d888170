// orvanta-cli send as scripts and fleets meet it: every JSON event names its port (one port or
// several, a package that does not load too), port names judged before anything opens, and
// the wait for the first request bounded when nobody is at a terminal.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <map>
#include <set>
#include <sstream>

#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;

// A loopback TCP port that is bound but never listens: connecting to it is refused at once.
class CClosedPort {
public:
    CClosedPort() : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLength = sizeof address;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &nLength) == 0) {
            m_nPort = ntohs(address.sin_port);
        }
    }
    ~CClosedPort() { close(m_fd); }
    CClosedPort(const CClosedPort&) = delete;
    CClosedPort& operator=(const CClosedPort&) = delete;
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_nPort); }

private:
    int m_fd;
    uint16_t m_nPort = 0;
};

class CliFleetTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir.Write("p.inf", "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=a.hex\n");
        m_dir.Write("a.hex", MakeHexText({{0x0800, 0, PatternBytes(600, 1)}}));
    }
    ToolResult Cli(const std::vector<std::string>& args,
                   std::map<std::string, std::string> env = {}) {
        env["HOME"] = m_dir / "home";
        env["ORVANTA_TEST_PORTS"] = "";
        return RunTool(kCli, args, env, m_dir.Path().string(), 30000);
    }
    TempDir m_dir;
};

// Every line is an event naming one of the ports given; each port's events start with start
// (unless the package did not load) and end with its one done, which carries the result.
TEST_F(CliFleetTest, EveryJsonEventNamesItsPort) {
    CToolProcess projector;
    ASSERT_TRUE(projector.Start(ORVANTA_PROJECTOR_PATH, {}));
    const std::string device = projector.ReadLine(30000);
    const std::string absent = "/dev/orvanta-no-such-port";
    const struct {
        const char* pPackage;
        std::vector<std::string> ports;
        int nExit;
        const char* pFirst;  // each port's first event
    } rows[] = {
        {"p.inf", {device}, 0, "start"},
        {"missing.inf", {absent, "COM7", "tcp://projector.example:4001"}, 1, "done"},
        {"p.inf", {absent, "COM7"}, 5, "start"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"send", row.pPackage, "--json"};
        for (const std::string& port : row.ports) {
            args.insert(args.end(), {"-p", port});
        }
        SCOPED_TRACE(std::string(row.pPackage) + " to " + std::to_string(row.ports.size()));
        const ToolResult result = Cli(args);
        EXPECT_EQ(result.nExit, row.nExit) << result.err;
        std::map<std::string, std::vector<QJsonObject>> events;  // by port
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);) {
            const QJsonObject event =
                QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            EXPECT_TRUE(event["port"].isString()) << line;
            events[event["port"].toString().toStdString()].push_back(event);
        }
        ASSERT_EQ(events.size(), row.ports.size()) << result.out;
        for (const std::string& port : row.ports) {
            const std::vector<QJsonObject>& list = events[port];
            ASSERT_FALSE(list.empty()) << port;
            EXPECT_EQ(list.front()["event"].toString(), row.pFirst) << port;
            EXPECT_EQ(list.back()["event"].toString(), "done") << port;
            EXPECT_EQ(std::count_if(list.begin(), list.end(),
                                    [](const QJsonObject& e) { return e["event"] == "done"; }),
                      1);
            EXPECT_EQ(list.back()["result"].toInt(),
                      row.ports.size() > 1 && row.nExit == 5 ? 5 : row.nExit);
        }
    }
    projector.Wait(10000);
}

// A name that can name no port is a usage error before anything opens (no JSON, nothing
// connected); socket:// is raw TCP; --baud with raw TCP warns once, whatever the number of
// such ports.
TEST_F(CliFleetTest, PortNamesAreJudgedBeforeAnythingOpens) {
    CPty pty;
    ASSERT_FALSE(pty.m_strDevice.empty());
    const CClosedPort closed1, closed2;
    const std::string raw1 = "socket://" + closed1.Address(), raw2 = "tcp://" + closed2.Address();
    const std::string warning = "orvanta-cli: warning: --baud does not apply to ";
    const struct {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int nExit;
        std::string shown;  // the start of stderr
        int nWarnings;
    } rows[] = {
        {{"-p", pty.m_strDevice, "-p", "http://x:1"},
         {},
         64,
         "orvanta-cli: unknown scheme http:// in http://x:1",
         0},
        {{"-p", "ttyUSB0", "-b", "57600"}, {}, 64, "orvanta-cli: \"ttyUSB0\" names no port", 0},
        {{}, {{"ORVANTA_PORT", "COM0"}}, 64, "orvanta-cli: ORVANTA_PORT: COM0 names no port", 0},
        {{"-p", raw1}, {}, 5, "", 0},
        {{"-p", raw1, "-p", raw2, "-b", "115200", "-p", pty.m_strDevice, "--wait-timeout", "1"},
         {},
         10,
         warning + raw1 + ", " + raw2 + ": over raw TCP the server's own line rate applies\n",
         1},
        {{"-p", "rfc2217://" + closed1.Address(), "-b", "57600"}, {}, 5, "", 0},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"send", "p.inf", "--json"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        SCOPED_TRACE(row.shown);
        const ToolResult result = Cli(args, row.env);
        EXPECT_EQ(result.nExit, row.nExit) << result.err;
        EXPECT_TRUE(result.err.starts_with(row.shown)) << result.err;
        size_t nWarnings = 0;
        for (size_t n = result.err.find(warning); n != std::string::npos;
             n = result.err.find(warning, n + 1)) {
            ++nWarnings;
        }
        EXPECT_EQ(nWarnings, static_cast<size_t>(row.nWarnings)) << result.err;
        if (row.nExit == 64) {
            EXPECT_EQ(result.out, "");
            EXPECT_TRUE(result.err.ends_with("\nTry 'orvanta-cli --help'\n")) << result.err;
        } else {
            // Accepted, tried, and refused by the network, not by the command line.
            EXPECT_NE(result.out.find(closed1.Address() + ": connection refused"),
                      std::string::npos)
                << result.out;
        }
    }
}

// The wait for the first request that `start` reports: without a limit when stdin is a
// terminal (someone can press Ctrl+C), 600 s when it is not; --wait-timeout 0 restores the
// endless wait, any other number is taken as given. The port is a pseudo-terminal that never
// asks, so each run is ended by the test with a signal after its first line, and its last line
// is the done of a cancelled run.
TEST_F(CliFleetTest, UnattendedRunsDoNotWaitForEver) {
    CPty line, keyboard;
    ASSERT_FALSE(line.m_strDevice.empty());
    ASSERT_FALSE(keyboard.m_strDevice.empty());
    const struct {
        bool bTerminal;  // stdin a terminal, else /dev/null
        std::vector<std::string> extra;
        int nSeconds;  // 0: null
    } rows[] = {
        {true, {}, 0},
        {false, {}, 600},
        {false, {"--wait-timeout", "0"}, 0},
        {false, {"--wait-timeout=7"}, 7},
        {true, {"--wait-t", "7"}, 7},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.bTerminal ? "terminal" : "no terminal") +
                     (row.extra.empty() ? "" : " " + row.extra.front()));
        std::vector<std::string> args = {"-c",    "exec \"$0\" \"$@\" < \"$STDIN_PATH\"",
                                         kCli,    "send",
                                         "p.inf", "--json",
                                         "-p",    line.m_strDevice};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        CToolProcess cli;
        ASSERT_TRUE(cli.Start("/bin/sh", args,
                              {{"HOME", m_dir / "home"},
                               {"STDIN_PATH", row.bTerminal ? keyboard.m_strDevice : "/dev/null"}},
                              m_dir.Path().string()));
        const QJsonObject start =
            QJsonDocument::fromJson(QByteArray::fromStdString(cli.ReadLine(30000))).object();
        EXPECT_EQ(start["event"].toString(), "start");
        if (row.nSeconds == 0) {
            EXPECT_TRUE(start["waitTimeoutSeconds"].isNull())
                << start["waitTimeoutSeconds"].toInt();
            EXPECT_TRUE(start.contains("waitTimeoutSeconds"));
        } else {
            EXPECT_EQ(start["waitTimeoutSeconds"].toInt(), row.nSeconds);
        }
        kill(cli.Pid(), SIGTERM);
        const ToolResult ended = cli.Wait(30000);
        EXPECT_EQ(ended.nExit, 143);
        const QJsonObject done =
            QJsonDocument::fromJson(QByteArray::fromStdString(ended.out.substr(
                                        ended.out.rfind('\n', ended.out.size() - 2) + 1)))
                .object();
        EXPECT_EQ(done["event"].toString(), "done") << ended.out;
        EXPECT_EQ(done["result"].toInt(), 143);
        EXPECT_EQ(done["cause"].toString(), "cancelled");
        EXPECT_EQ(done["text"].toString(), "Cancelled");
        EXPECT_EQ(done["detail"].toString(), "signal SIGTERM");
    }
}

}  // namespace
